// Blame of a whole data file; see bulk_blame.h.
//
// Two blocks alternate: one parallel loop per block hashes the lines of
// block k in slices and reads block k+1 in chunks.  The hashed lines gather
// in a window; a full window (and the last) is looked up: its distinct line
// hashes grouped by shard, the shards that hold them read and scanned on the
// pool, each hash's records kept in shard order, and the window's lines
// handed on in batches that intern their records.
#include "bulk_blame.h"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string_view>

#include "data_blocks.h"
#include "fs.h"
#include "hash.h"
#include "hash_tables.h"
#include "indexer.h"
#include "storage.h"
#include "mmap_lines.h"
#include "pool.h"
#include "records.h"
#include "utf8.h"

namespace kestrix {
namespace {

constexpr std::string_view kLayer = "document-index";
// Lines per batch handed to the sink.
constexpr size_t kBatchLines = size_t{1} << 14;
// A window reads every shard its lines need, so it is made large against the
// document index (at most kLayerBytesPerLine bytes of shards read per line),
// within the bounds that keep its memory small (about 150 bytes a line).
constexpr size_t kMinWindowLines = size_t{1} << 16;
constexpr size_t kMaxWindowLines = size_t{1} << 20;
constexpr uint64_t kLayerBytesPerLine = 64;

// The lines one task hashed.
struct HashedSlice {
  std::vector<BlamedLine> lines;  // numbers counted within the slice
  uint64_t raw_lines = 0;         // lines of the slice, blank ones included
};

void hash_slice(std::string_view lines, std::pair<size_t, size_t> run, HashedSlice& out) {
  out.lines.clear();
  LineCursor cursor(lines, run.first, run.second);
  for (Line line; cursor.next(line);) {
    BlamedLine& hashed = out.lines.emplace_back();
    hashed.number = cursor.raw_lines();
    if (json_line_digest(line.text, hashed.hash.data())) continue;
    hashed.text = is_valid_utf8(line.text);
    if (hashed.text) json_string_digest(line.text, hashed.hash.data());
  }
  out.raw_lines = cursor.raw_lines();
}

Result<size_t> window_lines(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> shards, list_shards(kx_dir, kLayer));
  uint64_t bytes = 0;
  for (const std::string& shard : shards)
    if (auto info = stat_path(shard)) bytes += info->size;
  return static_cast<size_t>(
      std::clamp<uint64_t>(bytes / kLayerBytesPerLine, kMinWindowLines, kMaxWindowLines));
}

constexpr uint32_t kNone = UINT32_MAX;

// The records of the lines of one window.  A provenance is a distinct list
// of records (indexes for record()); provenance 0 is the empty list.
class WindowRecords {
 public:
  // Finds the records of the distinct hashes of `lines`, reading each shard
  // that holds one of them once.
  Status look_up(const std::string& kx_dir, const std::vector<BlamedLine>& lines);

  // The provenance of the window's line `i`.
  uint32_t provenance_of(size_t i) const { return line_provenance_[i]; }
  const std::vector<uint32_t>& provenance(uint32_t p) const { return provenances_[p]; }
  size_t provenance_count() const { return provenances_.size(); }
  const TrackedAs& record(uint32_t r) const { return *records_[r]; }
  size_t record_count() const { return records_.size(); }

 private:
  // A record of the hash numbered `key`.
  struct Found {
    uint32_t key;
    TrackedAs record;
  };
  std::optional<uint32_t> key_of(std::string_view line_hash) const;
  Status scan_shard(const std::string& path, std::vector<Found>& out) const;
  void add(uint32_t key, TrackedAs&& record);
  uint32_t intern(std::vector<uint32_t>&& records);

  FlatMap<Digest, uint32_t> key_of_;  // distinct line hashes, numbered
  std::vector<std::vector<uint32_t>> records_of_key_;
  // Distinct records; the node map keeps their addresses.
  NodeMap<TrackedAs, uint32_t> record_index_;
  std::vector<const TrackedAs*> records_;
  std::vector<std::vector<uint32_t>> provenances_;
  FlatMap<std::vector<uint32_t>, uint32_t> provenance_index_;
  std::vector<uint32_t> single_record_provenance_;  // by record: the list of it alone
  std::vector<uint32_t> line_provenance_;
};

Status WindowRecords::look_up(const std::string& kx_dir, const std::vector<BlamedLine>& lines) {
  key_of_.clear();
  key_of_.reserve(lines.size());
  record_index_.clear();
  records_.clear();
  std::vector<uint32_t> line_key(lines.size(), kNone);
  std::array<bool, 256> needed{};  // shards by the first byte of their hashes
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].text) continue;
    auto [it, inserted] = key_of_.try_emplace(lines[i].hash, static_cast<uint32_t>(key_of_.size()));
    if (inserted) needed[lines[i].hash[0]] = true;
    line_key[i] = it->second;
  }
  records_of_key_.assign(key_of_.size(), {});
  std::vector<std::string> shards;
  for (unsigned b = 0; b < needed.size(); ++b) {
    const uint8_t byte = static_cast<uint8_t>(b);
    if (!needed[b]) continue;
    KX_ASSIGN_OR_RETURN(std::string shard, shard_path(kx_dir, kLayer, bytes_to_hex(&byte, 1)));
    shards.push_back(std::move(shard));
  }
  std::vector<std::vector<Found>> found(shards.size());
  std::vector<Status> read(shards.size());
  parallel_for(shards.size(), [&](size_t i) { read[i] = scan_shard(shards[i], found[i]); });
  for (size_t i = 0; i < shards.size(); ++i) {
    KX_TRY(read[i]);
    for (Found& f : found[i]) add(f.key, std::move(f.record));
  }

  provenances_.assign(1, {});
  provenance_index_.clear();
  single_record_provenance_.assign(records_.size(), kNone);
  std::vector<uint32_t> provenance_of_key(records_of_key_.size());
  for (size_t key = 0; key < records_of_key_.size(); ++key)
    provenance_of_key[key] = intern(std::move(records_of_key_[key]));
  line_provenance_.resize(lines.size());
  for (size_t i = 0; i < lines.size(); ++i)
    line_provenance_[i] = line_key[i] == kNone ? 0 : provenance_of_key[line_key[i]];
  return {};
}

std::optional<uint32_t> WindowRecords::key_of(std::string_view line_hash) const {
  // Only the lowercase hex of a digest can equal a line hash computed here.
  std::optional<Digest> digest = digest_from_hex(line_hash, HexCase::kLower);
  if (!digest) return std::nullopt;
  auto it = key_of_.find(*digest);
  if (it == key_of_.end()) return std::nullopt;
  return it->second;
}

// The records of one shard whose line hash is a key, as lookup_document()
// finds them; a line is parsed only when its line hash may be one.
Status WindowRecords::scan_shard(const std::string& path, std::vector<Found>& out) const {
  auto bytes = read_file_bytes(path);
  if (!bytes) return fail(std::move(bytes).error().context("opening shard " + quote_path(path)));
  if (!*bytes) return {};
  for_each_line((*bytes)->view(), [&](std::string_view line) {
    std::optional<std::string_view> named = document_line_hash(line);
    std::optional<uint32_t> key;
    if (named && !(key = key_of(*named))) return;
    std::optional<DocumentRecord> record = parse_document_line(line);
    if (!record) return;
    if (!named) key = key_of(record->line_hash);  // else the record's hash is `named`
    if (key) out.push_back({*key, TrackedAs{std::move(record->file), std::move(record->sources)}});
  });
  return {};
}

void WindowRecords::add(uint32_t key, TrackedAs&& record) {
  auto [it, inserted] = record_index_.try_emplace(std::move(record), records_.size());
  if (inserted) records_.push_back(&it->first);
  records_of_key_[key].push_back(it->second);
}

// The provenance of a list of records, numbered on first sight.  Lists of
// one record, the common case, need no hashing.
uint32_t WindowRecords::intern(std::vector<uint32_t>&& records) {
  if (records.empty()) return 0;
  uint32_t* single = records.size() == 1 ? &single_record_provenance_[records[0]] : nullptr;
  if (single && *single != kNone) return *single;
  auto [it, inserted] =
      provenance_index_.try_emplace(records, static_cast<uint32_t>(provenances_.size()));
  if (inserted) provenances_.push_back(std::move(records));
  if (single) *single = it->second;
  return it->second;
}

// Hands the lines of a window on in batches, each with the provenances and
// records of its own lines, numbered afresh.
Status hand_on(const std::vector<BlamedLine>& lines, const WindowRecords& found,
               const BlameSink& sink) {
  std::vector<uint32_t> batch_provenance(found.provenance_count(), kNone);
  std::vector<uint32_t> batch_record(found.record_count(), kNone);
  for (size_t first = 0; first < lines.size(); first += kBatchLines) {
    const size_t end = std::min(lines.size(), first + kBatchLines);
    BlameBatch batch;
    std::vector<uint32_t> used;  // window provenances the batch numbered
    batch.lines.assign(lines.begin() + first, lines.begin() + end);
    for (size_t i = first; i < end; ++i) {
      const uint32_t p = found.provenance_of(i);
      if (batch_provenance[p] == kNone) {
        batch_provenance[p] = static_cast<uint32_t>(batch.provenances.size());
        used.push_back(p);
        std::vector<uint32_t>& local = batch.provenances.emplace_back();
        for (uint32_t r : found.provenance(p)) {
          if (batch_record[r] == kNone) {
            batch_record[r] = static_cast<uint32_t>(batch.records.size());
            batch.records.push_back(found.record(r));
          }
          local.push_back(batch_record[r]);
        }
      }
      batch.lines[i - first].provenance = batch_provenance[p];
    }
    for (uint32_t p : used) {
      batch_provenance[p] = kNone;
      for (uint32_t r : found.provenance(p)) batch_record[r] = kNone;
    }
    KX_TRY(sink(std::move(batch)));
  }
  return {};
}

// Lines gathered until a window is full, then looked up and handed on.
class Window {
 public:
  Window(const std::string& kx_dir, size_t capacity, const BlameSink& sink)
      : kx_dir_(kx_dir), capacity_(capacity), sink_(sink) {}

  Status add(const BlamedLine& line) {
    lines_.push_back(line);
    return lines_.size() < capacity_ ? Status{} : flush();
  }

  Status flush() {
    if (lines_.empty()) return {};
    KX_TRY(found_.look_up(kx_dir_, lines_));
    KX_TRY(hand_on(lines_, found_, sink_));
    lines_.clear();
    return {};
  }

 private:
  const std::string& kx_dir_;
  const size_t capacity_;
  const BlameSink& sink_;
  std::vector<BlamedLine> lines_;
  WindowRecords found_;
};

// A failure to read the data file, with its cause kept in the message that
// reaches the user.
Error reading_failed(Error error, const std::string& data_file) {
  std::string text = "reading " + quote_path(data_file) + ": " + error.outermost();
  return std::move(error).context(std::move(text));
}

// Hashes every line of the data file that `reader` reads and passes each,
// numbered, to add(line) in file order.
Status hash_lines(BlockReader& reader, const std::string& data_file,
                  const std::function<Status(const BlamedLine&)>& add) {
  auto reading = [&](Status st) -> Status {
    if (st) return st;
    return fail(reading_failed(std::move(st).error(), data_file));
  };
  BlockPipeline blocks;
  std::vector<HashedSlice> slices;
  KX_TRY(reading(blocks.start(reader)));
  uint64_t lines_before = 0;  // lines of the file before the current block
  for (bool more = true; more;) {
    const size_t count = blocks.slice_count();
    if (slices.size() < count) slices.resize(count);
    auto next = blocks.next([&](std::string_view lines, std::pair<size_t, size_t> run, size_t i) {
      hash_slice(lines, run, slices[i]);
    });
    if (!next) return reading(fail(std::move(next).error()));
    more = *next;
    for (size_t i = 0; i < count; ++i) {
      for (BlamedLine& line : slices[i].lines) {
        line.number += lines_before;
        KX_TRY(add(line));
      }
      lines_before += slices[i].raw_lines;
    }
  }
  return {};
}

}  // namespace

Status hash_file_lines(const std::string& data_file,
                       const std::function<Status(const BlamedLine&)>& fn) {
  auto info = stat_path(data_file);
  if (!info) return fail_msg("data file not found: " + data_file);
  BlockReader reader;
  if (Status opened = reader.open(data_file, info->size); !opened)
    return fail(reading_failed(std::move(opened).error(), data_file));
  return hash_lines(reader, data_file, fn);
}

Status blame_file(const std::string& kx_dir, const std::string& data_file, const BlameSink& sink) {
  auto info = stat_path(data_file);
  if (!info) return fail_msg("data file not found: " + data_file);
  BlockReader reader;
  if (Status opened = reader.open(data_file, info->size); !opened)
    return fail(reading_failed(std::move(opened).error(), data_file));
  KX_ASSIGN_OR_RETURN(size_t capacity, window_lines(kx_dir));
  Window window(kx_dir, capacity, sink);
  KX_TRY(hash_lines(reader, data_file, [&](const BlamedLine& line) { return window.add(line); }));
  return window.flush();
}

}  // namespace kestrix
