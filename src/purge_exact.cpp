// Undo records of the command's purges and the exact undo; see
// purge_exact.h for the format.
#include "purge_exact.h"

#include <atomic>
#include <cerrno>
#include <utility>

#include "hash.h"
#include "json.h"
#include "mmap_lines.h"
#include "oplog.h"
#include "progress.h"
#include "purge_archive.h"
#include "purge_rewrite.h"
#include "store_view.h"
#include "table_files.h"

namespace kestrix {
namespace {

std::string undo_record_dir(const std::string& kx_dir) {
  return path_join(purge_archive_dir(kx_dir), "exact");
}

std::string undo_record_path(const std::string& kx_dir, std::string_view archive_name) {
  return path_join(undo_record_dir(kx_dir), archive_name);
}

// The name of a purged table's removed rows, beside the undo record.
constexpr std::string_view kRowsSuffix = ".rows.parquet";
std::string removed_rows_name(std::string_view archive_name) {
  return std::string(archive_name) + std::string(kRowsSuffix);
}

// Removes the records (and removed rows) whose archive is gone.
void sweep_orphan_records(const std::string& kx_dir, const std::string& dir) {
  auto entries = list_dir(dir);
  if (!entries) return;
  for (const DirEntry& entry : *entries) {
    std::string_view archive = entry.name;
    if (archive.ends_with(kRowsSuffix)) archive.remove_suffix(kRowsSuffix.size());
    if (!is_temp_name(entry.name) && !stat_path(path_join(purge_archive_dir(kx_dir), archive)))
      (void)remove_file(entry.path);
  }
}

// A removed line: its index in the file before the purge and its bytes,
// with the line feed when it had one.
struct RemovedLine {
  uint64_t at = 0;
  std::string raw;
};

struct UndoRecord {
  std::string data_file;
  std::vector<RemovedLine> removed;  // ascending `at`
  UndoTrailer trailer;
  uint64_t archive_bytes = 0;
};

std::optional<uint64_t> get_count(const Value& value, std::string_view key) {
  const Value* v = value.get(key);
  if (v == nullptr || v->as_uint() == nullptr) return std::nullopt;
  return *v->as_uint();
}

// How a record names its data file: relative to the project directory when
// the file lies inside it, so that the record still names it once the
// project has moved; else by its resolved path.
std::string recorded_name(const std::string& kx_dir, const std::string& data_file) {
  const std::string file = resolved_path(data_file);
  const std::string project = resolved_path(kx_dir) + "/";
  return file.starts_with(project) ? file.substr(project.size()) : file;
}

// The data file of a record's first line, resolved.
std::optional<std::string> header_data_file(const std::string& kx_dir, const Value& header) {
  const std::string* quoted = get_string(header, "data_file");
  if (quoted == nullptr) return std::nullopt;
  auto name = unquote_path(*quoted);
  if (!name) return std::nullopt;
  return resolved_path(path_join(resolved_path(kx_dir), *name));
}

std::optional<UndoTrailer> parse_trailer(const Value& value, uint64_t& archive_bytes) {
  const std::string* sha = get_string(value, "purged_sha256");
  auto lines = get_count(value, "lines");
  auto bytes = get_count(value, "bytes");
  auto archived = get_count(value, "archive_bytes");
  if (sha == nullptr || sha->size() != 64 || !lines || !bytes || !archived) return std::nullopt;
  archive_bytes = *archived;
  return UndoTrailer{*sha, *lines, *bytes};
}

bool parse_removed(const Value& value, std::vector<RemovedLine>& out) {
  auto at = get_count(value, "at");
  const std::string* text = get_string(value, "text");
  const Value* lf = value.get("lf");
  if (!at || text == nullptr || lf == nullptr || lf->as_bool() == nullptr) return false;
  if (!out.empty() && *at <= out.back().at) return false;
  out.push_back({*at, *text});
  if (*lf->as_bool()) out.back().raw.push_back('\n');
  return true;
}

// The undo record of the archive at `archive_path`; nullopt when there is
// none, or it is not whole, or it belongs to an earlier archive of the name.
Result<std::optional<UndoRecord>> read_undo_record(const std::string& kx_dir,
                                                   const std::string& archive_path) {
  KX_ASSIGN_OR_RETURN(auto bytes,
                      read_whole_file(undo_record_path(kx_dir, path_basename(archive_path))));
  if (!bytes) return std::nullopt;
  // Each line is held parsed only until the next shows it is not the
  // trailer.
  UndoRecord record;
  std::optional<std::string> file;
  std::optional<Value> last;
  bool whole = true;
  for_each_line(*bytes, [&](std::string_view line) {
    if (!whole) return;
    auto value = parse_json(line);
    if (!value) {
      whole = false;
    } else if (!file) {
      file = header_data_file(kx_dir, *value);
      whole = file.has_value();
    } else {
      if (last) whole = parse_removed(*last, record.removed);
      last = std::move(*value);
    }
  });
  if (!whole || !last) return std::nullopt;
  auto trailer = parse_trailer(*last, record.archive_bytes);
  auto archive = stat_path(archive_path);
  if (!trailer || !archive || archive->size != record.archive_bytes) return std::nullopt;
  record.data_file = std::move(*file);
  record.trailer = std::move(*trailer);
  return record;
}

// Rebuilds the file before the purge from the lines of the current file,
// streamed past in order, and the removed lines, each written at its index
// (those beyond the file's end at the end).  Meanwhile it finds out whether
// the current file is the one the purge wrote (its checksum), or already
// holds every removed line at its place.
class Reinsertion {
 public:
  // Without `out` (a table, rebuilt by row indexes) only the checks are
  // made.
  Reinsertion(const UndoRecord& record, DataFileEdit* out) : record_(record), out_(out) {}

  // One raw line of the current file, with its line feed if it has one.
  Status add(std::string_view raw) {
    checksum_.update(raw);
    size_ += raw.size();
    check_place(raw);
    KX_TRY(put_removed(false));
    return put_line(raw);
  }

  Status finish() {
    KX_TRY(put_removed(true));
    const UndoTrailer& t = record_.trailer;
    unchanged_ = checksum_.finish_hex() == t.purged_sha256;
    holds_removed_ = holds_removed_ && checked_ == record_.removed.size() && lines_ == t.lines &&
                     size_ == t.bytes;
    return {};
  }

  bool unchanged() const { return unchanged_; }
  bool holds_removed() const { return holds_removed_; }

 private:
  // Notes whether the current file's line `lines_` is the removed line
  // recorded there, if one is.
  void check_place(std::string_view raw) {
    const auto& removed = record_.removed;
    if (checked_ < removed.size() && removed[checked_].at == lines_) {
      holds_removed_ = holds_removed_ && removed[checked_].raw == raw;
      ++checked_;
    }
    ++lines_;
  }

  // Writes the removed lines whose place comes next; with `all`, every one
  // left.
  Status put_removed(bool all) {
    const auto& removed = record_.removed;
    for (; next_ < removed.size() && (all || removed[next_].at <= written_); ++next_)
      KX_TRY(put_line(removed[next_].raw));
    return {};
  }

  Status put_line(std::string_view raw) {
    ++written_;
    if (out_ == nullptr) return {};
    // Only the last line of a file lacks a line feed, so this happens only
    // when lines go back into a changed file: the line gets one, so that
    // the next stays apart.
    if (!ended_line_) KX_TRY(out_->write("\n"));
    ended_line_ = raw.ends_with('\n');
    return out_->write(raw);
  }

  const UndoRecord& record_;
  DataFileEdit* out_;
  Sha256 checksum_;
  uint64_t size_ = 0;
  uint64_t lines_ = 0;     // lines of the current file so far
  size_t checked_ = 0;     // removed lines whose place has been passed
  size_t next_ = 0;        // the next removed line to write
  uint64_t written_ = 0;   // lines written so far
  bool ended_line_ = true;
  bool holds_removed_ = true;
  bool unchanged_ = false;
};

// Removes the undo record and the archive, and logs as purge_reverse().
Status retire_archive(const std::string& kx_dir, const store_view::ArchiveInfo& archive,
                      uint64_t restored) {
  for (const std::string& name : {removed_rows_name(archive.name), archive.name}) {
    const std::string path = undo_record_path(kx_dir, name);
    Status removed = remove_file(path);
    if (!removed && removed.error().os_errno() != ENOENT) return removed;
  }
  KX_TRY(remove_file(archive.path));
  return oplog::append(kx_dir, "purge_reverse",
                       "restored " + std::to_string(restored) + " lines from " +
                           quote_path(archive.path));
}

// Rebuilds a purged table with its removed rows back at their indexes.
Status restore_table_rows(const std::string& kx_dir, const store_view::ArchiveInfo& archive,
                          const UndoRecord& record, const std::string& data_file) {
  const std::string rows = undo_record_path(kx_dir, removed_rows_name(archive.name));
  if (!stat_path(rows))
    return fail(Error::msg("the rows that purge archive " + quote_path(archive.name) +
                           " removed from " + quote_path(data_file) + " are missing (" +
                           quote_path(rows) + ")")
                    .about(data_file));
  std::vector<uint64_t> positions;
  positions.reserve(record.removed.size());
  for (const RemovedLine& line : record.removed) positions.push_back(line.at);
  KX_ASSIGN_OR_RETURN(const TableProvider* provider, table_provider(data_file));
  KX_ASSIGN_OR_RETURN(AtomicFile out, AtomicFile::begin(data_file));
  KX_TRY(provider->restore_rows(data_file, positions, rows, out.tmp_path()));
  return out.commit();
}

Result<UndoResult> restore_exactly(const std::string& kx_dir,
                                   const store_view::ArchiveInfo& archive,
                                   const UndoRecord& record, const std::string& data_file,
                                   bool by_position, std::optional<int> level) {
  // Lines go into a file this purge did not write only on request, and
  // never into one that is not line text.
  if (by_position) KX_TRY(check_line_text(data_file, true, true));
  KX_ASSIGN_OR_RETURN(Compression format, file_compression(data_file));
  const bool table = format == Compression::kParquet;
  std::optional<DataFileEdit> out;
  if (!table) {
    KX_ASSIGN_OR_RETURN(DataFileEdit edit, DataFileEdit::begin(data_file, level));
    out.emplace(std::move(edit));
  }
  Reinsertion rebuilt(record, out ? &*out : nullptr);
  PieceLineSplitter lines;
  Status fed;
  KX_TRY(stream_content(data_file, [&](std::string_view piece) -> Status {
    lines.feed_raw(piece, [&](std::string_view raw) {
      if (fed) fed = rebuilt.add(raw);
    });
    return fed;
  }));
  lines.finish_raw([&](std::string_view raw) {
    if (fed) fed = rebuilt.add(raw);
  });
  KX_TRY(fed);
  KX_TRY(rebuilt.finish());

  UndoResult result{UndoOutcome::kExact, record.removed.size(), archive.name};
  if (!rebuilt.unchanged()) {
    if (rebuilt.holds_removed()) {
      result = {UndoOutcome::kPresent, 0, archive.name};
    } else if (by_position) {
      result.outcome = UndoOutcome::kByPosition;
    } else {
      return UndoResult{UndoOutcome::kChanged, 0, archive.name};
    }
  }
  if (result.outcome != UndoOutcome::kPresent)
    KX_TRY(table ? restore_table_rows(kx_dir, archive, record, data_file) : out->commit());
  KX_TRY(retire_archive(kx_dir, archive, result.restored));
  return result;
}

// The archive an undo of `data_file` takes: the one named, or the newest of
// the file.
Result<std::optional<store_view::ArchiveInfo>> archive_to_undo(
    const std::string& kx_dir, const std::string& data_file,
    const std::optional<std::string>& archive_name) {
  if (!archive_name) {
    KX_ASSIGN_OR_RETURN(auto mine, store_view::purge_archives_of(kx_dir, data_file));
    if (mine.empty()) return std::nullopt;
    return std::move(mine.front());
  }
  KX_ASSIGN_OR_RETURN(auto archives, store_view::purge_archives(kx_dir));
  for (store_view::ArchiveInfo& archive : archives)
    if (archive.name == *archive_name) return std::move(archive);
  return fail_msg("no purge archive named " + quote_path(*archive_name));
}

}  // namespace

void append_removed_line_rest(std::string& out, std::string_view text, bool lf) {
  out.append(",\"text\":");
  append_json_string(text, out);
  out.append(lf ? ",\"lf\":true}\n" : ",\"lf\":false}\n");
}

void append_removed_line_head(std::string& out, uint64_t at) {
  out.append("{\"at\":");
  out.append(std::to_string(at));
}

Result<UndoRecordWriter> UndoRecordWriter::create(const std::string& kx_dir,
                                                  const std::string& data_file) {
  static std::atomic<uint64_t> counter{0};
  UndoRecordWriter record;
  record.dir_ = undo_record_dir(kx_dir);
  if (!is_dir(record.dir_)) {
    KX_TRY(create_dirs(record.dir_));
    record.created_dir_ = record.dir_;
  }
  sweep_stale_temps(record.dir_);
  sweep_orphan_records(kx_dir, record.dir_);
  for (int attempt = 0;; ++attempt) {
    record.temp_path_ = path_join(record.dir_, ".kxtmp." + std::to_string(::getpid()) + "." +
                                                   std::to_string(counter.fetch_add(1)) + ".undo");
    auto writer = FileWriter::create_temp(record.temp_path_);
    if (writer) {
      record.writer_ = std::move(*writer);
      break;
    }
    if (writer.error().os_errno() != EEXIST || attempt == 100) {
      record.temp_path_.clear();
      record.discard();
      return fail(std::move(writer).error());
    }
  }
  std::string header = "{\"data_file\":";
  append_json_string(quote_path(recorded_name(kx_dir, data_file)), header);
  header.append("}\n");
  Status written = record.writer_.write(header);
  if (!written) {
    record.discard();
    return fail(std::move(written).error());
  }
  return record;
}

Status UndoRecordWriter::write(std::string_view records) { return writer_.write(records); }

Status UndoRecordWriter::publish(const std::string& archive_path, const UndoTrailer& trailer) {
  auto archive = stat_path(archive_path);
  if (!archive) return fail_msg("purge archive " + quote_path(archive_path) + " is missing");
  std::string last = "{\"purged_sha256\":";
  append_json_string(trailer.purged_sha256, last);
  last += ",\"lines\":" + std::to_string(trailer.lines) + ",\"bytes\":" +
          std::to_string(trailer.bytes) + ",\"archive_bytes\":" + std::to_string(archive->size) +
          "}\n";
  KX_TRY(writer_.write(last));
  // Durable before it has its name, and named before the data file is
  // replaced.  A record of the same name is an orphan of an archive that
  // purge_reverse() removed: this one replaces it.
  KX_TRY(writer_.sync());
  const std::string path = path_join(dir_, path_basename(archive_path));
  KX_TRY(rename_path(temp_path_, path));
  path_ = path;
  temp_path_.clear();
  KX_TRY(writer_.close());
  sync_dir(dir_);
  return {};
}

std::string UndoRecordWriter::table_rows_path(const std::string& archive_path) {
  rows_path_ = path_join(dir_, removed_rows_name(path_basename(archive_path)));
  return rows_path_;
}

void UndoRecordWriter::discard() {
  (void)writer_.close();
  if (!temp_path_.empty()) (void)remove_file(temp_path_);
  if (!path_.empty()) (void)remove_file(path_);
  if (!rows_path_.empty()) (void)remove_file(rows_path_);
  if (!created_dir_.empty()) (void)remove_dir(created_dir_);
  temp_path_.clear();
  path_.clear();
  rows_path_.clear();
  created_dir_.clear();
}

std::optional<std::string> undo_record_data_file(const std::string& kx_dir,
                                                 const std::string& archive_name) {
  auto file = RangeReader::open(undo_record_path(kx_dir, archive_name));
  if (!file || !*file) return std::nullopt;
  // The header holds one quoted path, at most four bytes for each of a
  // path's bytes.
  constexpr size_t kMaxHeader = 64 << 10;
  std::string head;
  if (!(*file)->read_at(0, kMaxHeader, head)) return std::nullopt;
  const size_t end = head.find('\n');
  if (end == std::string::npos) return std::nullopt;
  auto header = parse_json(std::string_view(head).substr(0, end));
  if (!header) return std::nullopt;
  return header_data_file(kx_dir, *header);
}

std::string_view undo_outcome_name(UndoOutcome outcome) {
  switch (outcome) {
    case UndoOutcome::kNone: return "none";
    case UndoOutcome::kExact: return "exact";
    case UndoOutcome::kByPosition: return "by_position";
    case UndoOutcome::kAppended: return "appended";
    case UndoOutcome::kChanged: return "changed";
    case UndoOutcome::kPresent: return "present";
  }
  return "none";
}

Result<UndoResult> undo_purge(const std::string& kx_dir, const std::string& data_file,
                              bool by_position, const std::optional<std::string>& archive_name,
                              std::optional<int> level) {
  KX_ASSIGN_OR_RETURN(auto archive, archive_to_undo(kx_dir, data_file, archive_name));
  if (!archive) return UndoResult{};
  KX_ASSIGN_OR_RETURN(auto record, read_undo_record(kx_dir, archive->path));
  if (record && record->data_file == resolved_path(data_file))
    return restore_exactly(kx_dir, *archive, *record, data_file, by_position, level);
  KX_ASSIGN_OR_RETURN(uint64_t restored,
                      reverse_archive(kx_dir, archive->path, data_file, level));
  // Lines of another file: their places mean nothing here.
  (void)remove_file(undo_record_path(kx_dir, archive->name));
  return UndoResult{UndoOutcome::kAppended, restored, archive->name};
}

}  // namespace kestrix
