// Housekeeping of a store (see clean.h).  The steps of clean() run in a fixed
// order and the first failure ends the call; what earlier steps did stays.
#include "clean.h"

#include <cerrno>
#include <map>

#include "coding.h"
#include "fs.h"
#include "lib.h"
#include "mmap_lines.h"
#include "oplog.h"
#include "storage.h"
#include "token_bin_index.h"
#include "token_index.h"

namespace kestrix {
namespace {

constexpr std::string_view kDocidxPrefix = "docidx.";

// The first two bytes of `key` when they can name a file beside others in
// one directory: at least two bytes, a character boundary after the second,
// and no "/", NUL or "..".  A key failing this is never written anywhere.
std::optional<std::string_view> two_byte_name(std::string_view key) {
  if (key.size() < 2) return std::nullopt;
  if (key.size() > 2 && (static_cast<unsigned char>(key[2]) & 0xC0) == 0x80) return std::nullopt;
  std::string_view two = key.substr(0, 2);
  if (!is_safe_shard_name(two)) return std::nullopt;
  return two;
}

bool is_true_member(const Value& record, std::string_view name) {
  const Value* v = record.get(name);
  return v != nullptr && v->as_bool() != nullptr && *v->as_bool();
}

bool is_archivable(const Value& record) {
  return record.is_object() && (is_true_member(record, "revoked") || is_true_member(record, "orphan"));
}

// Step 2: renames an oversized log to log.1 and starts an empty log.
Result<bool> rotate_log(const std::string& kx_dir) {
  const std::string log = store_path(kx_dir, "log");
  auto info = stat_path(log);
  if (!info || info->size <= kLogRotateBytes) return false;
  KX_TRY(rename_path(log, store_path(kx_dir, "log.1")));
  // Opened without truncation: after the rename the name is free, and a line
  // another process appended in between is kept rather than cut away.
  KX_ASSIGN_OR_RETURN(FileWriter fresh, FileWriter::append(log));
  KX_TRY(fresh.close());
  return true;
}

// Step 4: the document-index pid files of the store directory, in listing
// order.
Result<std::vector<std::string>> collect_docidx_files(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(store_dir(kx_dir)));
  std::vector<std::string> files;
  for (const DirEntry& entry : entries) {
    if (is_docidx_pid_name(utf8_lossy(entry.name)) && entry.is_regular_file())
      files.push_back(entry.path);
  }
  return files;
}

// Step 5: appends the records of one pid file to their document-index
// shards; returns how many were appended.  A record whose line hash names no
// shard inside the layer is dropped like one without a line hash, so that a
// single bad record cannot make every later clean fail and re-append.
Result<uint64_t> fold_docidx_file(const std::string& kx_dir, const std::string& path) {
  KX_ASSIGN_OR_RETURN(auto records, jsonl_read(path));
  uint64_t appended = 0;
  for (const Value& record : records) {
    const std::string* line_hash = get_string(record, "line_hash");
    if (line_hash == nullptr || line_hash->empty()) continue;
    auto shard = shard_path_for_write(kx_dir, "document-index", *line_hash);
    if (!shard) continue;
    KX_TRY(jsonl_append(*shard, record));
    ++appended;
  }
  return appended;
}

// Step 6: deletes the pid files that still exist; returns how many.
Result<uint64_t> delete_docidx_files(const std::vector<std::string>& files) {
  uint64_t deleted = 0;
  for (const std::string& path : files) {
    auto removed = remove_file(path);
    if (!removed) {
      if (removed.error().os_errno() == ENOENT) continue;
      return fail(std::move(removed).error());
    }
    ++deleted;
  }
  return deleted;
}

// Step 7: merges every tokenizer's pid files and rebuilds its binary index.
Status merge_token_indexes(const std::string& kx_dir, CleanStats& stats) {
  KX_ASSIGN_OR_RETURN(auto tokenizers, token_index::list_tokenizers(kx_dir));
  for (const std::string& tokenizer : tokenizers) {
    KX_ASSIGN_OR_RETURN(auto counts, token_index::merge_pid_files(kx_dir, tokenizer));
    stats.token_index_merged += counts.first;
    stats.token_index_pid_deleted += counts.second;
    // A tokenizer with nothing merged (only a .bin, or only empty pid files)
    // has no index to build; that is not a failure of clean.
    (void)token_bin_index::build_binary_index(kx_dir, tokenizer);
  }
  return {};
}

// Step 9: empties split/ when it exists; failures are not reported.
void reset_split_dir(const std::string& kx_dir) {
  const std::string split = store_path(kx_dir, "split");
  if (!is_dir(split)) return;
  (void)remove_tree(split);
  (void)create_dirs(split);
}

// Appends the archivable records of one shard file, one write per archive
// file.  Only lines holding the literal `true` can be archivable, so the
// others are not parsed.
Result<uint64_t> archive_shard(const std::string& shard, const std::string& archive_dir,
                               std::string_view layer, std::string_view key) {
  KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(shard));
  if (!bytes) return 0;
  std::map<std::string, std::string> lines_by_file;
  uint64_t count = 0;
  for_each_line(bytes->view(), [&](std::string_view line) {
    if (line.find("true") == std::string_view::npos) return;
    auto record = parse_json(line);
    if (!record || !is_archivable(*record)) return;
    const std::string* key_value = get_string(*record, key);
    if (key_value == nullptr || key_value->empty()) return;
    auto two = two_byte_name(*key_value);
    if (!two) return;
    std::string name = std::string(layer) + "." + std::string(*two);
    std::string& out = lines_by_file[path_join(archive_dir, name)];
    write_canonical(*record, out);
    out.push_back('\n');
    ++count;
  });
  for (const auto& [path, lines] : lines_by_file) KX_TRY(append_to_file(path, lines));
  return count;
}

// Removes the temporary files that rewrites interrupted by a crash left in
// the store directory, the archive and the merged token-index directories.
void sweep_interrupted_rewrites(const std::string& kx_dir) {
  const std::string store = store_dir(kx_dir);
  sweep_stale_temps(store);
  sweep_stale_temps(store_path(kx_dir, "archive"));
  auto entries = list_dir(store);
  if (!entries) return;
  for (const DirEntry& entry : *entries)
    if (entry.name.starts_with("token-index.") && is_dir(entry.path)) sweep_stale_temps(entry.path);
}

}  // namespace

bool is_docidx_pid_name(std::string_view name) {
  if (!name.starts_with(kDocidxPrefix)) return false;
  const bool shard_like = name.size() == kDocidxPrefix.size() + 2 && is_hex_digit(name[7]) &&
                          is_hex_digit(name[8]);
  return !shard_like;
}

Result<uint64_t> archive_layer(const std::string& kx_dir, const std::string& archive_dir,
                               std::string_view layer, std::string_view key) {
  const std::string dir = store_path(kx_dir, layer);
  if (!is_dir(dir)) return 0;
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(dir));
  uint64_t count = 0;
  for (const DirEntry& entry : entries) {
    if (entry.name.size() != 2 || !entry.is_regular_file()) continue;
    KX_ASSIGN_OR_RETURN(uint64_t archived, archive_shard(entry.path, archive_dir, layer, key));
    count += archived;
  }
  return count;
}

Result<uint64_t> archive_revoked(const std::string& kx_dir) {
  const std::string archive_dir = store_path(kx_dir, "archive");
  KX_TRY(create_dirs(archive_dir));
  uint64_t total = 0;
  static constexpr std::pair<std::string_view, std::string_view> kLayers[] = {
      {"document-index", "line_hash"}, {"sections", "section_hash"}, {"authors", "id"}};
  for (const auto& [layer, key] : kLayers) {
    KX_ASSIGN_OR_RETURN(uint64_t archived, archive_layer(kx_dir, archive_dir, layer, key));
    total += archived;
  }
  return total;
}

Result<CleanStats> clean(const std::string& kx_dir, bool split) {
  CleanStats stats;
  if (!is_dir(store_dir(kx_dir))) return stats;

  KX_ASSIGN_OR_RETURN(bool rotated, rotate_log(kx_dir));
  stats.log_rotated = rotated ? 1 : 0;
  KX_TRY(oplog::append(kx_dir, "clean", split ? "split=true" : "split=false"));

  KX_ASSIGN_OR_RETURN(auto docidx_files, collect_docidx_files(kx_dir));
  for (const std::string& path : docidx_files) {
    KX_ASSIGN_OR_RETURN(uint64_t appended, fold_docidx_file(kx_dir, path));
    stats.document_merged += appended;
  }
  KX_ASSIGN_OR_RETURN(stats.pid_files_deleted, delete_docidx_files(docidx_files));

  KX_TRY(merge_token_indexes(kx_dir, stats));
  KX_ASSIGN_OR_RETURN(stats.archived_records, archive_revoked(kx_dir));
  if (split) reset_split_dir(kx_dir);
  sweep_interrupted_rewrites(kx_dir);
  return stats;
}

}  // namespace kestrix
