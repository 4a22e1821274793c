// The check and repair of a store (see check.h).
#include "check.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <unordered_map>
#include <optional>
#include <set>
#include <utility>

#include "authors.h"
#include "binary_index.h"
#include "bulk_blame.h"
#include "clean.h"
#include "coding.h"
#include "data_file_lock.h"
#include "fs.h"
#include "index.h"
#include "indexer.h"
#include "json.h"
#include "lib.h"
#include "mmap_lines.h"
#include "oplog.h"
#include "pool.h"
#include "records.h"
#include "recorded_file.h"
#include "register.h"
#include "storage.h"
#include "store_view.h"
#include "token_bin_index.h"
#include "token_index.h"

namespace kestrix::store_check {
namespace {

// What the lines of a record file hold, which decides the reader that
// judges them.
enum class RecordKind { kAuthor, kSection, kDocument, kTokenEntry, kGroup, kPurgedLine };

struct RecordFile {
  std::string rel;  // path inside the store directory
  RecordKind kind;
};

constexpr std::string_view kDamagedDir = "damaged";
constexpr std::string_view kLineIndex = "index.bin";
// A file that keeps changing under a repair is left for a quieter moment.
constexpr int kRepairAttempts = 20;

std::string shown(std::string_view rel) { return path_join(".kx", rel); }

std::string merged_rel(const std::string& tokenizer) { return "token-index." + tokenizer; }
std::string token_index_rel(const std::string& tokenizer) {
  return "token-index." + tokenizer + ".bin";
}

bool is_record(RecordKind kind, const Value& value) {
  switch (kind) {
    case RecordKind::kAuthor: return author_from_json(value).has_value();
    case RecordKind::kSection: return section_from_json(value).has_value();
    case RecordKind::kDocument: return document_from_json(value).has_value();
    case RecordKind::kTokenEntry: return token_entry_from_json(value).has_value();
    case RecordKind::kGroup:
      return get_string(value, "id") != nullptr && get_array(value, "refs") != nullptr;
    case RecordKind::kPurgedLine: return value.is_object() && value.get("line") != nullptr;
  }
  return false;
}

std::string_view what_a_record_needs(RecordKind kind) {
  switch (kind) {
    case RecordKind::kAuthor:
      return "an author needs id, name and email strings and revoked true or false";
    case RecordKind::kSection:
      return "a section needs section_hash, path, license and year strings and lists of "
             "authors and contributors";
    case RecordKind::kDocument:
      return "a line record needs line_hash and file strings and a list of sources";
    case RecordKind::kTokenEntry:
      return "a token entry needs token_count, a list of sources, tokenizer and revoked true "
             "or false";
    case RecordKind::kGroup: return "an index group needs an id string and a list of refs";
    case RecordKind::kPurgedLine: return "a purge archive record needs the line it archived";
  }
  return "";
}

enum class LineState { kRecord, kIncomplete, kDamaged };

// Judges a line by the reader of its file; the fast readers of records.h
// answer first for the two kinds that make up most of a store.
LineState judge(RecordKind kind, std::string_view line) {
  if (kind == RecordKind::kDocument && parse_document_line(line)) return LineState::kRecord;
  if (kind == RecordKind::kTokenEntry && parse_token_entry_line(line)) return LineState::kRecord;
  auto value = parse_json(line);
  if (!value) return LineState::kDamaged;
  return is_record(kind, *value) ? LineState::kRecord : LineState::kIncomplete;
}

// Calls fn(line, number, state) for each non-empty line of `bytes`, with
// its physical line number from 1; `line` is the raw line (a trailing
// carriage return kept).
template <typename Fn>
void judge_lines(std::string_view bytes, RecordKind kind, Fn&& fn) {
  LineCursor cursor(bytes);
  uint64_t number = 0;
  for (Line raw; cursor.next_raw(raw);) {
    ++number;
    std::string_view text = raw.text;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.empty()) continue;
    fn(raw, number, judge(kind, text));
  }
}

// ---- The files of a store ----

std::string inside_store(const std::string& store, const std::string& path) {
  return path.substr(store.size() + 1);  // paths are store + "/" + rest
}

void add_regular_files(const std::string& store, std::string_view dir, RecordKind kind,
                       std::vector<RecordFile>& out, bool (*wanted)(std::string_view name)) {
  auto entries = list_dir(path_join(store, dir));
  if (!entries) return;  // a missing directory holds nothing
  for (const DirEntry& entry : *entries) {
    if (wanted(entry.name) && is_regular_file(entry.path))
      out.push_back({path_join(dir, entry.name), kind});
  }
}

// An archive file's kind by its name: purge.<stamp> or <layer>.<hh>.
std::optional<RecordKind> archive_kind(std::string_view name) {
  if (name.starts_with("purge.")) return RecordKind::kPurgedLine;
  static constexpr std::pair<std::string_view, RecordKind> kLayers[] = {
      {"authors.", RecordKind::kAuthor},
      {"sections.", RecordKind::kSection},
      {"document-index.", RecordKind::kDocument}};
  for (const auto& [prefix, kind] : kLayers)
    if (name.starts_with(prefix) && name.size() > prefix.size()) return kind;
  return std::nullopt;
}

// Every record file of the store: the layers' shards, the revoked-documents
// file, the index group files, the document-index and token-index pid files,
// the merged token-index files and the archives.
Result<std::vector<RecordFile>> record_files(const std::string& kx_dir) {
  const std::string store = store_dir(kx_dir);
  std::vector<RecordFile> files;
  static constexpr std::pair<std::string_view, RecordKind> kLayers[] = {
      {"authors", RecordKind::kAuthor},
      {"sections", RecordKind::kSection},
      {"document-index", RecordKind::kDocument}};
  for (const auto& [layer, kind] : kLayers) {
    KX_ASSIGN_OR_RETURN(std::vector<std::string> shards, list_shards(kx_dir, layer));
    for (const std::string& path : shards) files.push_back({inside_store(store, path), kind});
  }
  if (is_regular_file(store_path(kx_dir, "document-index/revoked/all")))
    files.push_back({"document-index/revoked/all", RecordKind::kDocument});
  add_regular_files(store, "index", RecordKind::kGroup, files,
                    [](std::string_view name) { return !is_temp_name(name); });
  add_regular_files(store, "", RecordKind::kDocument, files,
                    [](std::string_view name) { return is_docidx_pid_name(utf8_lossy(name)); });
  KX_ASSIGN_OR_RETURN(std::vector<std::string> tokenizers, token_index::list_tokenizers(kx_dir));
  for (const std::string& tokenizer : tokenizers) {
    KX_ASSIGN_OR_RETURN(auto pid_files, token_index::get_pid_files(kx_dir, tokenizer));
    for (const std::string& path : pid_files)
      files.push_back({inside_store(store, path), RecordKind::kTokenEntry});
    KX_ASSIGN_OR_RETURN(auto merged, token_index::get_merged_files(kx_dir, tokenizer));
    for (const auto& [number, path] : merged) {
      if (is_regular_file(path))
        files.push_back({inside_store(store, path), RecordKind::kTokenEntry});
    }
  }
  if (auto archive = list_dir(store_path(kx_dir, "archive"))) {
    for (const DirEntry& entry : *archive) {
      auto kind = archive_kind(entry.name);
      if (kind && is_regular_file(entry.path))
        files.push_back({path_join("archive", entry.name), *kind});
    }
  }
  return files;
}

// The directories where rewrites leave their temporary files.
Result<std::vector<std::string>> temp_dirs(const std::string& kx_dir) {
  std::vector<std::string> dirs = {"",      "authors", "sections", "document-index",
                                   "index", "archive", std::string(kDamagedDir)};
  KX_ASSIGN_OR_RETURN(std::vector<std::string> tokenizers, token_index::list_tokenizers(kx_dir));
  for (const std::string& tokenizer : tokenizers) dirs.push_back(merged_rel(tokenizer));
  return dirs;
}

// ---- Checking ----

struct FileCheck {
  Status read;
  uint64_t lines = 0;
  std::vector<Finding> findings;
};

FileCheck check_file(const std::string& kx_dir, const RecordFile& file) {
  FileCheck out;
  auto bytes = read_file_bytes(store_path(kx_dir, file.rel));
  if (!bytes) {
    out.read = fail(std::move(bytes).error());
    return out;
  }
  if (!*bytes) return out;
  judge_lines((*bytes)->view(), file.kind, [&](const Line&, uint64_t number, LineState state) {
    ++out.lines;
    if (state == LineState::kDamaged) {
      out.findings.push_back({Problem::kDamagedLine, shown(file.rel), number, "not JSON"});
    } else if (state == LineState::kIncomplete) {
      out.findings.push_back({Problem::kIncompleteRecord, shown(file.rel), number,
                              std::string(what_a_record_needs(file.kind))});
    }
  });
  return out;
}

// How the index's record of entry `id` differs from the entry found at
// `offset` (`length` bytes) of merged file `number`; nullopt when it agrees.
std::optional<std::string> entry_difference(const TokenBinIndex& index, uint64_t id,
                                            uint64_t number, size_t offset, size_t length,
                                            bool revoked) {
  const auto ref = index.get_entry_ref(static_cast<uint32_t>(id));
  const std::string entry = "entry " + std::to_string(id) + " (byte " + std::to_string(offset) +
                            " of merged file " + std::to_string(number) + ")";
  if (!ref || ref->file_id != static_cast<uint16_t>(number) || ref->line_offset != offset ||
      ref->line_length != length)
    return entry + " is not where the index places it";
  if (ref->revoked != revoked)
    return entry + (revoked ? " is revoked, but not in the index"
                            : " is revoked in the index only");
  return std::nullopt;
}

// The first way a fresh token binary index fails to describe its merged
// files: an entry it places elsewhere or flags otherwise, a count that
// differs, or a source whose entries differ.  nullopt when it describes
// them.
Result<std::optional<std::string>> index_disagreement(const std::string& kx_dir,
                                                      const std::string& tokenizer,
                                                      const TokenBinIndex& index) {
  KX_ASSIGN_OR_RETURN(auto merged, token_index::get_merged_files(kx_dir, tokenizer));
  std::optional<std::string> difference;
  std::map<Digest, std::vector<uint32_t>> ids_of_source;
  uint64_t id = 0;
  for (const auto& [number, path] : merged) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (!bytes) continue;
    auto compare = [&](TokenIndexEntry&& entry, size_t offset, size_t length) {
      if (!difference)
        difference = entry_difference(index, id, number, offset, length, entry.revoked);
      for (const std::string& source : entry.sources) {
        if (auto hash = digest_from_hex(source))
          ids_of_source[*hash].push_back(static_cast<uint32_t>(id));
      }
      ++id;
    };
    for_each_token_entry_at(bytes->view(), compare);
    if (difference) return difference;
  }
  if (id != index.entry_count())
    return std::optional<std::string>("the index holds " + std::to_string(index.entry_count()) +
                                      " entries, the merged files " + std::to_string(id));
  for (auto& [hash, ids] : ids_of_source) {
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (index.lookup_by_sources({hash}) != ids)
      return std::optional<std::string>("the entries of source " +
                                        bytes_to_hex(hash.data(), hash.size()) +
                                        " differ from the index's");
  }
  return std::optional<std::string>();
}

void check_line_index(const std::string& kx_dir, std::vector<Finding>& findings) {
  auto index = binary_index::open(kx_dir);
  if (!index) {
    findings.push_back({Problem::kDamagedIndex, shown(kLineIndex), 0, index.error().outermost()});
  } else if (*index && store_view::line_index_freshness(kx_dir) == store_view::Freshness::kStale) {
    findings.push_back(
        {Problem::kStaleIndex, shown(kLineIndex), 0, "lines were tracked after it was built"});
  }
}

Status check_token_index(const std::string& kx_dir, const std::string& tokenizer,
                         std::vector<Finding>& findings) {
  const std::string file = shown(token_index_rel(tokenizer));
  auto index = TokenBinIndex::open(kx_dir, tokenizer);
  if (!index) {
    findings.push_back({Problem::kDamagedIndex, file, 0, index.error().outermost()});
    return {};
  }
  if (!*index) return {};
  if (!(*index)->is_fresh()) {
    findings.push_back(
        {Problem::kStaleIndex, file, 0, "its merged files changed after it was built"});
    return {};
  }
  KX_ASSIGN_OR_RETURN(std::optional<std::string> difference,
                      index_disagreement(kx_dir, tokenizer, **index));
  if (difference) findings.push_back({Problem::kIndexMismatch, file, 0, std::move(*difference)});
  return {};
}

// The check, with the record files it read.
struct Scan {
  Report report;
  std::vector<RecordFile> files;
};

Result<Scan> scan(const std::string& kx_dir) {
  Scan out;
  if (!is_dir(store_dir(kx_dir))) return out;
  KX_ASSIGN_OR_RETURN(out.files, record_files(kx_dir));
  std::vector<FileCheck> checks = parallel_map<FileCheck>(
      out.files.size(), [&](size_t i) { return check_file(kx_dir, out.files[i]); });
  Report& report = out.report;
  report.files = out.files.size();
  for (FileCheck& file : checks) {
    KX_TRY(file.read);
    report.lines += file.lines;
    std::move(file.findings.begin(), file.findings.end(), std::back_inserter(report.findings));
  }
  KX_ASSIGN_OR_RETURN(std::vector<std::string> dirs, temp_dirs(kx_dir));
  const std::string store = store_dir(kx_dir);
  for (const std::string& dir : dirs) {
    for (const std::string& path : abandoned_temps(path_join(store, dir)))
      report.findings.push_back({Problem::kStrayTemp, shown(inside_store(store, path)), 0,
                                 "left by a rewrite that did not finish"});
  }
  check_line_index(kx_dir, report.findings);
  KX_ASSIGN_OR_RETURN(std::vector<std::string> tokenizers, token_index::list_tokenizers(kx_dir));
  for (const std::string& tokenizer : tokenizers)
    KX_TRY(check_token_index(kx_dir, tokenizer, report.findings));
  return out;
}

// ---- Repairing ----

// "<quoted file>:<line>: <bytes>" and a line feed, the file as Finding
// names it.
void append_kept_line(std::string& out, std::string_view rel, uint64_t number,
                      std::string_view bytes) {
  out += quote_path(shown(rel));
  out += ':';
  out += std::to_string(number);
  out += ": ";
  out += bytes;
  out += '\n';
}

// Appends `lines` to the file of the store kept for the damaged lines of
// `rel`, and makes them durable before the caller removes them.
Status keep_damaged_lines(const std::string& kx_dir, std::string_view rel, std::string_view lines) {
  const std::string dir = store_path(kx_dir, kDamagedDir);
  KX_TRY(create_dirs(dir));
  std::string name(rel);
  std::replace(name.begin(), name.end(), '/', '-');
  KX_ASSIGN_OR_RETURN(FileWriter out, FileWriter::append(path_join(dir, name)));
  KX_TRY(out.write(lines));
  KX_TRY(out.sync());
  KX_TRY(out.close());
  sync_dir(dir);
  return {};
}

bool same_file(const FileInfo& a, const FileInfo& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size;
}

// Moves the damaged lines of one record file aside and replaces the file
// without them; returns how many lines were moved.  When the file changes
// while this runs (an append), it starts over; lines it already kept are
// not kept twice.
Result<uint64_t> move_damaged_lines(const std::string& kx_dir, const RecordFile& file) {
  const std::string path = store_path(kx_dir, file.rel);
  std::set<std::pair<size_t, std::string>> kept;  // (offset, bytes) of lines kept aside
  for (int attempt = 0; attempt < kRepairAttempts; ++attempt) {
    const auto before = stat_path(path);
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (!before || !bytes) return kept.size();
    if (bytes->size() != before->size) continue;  // it grew while it was read
    const std::string_view view = bytes->view();
    std::string rest, newly_kept;
    size_t copied = 0;
    bool any = false;
    judge_lines(view, file.kind, [&](const Line& raw, uint64_t number, LineState state) {
      if (state != LineState::kDamaged) return;
      any = true;
      rest.append(view.substr(copied, raw.offset - copied));
      copied = std::min(view.size(), raw.offset + raw.raw_length + 1);  // with its line feed
      if (kept.emplace(raw.offset, std::string(raw.text)).second)
        append_kept_line(newly_kept, file.rel, number, raw.text);
    });
    if (!any) return kept.size();
    rest.append(view.substr(copied));
    if (!newly_kept.empty()) KX_TRY(keep_damaged_lines(kx_dir, file.rel, newly_kept));
    KX_ASSIGN_OR_RETURN(AtomicFile rewrite, AtomicFile::begin(path, store_dir(kx_dir)));
    KX_TRY(rewrite.write(rest));
    const auto now = stat_path(path);
    if (!now || !same_file(*before, *now)) continue;  // the temporary file is dropped
    KX_TRY(rewrite.commit());
    return kept.size();
  }
  return fail(Error::msg(quote_path(path) + " kept changing while it was repaired; repair " +
                         "it while no other process writes to the store")
                  .about(path));
}

// Whether a rewrite of the file `rel` leaves index.bin behind it: the line
// index is built from the document-index layer, the group files and the
// positions of merged token-index lines.
bool feeds_line_index(std::string_view rel) {
  return rel.starts_with("document-index/") || rel.starts_with("index/") ||
         (rel.starts_with("token-index.") && rel.find('/') != std::string_view::npos);
}

// The tokenizer whose merged file `rel` is, or nullopt.
std::optional<std::string> merged_file_tokenizer(std::string_view rel) {
  constexpr std::string_view prefix = "token-index.";
  const size_t slash = rel.find('/');
  if (!rel.starts_with(prefix) || slash == std::string_view::npos) return std::nullopt;
  return std::string(rel.substr(prefix.size(), slash - prefix.size()));
}

bool is_index_problem(Problem p) {
  return p == Problem::kStaleIndex || p == Problem::kDamagedIndex || p == Problem::kIndexMismatch;
}

// Rebuilds what the check found stale, damaged or disagreeing, and what the
// moved lines left behind: index.bin through the index build (which also
// rebuilds every token binary index), else each token binary index alone.
Status rebuild_indexes(const std::string& kx_dir, const Report& found,
                       const std::vector<std::string>& rewritten, Repair& repair) {
  std::set<std::string> due;  // shown names of index files
  for (const Finding& f : found.findings)
    if (is_index_problem(f.problem)) due.insert(f.file);
  bool line_index = due.contains(shown(kLineIndex));
  std::set<std::string> tokenizers;
  for (const std::string& rel : rewritten) {
    if (feeds_line_index(rel) && stat_path(store_path(kx_dir, kLineIndex))) line_index = true;
    if (auto tokenizer = merged_file_tokenizer(rel)) tokenizers.insert(*tokenizer);
  }
  KX_ASSIGN_OR_RETURN(std::vector<std::string> all, token_index::list_tokenizers(kx_dir));
  for (const std::string& tokenizer : all) {
    const std::string rel = token_index_rel(tokenizer);
    if (due.contains(shown(rel))) continue;
    if (tokenizers.contains(tokenizer) && stat_path(store_path(kx_dir, rel)))
      due.insert(shown(rel));
  }
  if (line_index) {
    due.insert(shown(kLineIndex));
    KX_TRY(build_index(kx_dir));
  } else {
    for (const std::string& tokenizer : all) {
      if (due.contains(shown(token_index_rel(tokenizer))))
        KX_TRY(token_bin_index::build_binary_index(kx_dir, tokenizer));
    }
  }
  repair.indexes_rebuilt.assign(due.begin(), due.end());
  return {};
}

// ---- Excess records of a data file ----

struct DigestHash {
  size_t operator()(const Digest& d) const {
    size_t h;
    std::memcpy(&h, d.data(), sizeof h);
    return h;
  }
};

// A line and the sources of a record of it.
using RecordKey = std::pair<Digest, std::vector<std::string>>;

// The data file's occurrences of each line, and its records by key.
struct FileRecords {
  std::unordered_map<Digest, uint64_t, DigestHash> occurrences;
  std::map<RecordKey, uint64_t> records;
  std::set<std::string> names;  // the names the file's records use
};

Result<FileRecords> count_file_records(const std::string& kx_dir, const std::string& data_file) {
  FileRecords out;
  RecordedFile file(kx_dir, data_file);
  KX_TRY(blame_file(kx_dir, data_file, [&](BlameBatch&& batch) -> Status {
    for (const BlamedLine& line : batch.lines) {
      if (!line.text) continue;
      if (out.occurrences[line.hash]++ > 0) continue;  // its records are counted
      for (uint32_t r : batch.provenances[line.provenance]) {
        const TrackedAs& record = batch.records[r];
        if (!file.named_by(record.file)) continue;
        out.names.insert(record.file);
        ++out.records[{line.hash, record.sources}];
      }
    }
    return {};
  }));
  return out;
}

// The keys with excess records, each with the number of records to keep.
std::map<RecordKey, uint64_t> records_to_keep(const FileRecords& counted, ExcessRecords& excess) {
  std::map<RecordKey, uint64_t> keep;
  for (const auto& [key, records] : counted.records) {
    const uint64_t held = counted.occurrences.at(key.first);
    if (records <= held) continue;
    ++excess.lines;
    excess.records += records - held;
    keep.emplace(key, held);
  }
  return keep;
}

// Rewrites one shard without the records beyond `keep` of their key;
// returns how many it removed.
Result<uint64_t> drop_excess_in_shard(const std::string& kx_dir, const std::string& shard,
                                      const std::string& data_file,
                                      const std::map<RecordKey, uint64_t>& keep) {
  const std::string rel = "document-index/" + shard;
  const std::string path = store_path(kx_dir, rel);
  RecordedFile file(kx_dir, data_file);
  for (int attempt = 0; attempt < kRepairAttempts; ++attempt) {
    const auto before = stat_path(path);
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (!before || !bytes) return uint64_t{0};
    if (bytes->size() != before->size) continue;
    const std::string_view view = bytes->view();
    std::map<RecordKey, uint64_t> seen;
    std::string rest, removed;
    size_t copied = 0;
    uint64_t dropped = 0, number = 0;
    LineCursor cursor(view);
    for (Line raw; cursor.next_raw(raw);) {
      ++number;
      auto record = parse_document_line(raw.text);
      if (!record || !file.named_by(record->file)) continue;
      auto digest = digest_from_hex(record->line_hash, HexCase::kLower);
      if (!digest) continue;
      RecordKey key{*digest, std::move(record->sources)};
      auto it = keep.find(key);
      if (it == keep.end() || ++seen[key] <= it->second) continue;
      rest.append(view.substr(copied, raw.offset - copied));
      copied = std::min(view.size(), raw.offset + raw.raw_length + 1);
      append_kept_line(removed, rel, number, raw.text);
      ++dropped;
    }
    if (dropped == 0) return dropped;
    rest.append(view.substr(copied));
    KX_ASSIGN_OR_RETURN(AtomicFile rewrite, AtomicFile::begin(path, store_dir(kx_dir)));
    KX_TRY(rewrite.write(rest));
    const auto now = stat_path(path);
    if (!now || !same_file(*before, *now)) continue;  // the temporary file is dropped
    KX_TRY(keep_damaged_lines(kx_dir, rel, removed));
    KX_TRY(rewrite.commit());
    return dropped;
  }
  return fail(Error::msg(quote_path(path) + " kept changing while it was repaired; repair " +
                         "it while no other process writes to the store")
                  .about(path));
}

}  // namespace

Result<ExcessRecords> excess_records(const std::string& kx_dir, const std::string& data_file) {
  KX_ASSIGN_OR_RETURN(FileRecords counted, count_file_records(kx_dir, data_file));
  ExcessRecords excess;
  records_to_keep(counted, excess);
  return excess;
}

Result<ExcessRecords> remove_excess_records(const std::string& kx_dir, const std::string& data_file) {
  KX_ASSIGN_OR_RETURN(FileRecords first, count_file_records(kx_dir, data_file));
  // The locks in name order (as every holder of several takes them), then
  // the count again: what the records hold now that no tracker writes.
  std::vector<DataFileLock> locks;
  for (const std::string& name : first.names) {
    KX_ASSIGN_OR_RETURN(DataFileLock lock, DataFileLock::acquire(kx_dir, name));
    locks.push_back(std::move(lock));
  }
  KX_ASSIGN_OR_RETURN(FileRecords counted, count_file_records(kx_dir, data_file));
  ExcessRecords found;
  const std::map<RecordKey, uint64_t> keep = records_to_keep(counted, found);
  if (keep.empty()) return ExcessRecords{};
  std::map<std::string, std::map<RecordKey, uint64_t>> by_shard;
  for (const auto& [key, n] : keep) by_shard[bytes_to_hex(key.first.data(), 1)].emplace(key, n);
  ExcessRecords removed{found.lines, 0};
  for (const auto& [shard, shard_keep] : by_shard) {
    KX_ASSIGN_OR_RETURN(uint64_t dropped, drop_excess_in_shard(kx_dir, shard, data_file, shard_keep));
    removed.records += dropped;
  }
  KX_TRY(oplog::append(kx_dir, "repair",
                       "removed " + std::to_string(removed.records) + " excess records of " +
                           std::to_string(removed.lines) + " lines of " + quote_path(data_file)));
  for (DataFileLock& lock : locks) KX_TRY(lock.finish());
  return removed;
}

std::string_view problem_name(Problem problem) {
  switch (problem) {
    case Problem::kDamagedLine: return "damaged_line";
    case Problem::kIncompleteRecord: return "incomplete_record";
    case Problem::kStrayTemp: return "stray_temp";
    case Problem::kStaleIndex: return "stale_index";
    case Problem::kDamagedIndex: return "damaged_index";
    case Problem::kIndexMismatch: return "index_mismatch";
  }
  return "";
}

Result<Report> check(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(Scan done, scan(kx_dir));
  return std::move(done.report);
}

Result<Repair> repair(const std::string& kx_dir) {
  Repair repair;
  KX_ASSIGN_OR_RETURN(Scan done, scan(kx_dir));
  // First, since every rewrite below sweeps its directory as well.
  KX_ASSIGN_OR_RETURN(std::vector<std::string> dirs, temp_dirs(kx_dir));
  for (const std::string& dir : dirs)
    repair.temps_removed += sweep_stale_temps(store_path(kx_dir, dir));
  std::set<std::string> damaged;
  for (const Finding& f : done.report.findings)
    if (f.problem == Problem::kDamagedLine) damaged.insert(f.file);
  std::vector<std::string> rewritten;
  for (const RecordFile& file : done.files) {
    if (!damaged.contains(shown(file.rel))) continue;
    KX_ASSIGN_OR_RETURN(uint64_t moved, move_damaged_lines(kx_dir, file));
    repair.lines_moved += moved;
    if (moved > 0) rewritten.push_back(file.rel);
  }
  repair.files_rewritten = rewritten.size();
  KX_TRY(rebuild_indexes(kx_dir, done.report, rewritten, repair));
  repair.found = std::move(done.report);
  KX_ASSIGN_OR_RETURN(repair.remaining, check(kx_dir));
  return repair;
}

}  // namespace kestrix::store_check
