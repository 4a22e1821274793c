// Building, opening and updating the binary token index (format in the
// header).  The build assembles the whole file in memory and replaces the old
// one through AtomicFile; readers map the file read-only; revoked flags are
// changed through a writable shared mapping flushed with msync.
#include "token_bin_index.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "coding.h"
#include "fs.h"
#include "hash.h"
#include "hash_tables.h"
#include "lib.h"
#include "mmap_lines.h"
#include "token_index.h"
#include "token_match.h"

namespace kestrix {
namespace {

constexpr std::string_view kMagic = "KXIDXTI01";
constexpr uint32_t kVersion = 1;
using namespace token_bin_layout;
constexpr size_t kSourceHead = 34;   // hash and id count
constexpr size_t kBucketCount = 256;
constexpr size_t kBucketTableSize = kBucketCount * 8;
constexpr uint32_t kMaxIdsPerRecord = 0xffff;
constexpr uint64_t kMaxFileId = 0xffff;
constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();

std::string index_path(const std::string& kx_dir, const std::string& tokenizer) {
  return store_path(kx_dir, "token-index." + tokenizer + ".bin");
}

// The layout fields of a header, checked against the file size.
struct Layout {
  uint32_t entry_count;
  uint32_t entries_offset;
  uint32_t sources_offset;
  uint32_t buckets_offset;
};

Result<Layout> read_layout(std::string_view file) {
  if (file.size() < kHeaderSize)
    return fail_msg("token binary index file too small: " + std::to_string(file.size()) +
                    " bytes");
  if (file.substr(0, kMagic.size()) != kMagic) return fail_msg("token binary index magic mismatch");
  uint32_t version = decode_fixed32(file.data() + 9);
  if (version != kVersion)
    return fail_msg("unsupported token binary index version: " + std::to_string(version));
  const char* head = file.data();
  Layout l{decode_fixed32(head + kEntryCountAt), decode_fixed32(head + kEntriesOffsetAt),
           decode_fixed32(head + kSourcesOffsetAt), decode_fixed32(head + kBucketsOffsetAt)};
  // Every later read and write stays inside these regions, so a damaged or
  // foreign file is refused here rather than read out of bounds later.
  uint64_t entries_end = uint64_t{l.entries_offset} + kEntrySize * uint64_t{l.entry_count};
  if (l.entries_offset < kHeaderSize || entries_end > l.sources_offset ||
      l.sources_offset > l.buckets_offset ||
      uint64_t{l.buckets_offset} + kBucketTableSize > file.size())
    return fail_msg("token binary index is damaged: its regions do not fit its " +
                    std::to_string(file.size()) + " bytes");
  // Bucket values start source records, in ascending order of first bytes.
  uint64_t previous = 0;
  for (size_t b = 0; b < kBucketCount; ++b) {
    uint64_t v = decode_fixed64(file.data() + l.buckets_offset + 8 * b);
    if (v == 0) continue;
    if (v < l.sources_offset || v + kSourceHead > l.buckets_offset || v <= previous)
      return fail_msg("token binary index is damaged: bucket " + std::to_string(b) +
                      " points outside its source records");
    previous = v;
  }
  return l;
}

}  // namespace

std::set<Digest> source_hashes_of(const std::set<std::string>& sources) {
  std::set<Digest> out;
  for (const auto& s : sources)
    if (auto h = digest_from_hex(s)) out.insert(*h);
  return out;
}

// ---------------------------------------------------------------------------
// TokenBinIndex

Result<std::optional<TokenBinIndex>> TokenBinIndex::open(const std::string& kx_dir,
                                                         const std::string& tokenizer) {
  // Names writers refuse have no index (and must not name a path elsewhere).
  if (!is_valid_tokenizer_name(tokenizer)) return std::nullopt;
  return open_path(index_path(kx_dir, tokenizer));
}

Result<std::optional<TokenBinIndex>> TokenBinIndex::open_path(const std::string& path) {
  if (!stat_path(path)) return std::nullopt;
  UniqueFd fd(open_retry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) return fail(Error::os(errno).about(path).context("opening " + path));
  auto info = stat_fd(fd.get());
  if (!info) return fail(std::move(info).error().context("opening " + path));
  size_t size = static_cast<size_t>(info->size);
  if (size < kHeaderSize)
    return fail_msg("token binary index file too small: " + std::to_string(size) + " bytes");

  TokenBinIndex index;
  index.path_ = path;
  KX_ASSIGN_OR_RETURN(index.map_, Mapping::map(fd.get(), size, false));
  index.device_ = info->device;
  index.inode_ = info->inode;
  KX_ASSIGN_OR_RETURN(Layout l, read_layout(index.bytes()));
  index.entry_count_ = l.entry_count;
  index.entries_offset_ = l.entries_offset;
  index.sources_offset_ = l.sources_offset;
  index.buckets_offset_ = l.buckets_offset;
  return std::optional<TokenBinIndex>(std::move(index));
}

bool TokenBinIndex::is_fresh() const {
  auto own = stat_path(path_);
  if (!own) return false;
  std::string_view name = path_basename(path_);
  constexpr std::string_view prefix = "token-index.", suffix = ".bin";
  if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix))
    return false;
  std::string_view tokenizer =
      name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  std::string merged_dir =
      path_join(path_dirname(path_), std::string(prefix) + std::string(tokenizer));
  auto entries = list_dir(merged_dir);
  if (!entries) return true;
  for (const auto& entry : *entries) {
    auto info = stat_path(entry.path);
    if (info && info->regular && own->mtime_ns < info->mtime_ns) return false;
  }
  return true;
}

std::optional<EntryRef> TokenBinIndex::get_entry_ref(uint32_t id) const {
  if (id >= entry_count_) return std::nullopt;
  uint64_t at = entries_offset_ + kEntrySize * uint64_t{id};
  if (at + kEntrySize > map_.size()) return std::nullopt;  // guaranteed by open; kept as a guard
  const char* r = bytes().data() + at;
  return EntryRef{decode_fixed32(r + kLineOffsetAt), decode_fixed32(r + kLineLengthAt),
                  decode_fixed16(r), r[kRevokedAt] != 0};
}

std::vector<uint32_t> TokenBinIndex::lookup_by_sources(const std::set<Digest>& hashes) const {
  std::vector<uint32_t> ids;
  const char* file = bytes().data();
  const char* buckets = file + buckets_offset_;
  for (const Digest& h : hashes) {
    uint64_t start = decode_fixed64(buckets + 8 * h[0]);
    if (start == 0) continue;
    uint64_t end = buckets_offset_;
    for (size_t b = h[0] + 1u; b < kBucketCount; ++b) {
      if (uint64_t v = decode_fixed64(buckets + 8 * b)) {
        end = v;
        break;
      }
    }
    // A bucket value outside the source records can only come from a damaged
    // file; reading stays within [sources_offset, buckets_offset).
    if (start < sources_offset_ || end > buckets_offset_) continue;
    uint64_t pos = start;
    while (pos + kSourceHead <= end) {
      const char* rec = file + pos;
      uint16_t k = decode_fixed16(rec + 32);
      uint64_t rec_end = pos + kSourceHead + 4u * k;
      if (rec_end > end) break;
      int cmp = memcmp(rec, h.data(), h.size());
      if (cmp > 0) break;
      // Equal hashes may continue in the next record (more than 65535 ids).
      if (cmp == 0)
        for (uint16_t i = 0; i < k; ++i) ids.push_back(decode_fixed32(rec + kSourceHead + 4 * i));
      pos = rec_end;
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

Status TokenBinIndex::set_revoked_batch(const std::vector<std::pair<uint32_t, bool>>& updates) {
  if (updates.empty()) return {};
  auto context = [&](Error e) {
    return fail(std::move(e).about(path_).context("opening " + path_ + " for write"));
  };
  UniqueFd fd(open_retry(path_.c_str(), O_RDWR));
  if (fd.get() < 0) return context(Error::os(errno));
  auto info = stat_fd(fd.get());
  if (!info) return context(std::move(info).error());
  // The ids were resolved against the file this object mapped; a rebuilt or
  // truncated file must not be written with them.
  if (info->device != device_ || info->inode != inode_ || info->size != map_.size())
    return fail_msg("token binary index changed since it was opened: " + path_);
  KX_ASSIGN_OR_RETURN(Mapping map, Mapping::map(fd.get(), map_.size(), true));
  char* file = map.data();
  auto layout = read_layout(map.bytes());
  Status status;
  if (!layout || layout->entry_count != entry_count_ || layout->entries_offset != entries_offset_) {
    status = fail_msg("token binary index changed since it was opened: " + path_);
  } else {
    for (const auto& [id, flag] : updates)
      if (id < entry_count_) file[entries_offset_ + kEntrySize * uint64_t{id} + kRevokedAt] = flag;
    status = map.sync();
  }
  return status;
}

std::string TokenBinIndex::generate_forget_set() const {
  std::string bits((entry_count_ + 7u) / 8u, '\0');
  const char* entries = bytes().data() + entries_offset_;
  for (uint32_t i = 0; i < entry_count_; ++i)
    if (entries[kEntrySize * uint64_t{i} + kRevokedAt] != 0)
      bits[i / 8] = static_cast<char>(bits[i / 8] | (1u << (i % 8)));
  return bits;
}

// ---------------------------------------------------------------------------
// Build

namespace token_bin_index {
namespace {

struct EntryRecord {
  uint16_t file_id;
  uint32_t line_offset;
  uint32_t line_length;
  bool revoked;
};

// The ids naming each distinct source, in order of first appearance.  The
// build looks a source up once per entry, so the table is a flat one that
// holds only a number per source.
class SourceTable {
 public:
  std::vector<uint32_t>& ids_of(const Digest& hash) {
    auto [it, added] = number_.try_emplace(hash, static_cast<uint32_t>(hashes_.size()));
    if (added) {
      hashes_.push_back(hash);
      ids_.emplace_back();
    }
    return ids_[it->second];
  }
  size_t size() const { return hashes_.size(); }
  const Digest& hash(size_t n) const { return hashes_[n]; }
  const std::vector<uint32_t>& ids(size_t n) const { return ids_[n]; }

 private:
  FlatMap<Digest, uint32_t> number_;
  std::vector<Digest> hashes_;
  std::vector<std::vector<uint32_t>> ids_;  // ascending: ids are added in order
};

struct Collected {
  std::vector<EntryRecord> entries;
  SourceTable sources;
};

// Adds the entries of one merged file, numbering them from entries.size().
Status collect_file(uint64_t number, const std::string& path, Collected& out) {
  if (number > kMaxFileId)
    return fail_msg("merged file " + quote_path(path) +
                    " has a number above 65535, which the token binary index cannot store");
  KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
  if (!bytes) return {};
  Status status;
  for_each_token_entry_at(bytes->view(), [&](TokenIndexEntry&& entry, size_t offset,
                                             size_t raw_length) {
    if (!status) return;
    if (offset > kMaxU32 || raw_length > kMaxU32) {
      status = fail_msg("merged file " + quote_path(path) +
                        " is 4 GiB or larger, which the token binary index cannot address");
      return;
    }
    if (out.entries.size() >= kMaxU32) {
      status = fail_msg("token binary index cannot hold more than 4294967295 entries");
      return;
    }
    uint32_t id = static_cast<uint32_t>(out.entries.size());
    out.entries.push_back({static_cast<uint16_t>(number), static_cast<uint32_t>(offset),
                           static_cast<uint32_t>(raw_length), entry.revoked});
    for (const auto& source : entry.sources)
      if (auto hash = digest_from_hex(source)) out.sources.ids_of(*hash).push_back(id);
  });
  return status;
}

// Serialises the collected entries into the index file image.
Result<std::pair<std::string, uint32_t>> encode(const Collected& c) {
  std::vector<size_t> sorted(c.sources.size());
  for (size_t n = 0; n < sorted.size(); ++n) sorted[n] = n;
  std::sort(sorted.begin(), sorted.end(),
            [&](size_t a, size_t b) { return c.sources.hash(a) < c.sources.hash(b); });
  // Each source becomes records of at most 65535 ids.
  struct Record {
    const Digest* hash;
    const uint32_t* ids;
    size_t count;
  };
  std::vector<Record> records;
  uint64_t sources_size = 0;
  for (size_t n : sorted) {
    const auto& ids = c.sources.ids(n);
    for (size_t i = 0; i < ids.size(); i += kMaxIdsPerRecord) {
      size_t count = std::min<size_t>(kMaxIdsPerRecord, ids.size() - i);
      records.push_back({&c.sources.hash(n), ids.data() + i, count});
      sources_size += kSourceHead + 4 * count;
    }
  }
  uint64_t entry_count = c.entries.size();
  uint64_t sources_offset = kHeaderSize + kEntrySize * entry_count;
  uint64_t buckets_offset = sources_offset + sources_size;
  if (buckets_offset > kMaxU32 || records.size() > kMaxU32)
    return fail_msg("token binary index would be 4 GiB or larger, beyond what its format can address");

  std::string out;
  out.reserve(buckets_offset + kBucketTableSize);
  out.append(kMagic);
  put_fixed32(out, kVersion);
  put_fixed32(out, static_cast<uint32_t>(entry_count));
  put_fixed32(out, static_cast<uint32_t>(records.size()));
  put_fixed32(out, static_cast<uint32_t>(kHeaderSize));
  put_fixed32(out, static_cast<uint32_t>(sources_offset));
  put_fixed32(out, static_cast<uint32_t>(buckets_offset));
  out.append(kHeaderSize - out.size(), '\0');
  for (const EntryRecord& e : c.entries) {
    put_fixed16(out, e.file_id);
    put_fixed32(out, e.line_offset);
    put_fixed32(out, e.line_length);
    out.push_back(e.revoked ? 1 : 0);
    out.append(5, '\0');
  }
  std::vector<uint64_t> buckets(kBucketCount, 0);
  for (size_t r = 0; r < records.size(); ++r) {
    const Digest& hash = *records[r].hash;
    if (r == 0 || (*records[r - 1].hash)[0] != hash[0]) buckets[hash[0]] = out.size();
    out.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    put_fixed16(out, static_cast<uint16_t>(records[r].count));
    for (size_t i = 0; i < records[r].count; ++i) put_fixed32(out, records[r].ids[i]);
  }
  for (uint64_t b : buckets) put_fixed64(out, b);
  return std::make_pair(std::move(out), static_cast<uint32_t>(records.size()));
}

}  // namespace

Result<BuildStats> build_binary_index(const std::string& kx_dir, const std::string& tokenizer) {
  if (!is_valid_tokenizer_name(tokenizer)) return fail(token_index::invalid_tokenizer_error(tokenizer));
  if (!is_dir(token_index::merged_dir(kx_dir, tokenizer)))
    return fail_msg("no merged token-index directory for tokenizer '" + tokenizer + "'");
  KX_ASSIGN_OR_RETURN(auto files, token_index::get_merged_files(kx_dir, tokenizer));
  Collected collected;
  for (const auto& [number, path] : files) KX_TRY(collect_file(number, path, collected));
  uint32_t entry_count = static_cast<uint32_t>(collected.entries.size());
  KX_ASSIGN_OR_RETURN(auto encoded, encode(collected));

  std::string path = index_path(kx_dir, tokenizer);
  auto file = AtomicFile::begin(path);
  if (!file) return fail(std::move(file).error().context("creating " + path));
  KX_TRY(file->write(encoded.first));
  KX_TRY(file->commit());

  KX_ASSIGN_OR_RETURN(auto reopened, TokenBinIndex::open_path(path));
  if (!reopened) return fail_msg("failed to re-open token binary index for verification");
  if (reopened->entry_count() != entry_count)
    return fail_msg("verification failed: expected " + std::to_string(entry_count) +
                    " entries, stored " + std::to_string(reopened->entry_count()));
  return BuildStats{entry_count, encoded.second};
}

}  // namespace token_bin_index
}  // namespace kestrix
