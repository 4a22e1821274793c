// Exact undo of the purges the kx command makes.  Such a purge changes
// nothing in the data file but the removed lines, and beside the purge
// archive (purge_archive.h, whose format stays as its other readers know it)
// it leaves an undo record: each removed line as it stood in the file and
// where, and a checksum of the file the purge wrote.  undo_purge() puts the
// lines back in their places, so that the file is again byte for byte what
// it was; an archive without a usable undo record is restored as
// purge_reverse() restores archives, at the file's end.
//
// File: <kx_dir>/.kx/archive/exact/<archive name>, JSON lines:
//   {"data_file":"<path>"}      the purged file in the quoted form of
//                               quote_path(): its path relative to the
//                               project directory when it lies inside (both
//                               resolved), else its resolved path
//   {"at":<n>,"text":"<bytes>","lf":<bool>}
//                               one per removed line, in file order: n is its
//                               index among the lines of the file before the
//                               purge, blank lines counted, from 0; text its
//                               bytes before the line feed (a carriage return
//                               included); lf whether a line feed ended it
//   {"purged_sha256":"<hex>","lines":<n>,"bytes":<n>,"archive_bytes":<n>}
//                               SHA-256 of the file as the purge wrote it, the
//                               lines and bytes of the file before, and the
//                               archive's size, which ties the record to it
// A line is a run of bytes ended by a line feed or by the end of the file;
// a table's lines are its rows (table_files.h), and its removed rows are
// kept as they were in a table of their own, <archive name>.rows.parquet
// beside the record, which is removed with it.
// The record is written to a temporary file, made durable, and named after
// the archive once the archive has its name and before the data file is
// replaced; an undo removes it before the archive.  A record that is not
// whole, or whose archive is missing or of another size, is not used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "fs.h"

namespace kestrix {

// The record of one removed line is formatted in two parts, since its index
// is known only once the lines before it have been counted: the rest
// (`,"text":...,"lf":...}` and a line feed) and then the head before it.
void append_removed_line_rest(std::string& out, std::string_view text, bool lf);
void append_removed_line_head(std::string& out, uint64_t at);

// What the last line of an undo record holds.
struct UndoTrailer {
  std::string purged_sha256;  // of the file the purge wrote
  uint64_t lines = 0;         // of the file before the purge
  uint64_t bytes = 0;
};

// An undo record being written by one purge.  Not thread-safe.
class UndoRecordWriter {
 public:
  // Starts the record of a purge of `data_file` in a temporary file; first
  // removes the records whose archive is gone (purge_reverse() does not
  // know them) and temporary files that killed purges left.
  static Result<UndoRecordWriter> create(const std::string& kx_dir, const std::string& data_file);
  UndoRecordWriter(UndoRecordWriter&&) noexcept = default;

  // Appends records of removed lines (formatted as above).
  Status write(std::string_view records);
  // Appends the trailer, makes the record durable and names it after the
  // archive at `archive_path`, which must be complete.
  Status publish(const std::string& archive_path, const UndoTrailer& trailer);
  // Where a purged table's removed rows go, beside the record of the
  // archive at `archive_path`; discard() removes them too.
  std::string table_rows_path(const std::string& archive_path);
  // Removes the record again (and the directory when this call made it).
  void discard();

 private:
  UndoRecordWriter() = default;
  std::string dir_;
  std::string temp_path_;
  std::string path_;         // once published
  std::string rows_path_;    // a table's removed rows, once named
  std::string created_dir_;  // the record directory, when this call made it
  FileWriter writer_;
};

// The data file an archive's undo record names, read from its first line
// and resolved; nullopt without a record.
std::optional<std::string> undo_record_data_file(const std::string& kx_dir,
                                                 const std::string& archive_name);

// How an undo went.
enum class UndoOutcome {
  kNone,        // the data file has no purge archive: nothing was done
  kExact,       // the file is again what it was before the purge
  kByPosition,  // the file had changed; the lines went back at their places
  kAppended,    // no undo record: the lines were appended (purge_reverse)
  kChanged,     // the file changed since the purge: nothing was done
  kPresent,     // the file already held the lines at their places (a purge
                // or an undo was killed before it finished): the archive
                // was removed and nothing restored
};
std::string_view undo_outcome_name(UndoOutcome outcome);  // "none", "exact", ...

struct UndoResult {
  UndoOutcome outcome = UndoOutcome::kNone;
  uint64_t restored = 0;
  std::string archive;  // the archive's name; empty with kNone
};

// Undoes the newest purge of `data_file` (the data file's name resolved, as
// the undo record and the operation log tell it), or with `archive_name`
// that archive, whatever its file.  With an undo record for this file, the
// file is rebuilt with the removed lines at their places when its checksum
// is the one the purge wrote, or with `by_position` whatever it holds;
// without one the archive is restored as purge_reverse() does (a table
// cannot take lines so: that fails).  Then the
// undo record and the archive are removed and "purge_reverse" logged as
// purge_reverse() logs it.  A gzip or zstd file is rebuilt from its content
// and compressed again, at `level` or its format's default; the record's
// lines, bytes and checksum are those of the content.
Result<UndoResult> undo_purge(const std::string& kx_dir, const std::string& data_file,
                              bool by_position, const std::optional<std::string>& archive_name,
                              std::optional<int> level = std::nullopt);

}  // namespace kestrix
