// The rewrite of a data file shared by the purges: every line whose line
// hash is in a set is removed and archived, every other line is kept.
//
// The data file is processed in blocks of whole lines read with read(2): the
// lines of a block are classified on the worker pool (one JSON parse and one
// SHA-256 per line) while the calling side writes the previous block out and
// reads the next one, so memory stays bounded by a few blocks whatever the
// file's size.  Kept lines are written in order to a temporary file beside
// the data file (an AtomicFile: its unique name never clobbers a file of the
// user's, and it is removed on failure); lines that are not JSON are always
// kept.  Purged lines go to a new purge archive (purge_archive.h) created on
// the first purged line.  Only when both are complete is the temporary file
// renamed over the data file; a failure before that removes the archive and
// the temporary file again and leaves the data file as it was.
//
// Other writers of the data file take no lock, so the purge checks that the
// file it replaces is the one it read: same file (device and inode), size
// and modification time, asked once the new file is durable, just before
// it takes the old one's place.  When the file changed the purge starts
// over on what is there now, up to three times, and then gives up naming
// the file, with nothing changed.  The new file swaps places with the old
// one (renameat2 RENAME_EXCHANGE, where the file system has it), and the
// file swapped out is checked again: bytes appended to it after the check
// are appended to the new file as they were written, and a file another
// writer put in the old one's place meanwhile is swapped back and purged in
// its turn.  A writer that keeps the old file open and writes to it after
// the swap writes to a file no longer named; docs/live-files.md tells
// producers how to avoid that.
//
// Two ways of writing: the module's purges write each kept line with one
// line feed (blank lines dropped, a carriage return before the line feed
// removed); the command's purges keep every byte but those of the removed
// lines and add an undo record (purge_exact.h) beside the archive, so that
// an undo gives back the file byte for byte; when they remove nothing they
// leave the file alone.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compression.h"
#include "error.h"
#include "fs.h"
#include "purge.h"

namespace kestrix {

// Refuses a data file that is not line text: one that begins with the
// magic bytes of gzip, zstd, bzip2, xz or Parquet, or, with `scan_for_nul`,
// one that holds a NUL byte anywhere.  With `read_compressed` a gzip, zstd
// or Parquet file passes, judged by its content.  A missing or empty file
// passes.  (purge_data_file finds NUL bytes itself as it reads the file,
// before anything is published.)
Status check_line_text(const std::string& data_file, bool scan_for_nul,
                       bool read_compressed = false);

// How a purge treats gzip, zstd and Parquet data files: the module's purges
// refuse them; the command's read them as their content and write them
// again in their own format, at `level` or the format's default
// (compression.h); a table is rewritten by row indexes (table_files.h).
struct CompressedFiles {
  bool read = false;
  std::optional<int> level;
};

enum class PurgeMode {
  kDryRun,  // classify only: the counts a purge would give; nothing is written
  kNormal,  // kept lines rewritten one per line feed, blank lines dropped
  kExact,   // every kept byte kept, and an undo record written
};

// Purges the lines of `data_file` whose hash is one of `revoked` (which may
// repeat hashes).  The data file must exist and be non-empty ("data file not
// found: <data_file>").  A dry run gives the counts a purge would produce
// (lines that are not blank), `archived` 0.  Otherwise the archive (with its
// "purge_archive" log entry) and the rewrite happen as described above; the
// caller logs the purge itself.
Result<PurgeStats> purge_data_file(const std::string& kx_dir, const std::string& data_file,
                                   const std::vector<std::string>& revoked, PurgeMode mode,
                                   const CompressedFiles& compressed = {});

// The failure of an operation-log entry written after a purge replaced
// the data file: the purge stands, and the message says so first.
Error purged_but_not_logged(Error log_failure, const std::string& data_file, uint64_t purged);

// A data file rewritten from its own content as a stream: with the block
// pipeline above, the one place where purges and their undo read and write
// data files.  The new content goes to an AtomicFile beside the file, which
// replaces it on commit(); without commit() the file stays as it was.  The
// content of a gzip or zstd file is read decompressed, and the new content
// is written in the same format (at `level`, or the format's default).  A
// table cannot be written from lines: begin() refuses one.
class DataFileEdit {
 public:
  static Result<DataFileEdit> begin(const std::string& data_file,
                                    std::optional<int> level = std::nullopt);
  // Passes the file's content to `sink` in pieces, in order, with the file
  // bytes read reported to progress_add(); false when the file does not
  // exist.
  Result<bool> read(const std::function<Status(std::string_view)>& sink) const;
  Status write(std::string_view bytes);
  Status commit();

 private:
  DataFileEdit(std::string data_file, AtomicFile out, std::unique_ptr<Compressor> compressor)
      : data_file_(std::move(data_file)), out_(std::move(out)), compressor_(std::move(compressor)) {}
  // Writes out what the compressor has produced.
  Status drain();

  std::string data_file_;
  AtomicFile out_;
  std::unique_ptr<Compressor> compressor_;  // for a compressed file
};

}  // namespace kestrix
