// Token-entry revocation through the binary token index or the fast scan;
// see token_revoke.h.
#include "token_revoke.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "coding.h"
#include "fs.h"
#include "json.h"
#include "lib.h"
#include "mmap_lines.h"
#include "line_filter.h"
#include "storage.h"
#include "token_bin_index.h"
#include "token_index.h"
#include "token_match.h"

namespace kestrix {
namespace {

using namespace token_bin_layout;

// One entry line to replace: where it was and what it becomes.
struct LineFlip {
  uint32_t id;
  uint32_t offset;
  uint32_t old_length;
  std::string new_line;  // without the line feed
  bool revoked;
};

// A merged file with the flips of its entries, in line order.
struct FileFlips {
  std::string path;
  std::vector<LineFlip> flips;
  uint64_t size = 0;  // of the file when the flips were planned
  // old offset of each flip and the total length change of the flips
  // before and at it, for shifting the other lines.
  std::vector<std::pair<uint32_t, int64_t>> shift_after;
};

bool lists_any_hash(const TokenIndexEntry& entry, const std::set<Digest>& hashes) {
  for (const std::string& s : entry.sources) {
    auto h = digest_from_hex(s);
    if (h && hashes.contains(*h)) return true;
  }
  return false;
}

// Reads the line of every flip of `file` at the position the index gives
// and forms its flipped line.  False when a position does not hold a whole
// line that is an entry listing one of `hashes` (the index does not
// describe the file).
Result<bool> prepare_flips(FileFlips& file, const std::set<Digest>& hashes) {
  std::sort(file.flips.begin(), file.flips.end(),
            [](const LineFlip& a, const LineFlip& b) { return a.offset < b.offset; });
  UniqueFd fd(open_retry(file.path.c_str(), O_RDONLY));
  if (fd.get() < 0) return fail_errno(file.path);
  uint64_t previous_end = 0;
  for (LineFlip& flip : file.flips) {
    // The line with the byte before it and the byte after it.
    const uint64_t from = flip.offset > 0 ? flip.offset - 1 : 0;
    const size_t lead = static_cast<size_t>(flip.offset - from);
    std::string b(lead + flip.old_length + 1, '\0');
    KX_ASSIGN_OR_RETURN(size_t got, read_at(fd.get(), b.data(), b.size(), from));
    b.resize(got);  // short at the end of the file
    const bool whole = flip.offset >= previous_end && b.size() >= lead + flip.old_length &&
                       (lead == 0 || b[0] == '\n') &&
                       (b.size() == lead + flip.old_length || b[lead + flip.old_length] == '\n');
    auto entry = whole ? parse_token_entry_line(std::string_view(b).substr(lead, flip.old_length))
                       : std::nullopt;
    if (!entry || !lists_any_hash(*entry, hashes)) return false;
    entry->revoked = flip.revoked;
    append_token_entry_line(flip.new_line, *entry);
    previous_end = uint64_t{flip.offset} + flip.old_length;
  }
  return true;
}

// Works out how far each flip moves the lines after it, and checks that
// every flip lies within the file's `size` bytes, in order.  False when the
// file no longer holds the lines that were read.
bool plan_flips(FileFlips& file, uint64_t size) {
  file.size = size;
  uint64_t copied = 0;
  int64_t shift = 0;
  for (const LineFlip& flip : file.flips) {
    const uint64_t end = uint64_t{flip.offset} + flip.old_length;
    if (flip.offset < copied || end > size) return false;
    copied = end;
    shift += static_cast<int64_t>(flip.new_line.size()) - flip.old_length;
    file.shift_after.emplace_back(flip.offset, shift);
  }
  return true;
}

// Replaces a merged file by its flipped form: the bytes between flipped
// lines are copied inside the kernel from `from` (the file, still open),
// the flipped lines written.
Status write_flipped(const FileFlips& file, int from, const std::string& tmp_dir) {
  KX_ASSIGN_OR_RETURN(AtomicFile out, AtomicFile::begin(file.path, tmp_dir));
  uint64_t copied = 0;
  for (const LineFlip& flip : file.flips) {
    KX_TRY(out.copy_from(from, copied, flip.offset - copied));
    KX_TRY(out.write(flip.new_line));
    copied = uint64_t{flip.offset} + flip.old_length;
  }
  KX_TRY(out.copy_from(from, copied, file.size - copied));
  return out.commit();
}

// The shift of a line that started at `offset` before the rewrite.
int64_t shift_of(const FileFlips& file, uint32_t offset) {
  auto it = std::lower_bound(file.shift_after.begin(), file.shift_after.end(), offset,
                             [](const auto& p, uint32_t off) { return p.first < off; });
  return it == file.shift_after.begin() ? 0 : std::prev(it)->second;
}

// The index file's bytes with the entry records of the rewritten files moved
// to their new positions and the flipped entries carrying their new flags.
// nullopt when the file is not the index that was looked up.
std::optional<std::string> patched_index(std::string bytes, uint32_t entry_count,
                                         const std::map<uint16_t, FileFlips>& files) {
  if (bytes.size() < kHeaderSize || decode_fixed32(bytes.data() + kEntryCountAt) != entry_count)
    return std::nullopt;
  const size_t entries_at = decode_fixed32(bytes.data() + kEntriesOffsetAt);
  if (entries_at + size_t{entry_count} * kEntrySize > bytes.size()) return std::nullopt;
  std::vector<const FileFlips*> by_file_id(size_t{UINT16_MAX} + 1, nullptr);
  for (const auto& [file_id, file] : files) by_file_id[file_id] = &file;
  for (size_t id = 0; id < entry_count; ++id) {
    char* record = bytes.data() + entries_at + id * kEntrySize;
    const FileFlips* file = by_file_id[decode_fixed16(record)];
    if (file == nullptr) continue;
    const uint32_t offset = decode_fixed32(record + kLineOffsetAt);
    const int64_t moved = static_cast<int64_t>(offset) + shift_of(*file, offset);
    if (moved < 0 || moved > UINT32_MAX) return std::nullopt;
    encode_fixed32(record + kLineOffsetAt, static_cast<uint32_t>(moved));
  }
  for (const auto& [file_id, file] : files) {
    for (const LineFlip& flip : file.flips) {
      char* record = bytes.data() + entries_at + size_t{flip.id} * kEntrySize;
      encode_fixed32(record + kLineLengthAt, static_cast<uint32_t>(flip.new_line.size()));
      record[kRevokedAt] = flip.revoked ? 1 : 0;
    }
  }
  return bytes;
}

// Sets the index file's modification time to the epoch, so that every
// reader treats it as stale until it is rewritten or rebuilt.
Status mark_stale(const std::string& path) { return set_mtime(path, 0); }

// Rewrites the affected merged files whole and the index with the shifted
// line positions: for flips whose new line is longer than the old one.
Result<std::optional<uint64_t>> rewrite_through_index(const std::string& kx_dir,
                                                      const TokenBinIndex& index,
                                                      std::map<uint16_t, FileFlips>& files,
                                                      uint64_t count) {
  std::vector<UniqueFd> opened;
  for (auto& [file_id, file] : files) {
    const int fd = open_retry(file.path.c_str(), O_RDONLY);
    if (fd < 0) return fail_errno(file.path);
    opened.emplace_back(fd);
    KX_ASSIGN_OR_RETURN(FileInfo info, stat_fd(fd));
    if (!plan_flips(file, info.size)) return std::nullopt;
  }
  KX_ASSIGN_OR_RETURN(auto index_bytes, read_whole_file(index.path()));
  if (!index_bytes) return std::nullopt;
  auto patched = patched_index(std::move(*index_bytes), index.entry_count(), files);
  if (!patched) return std::nullopt;
  const std::string tmp_dir = store_dir(kx_dir);
  KX_TRY(mark_stale(index.path()));
  size_t i = 0;
  for (const auto& [file_id, file] : files) KX_TRY(write_flipped(file, opened[i++].get(), tmp_dir));
  KX_TRY(atomic_write(index.path(), *patched, tmp_dir));
  return count;
}

// The flips through the index.  nullopt when the index does not describe
// the merged files; nothing has been written then.
Result<std::optional<uint64_t>> revoke_through_index(const std::string& kx_dir,
                                                     const std::string& tokenizer,
                                                     TokenBinIndex& index,
                                                     const std::set<std::string>& targets) {
  const std::set<Digest> hashes = source_hashes_of(targets);
  const std::vector<uint32_t> ids = index.lookup_by_sources(hashes);
  if (ids.empty()) return 0;

  KX_ASSIGN_OR_RETURN(auto merged, token_index::get_merged_files(kx_dir, tokenizer));
  std::map<uint16_t, std::string> path_of;
  for (const auto& [number, path] : merged)
    if (number > UINT16_MAX || !path_of.emplace(static_cast<uint16_t>(number), path).second)
      return std::nullopt;  // file numbers the index cannot tell apart

  std::map<uint16_t, FileFlips> files;
  for (uint32_t id : ids) {
    auto ref = index.get_entry_ref(id);
    if (!ref) return std::nullopt;
    auto path = path_of.find(ref->file_id);
    if (path == path_of.end()) return std::nullopt;
    FileFlips& file = files[ref->file_id];
    file.path = path->second;
    file.flips.push_back({id, ref->line_offset, ref->line_length, {}, !ref->revoked});
  }
  for (auto& [file_id, file] : files) {
    KX_ASSIGN_OR_RETURN(bool described, prepare_flips(file, hashes));
    if (!described) return std::nullopt;
  }
  // Each merged file is replaced whole, never patched in place: a write
  // cut short by a crash or a full disk would otherwise leave a torn line
  // (an entry lost, every later entry id shifted) or a file flipped only in
  // part.
  return rewrite_through_index(kx_dir, index, files, ids.size());
}

}  // namespace

Result<std::set<std::string>> sections_listing_authors(
    const std::string& kx_dir, const std::unordered_set<std::string>& author_ids) {
  std::set<std::string> sections;
  const std::string dir = store_path(kx_dir, "sections");
  if (!is_dir(dir)) return sections;
  KX_ASSIGN_OR_RETURN(std::vector<DirEntry> entries, list_dir(dir));
  const StringSet filter(std::vector<std::string>(author_ids.begin(), author_ids.end()));
  for (const DirEntry& entry : entries) {
    if (!entry.is_regular_file()) continue;
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(entry.path));
    if (!bytes) continue;
    // Lines that name none of the ids are skipped unparsed.
    for_each_line_holding(bytes->view(), filter, [&](std::string_view line) {
      auto record = parse_json(line);
      if (!record) return;
      const Array* authors = get_array(*record, "authors");
      const std::string* hash = get_string(*record, "section_hash");
      if (authors == nullptr || hash == nullptr) return;
      for (const Value& a : *authors) {
        if (a.as_string() != nullptr && author_ids.contains(*a.as_string())) {
          sections.insert(*hash);
          return;
        }
      }
    });
  }
  return sections;
}

Result<uint64_t> revoke_token_entries(const std::string& kx_dir, const std::string& tokenizer,
                                      const std::set<std::string>& targets) {
  auto opened = TokenBinIndex::open(kx_dir, tokenizer);
  if (opened && *opened && (*opened)->is_fresh()) {
    KX_ASSIGN_OR_RETURN(auto count, revoke_through_index(kx_dir, tokenizer, **opened, targets));
    if (count) return *count;
    // The index does not describe the merged files: keep readers off it
    // before the scan rewrites them.
    KX_TRY(mark_stale((*opened)->path()));
  }
  return token_index::revoke_by_sources_fast(kx_dir, tokenizer, targets);
}

}  // namespace kestrix
