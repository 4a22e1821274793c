// The check of a store: every record file of the store directory read once,
// one worker-pool task per file, each line judged by the reader of its
// file; the temporary files of rewrites; and the derived indexes held
// against what they are built from.
//
// A damaged line is one that is not JSON at all (a torn append, a corrupted
// byte): every reader skips it without a word.  A record that lacks its
// fields is JSON that the typed reader of its file refuses; some readers of
// generic records (a revocation mark, say) still see it, so it is reported
// but never moved.  The repair moves damaged lines, with their original
// bytes and where they came from, into "damaged/<file>" of the store (one
// line each: the quoted file as a Finding names it, ':', the line number,
// ": ", the bytes),
// appended and flushed to disk before the store file is replaced through
// AtomicFile without them; no reader saw those lines, so none sees a
// difference.  Nothing is deleted: stray temporary files are copies of
// rewrites that never finished, and are removed as clean() removes them.
// Stale, damaged and disagreeing indexes are then rebuilt with the index
// build.
//
// Concurrency: the check only reads.  The repair of a file reads it, writes
// the new content, and replaces the file only when its size and identity
// are still those it read: a line another process appended meanwhile makes
// it start over, so that append is kept.  An append that lands in the
// instant between that test and the rename is lost, as in the merge of pid
// files; and the index build must not run while others write.  Run the
// repair while no other process writes to the store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace kestrix::store_check {

enum class Problem {
  kDamagedLine,       // not JSON: skipped by every reader
  kIncompleteRecord,  // JSON, but not a record of its file
  kStrayTemp,         // a temporary file whose rewrite's process is gone
  kStaleIndex,        // older than its sources: its readers pass it over
  kDamagedIndex,      // an index file that does not open
  kIndexMismatch,     // a fresh token binary index that misdescribes its merged files
};
// "damaged_line", "incomplete_record", "stray_temp", "stale_index",
// "damaged_index", "index_mismatch".
std::string_view problem_name(Problem problem);

struct Finding {
  Problem problem;
  std::string file;   // as the project directory names it: ".kx/document-index/ab"
  uint64_t line = 0;  // physical line number from 1; 0 for the whole file
  std::string detail;
};

struct Report {
  uint64_t files = 0;  // record files read
  uint64_t lines = 0;  // their non-empty lines
  std::vector<Finding> findings;  // files in store order, lines in file order
};

Result<Report> check(const std::string& kx_dir);

struct Repair {
  Report found;  // the check before the repair
  uint64_t lines_moved = 0;
  uint64_t files_rewritten = 0;
  uint64_t temps_removed = 0;
  std::vector<std::string> indexes_rebuilt;  // named as Finding::file
  Report remaining;  // the check after it
};

// Checks, repairs what can be repaired without a person, and checks again.
Result<Repair> repair(const std::string& kx_dir);

// A data file's lines against the records naming it (recorded_file.h): a
// line that has more records with one list of sources than the file holds
// the line has excess records; trackers of one file running at once left
// them before the file lock kept them apart.  Lines are hashed as blame
// hashes them (bulk_blame.h).
struct ExcessRecords {
  uint64_t lines = 0;    // distinct lines with excess records
  uint64_t records = 0;  // records beyond the file's occurrences
};
Result<ExcessRecords> excess_records(const std::string& kx_dir, const std::string& data_file);

// Removes the excess records of a data file: of the records of one line
// and list of sources, those after the first n in shard order, n being the
// file's occurrences of the line.  Holds the lock of every name the file's
// records use (data_file_lock.h), so that no tracker of the file writes
// meanwhile; each shard is replaced through AtomicFile, and an append of
// another file's record that lands meanwhile makes it start over.  The
// removed lines are kept in "damaged/" as damaged lines are, and the
// removal is logged ("repair").  Returns what was removed.
Result<ExcessRecords> remove_excess_records(const std::string& kx_dir, const std::string& data_file);

}  // namespace kestrix::store_check
