// Tracking every line of a data file at once: the records a loop of track()
// over the file's lines would write, byte for byte, written in batches.
//
// A file is tracked in two steps.  scan() reads the whole file in blocks
// (data_blocks.h) and parses, checks and hashes its lines on the worker
// pool; it writes nothing to the store, so a line that cannot be tracked
// fails the whole file with nothing tracked.  What it found is spooled (44
// bytes per line, in memory up to a bound and beyond that in an unnamed
// temporary file of the store directory).  The section references of the
// records' source fields are left for the caller to resolve; then commit()
// writes in file order, in batches of lines: the document records of a batch
// shard by shard in requests of whole lines, then its token-index entries to
// this process's pid file, so entries are numbered in the file's line order.
//
// The commit holds the file's lock (data_file_lock.h) from the check of what
// the store holds to its last write, so that trackers of one file running at
// once record each line once per occurrence.  A commit to a records file (a
// cluster task's) takes no lock: the records reach the store later, and the
// client that absorbs them holds the lock across the task and the absorption.
//
// Unless `retrack` is set, lines already recorded for the same file with
// the same sources are not recorded again, counting occurrences: a line
// the file holds three times needs three records, and those already in the
// store count against them.  Token entries are counted the same way, by
// the line and file each entry names: a line recorded without its entry
// under the tokenizer (a run stopped between the two, or a file tracked
// before under another tokenizer) gets it, and --tokens-only adds only the
// entries missing.  This reads every shard once, pre-filtered by
// the file's name, and holds the records the file already has (about 60
// bytes each): nothing when a file is tracked for the first time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error.h"

namespace kestrix {

// Where a line's token count comes from.
enum class TokenCounter {
  kNone,        // no token counts
  kWhitespace,  // words of the text, split as Python's str.split() splits
  kBytes,       // UTF-8 bytes of the text
  kField,       // an unsigned 64-bit integer member of the record
};

struct TrackOptions {
  std::string kx_dir;
  std::string data_file;                // the file read
  std::string recorded_as;              // the file's name in its records
  std::vector<std::string> sources;     // sections of every line, resolved
  std::optional<std::string> source_field;  // each record's own sections
  std::optional<std::string> tokenizer;
  TokenCounter counter = TokenCounter::kNone;
  // kField: the member holding the count; kWhitespace and kBytes: the
  // string member counted in (a record without one is counted whole: a
  // JSON string line as its string, anything else as the line's text).
  std::string count_field;
  bool retrack = false;
  // The generation of the file's lock (data_file_lock.h) at which the
  // caller found no record naming the file: when the lock still shows it,
  // the check of what the store holds is skipped.
  std::optional<uint64_t> unrecorded_at;
  // The store whose records count as already recorded, when not kx_dir:
  // a file tracked into a store of its own on a cluster worker records
  // only what tracking it into this store would record.
  std::string known_in;
  // Writes the token entries of every line and no document records: for a
  // file tracked before, counted under another tokenizer.
  bool tokens_only = false;
  // When set, the document records go to this one file instead of the
  // store's shards: each batch's records shard after shard, and a line
  // "<shard> <bytes>" per shard appended to records_file + ".runs".  A
  // cluster task writes two files where the shards would take 256, which
  // a shared file system creates slowly, and the client appends each run
  // to its shard of the target.
  std::string records_file;
};

struct TrackedFile {
  uint64_t lines = 0;     // lines of the file
  uint64_t recorded = 0;  // records written
  uint64_t skipped = 0;   // lines already recorded for the file
  uint64_t tokens = 0;    // tokens of the entries written
  // Lines recorded before that got their missing token entry (counted in
  // `skipped` as well), and lines found counted already by an entry that
  // names no line (written before entries had identity).
  uint64_t completed = 0;
  uint64_t without_identity = 0;
  std::string first_hash, last_hash;  // of the file's first and last line
};

// A section reference of a source field, and the first line naming it.
struct SourceReference {
  std::string ref;
  uint64_t first_line = 0;
};

class FileTracking {
 public:
  // Reads and checks the whole file.  Fails on the first line that cannot
  // be tracked, with "<data_file>:<line number>: <why>"; nothing is written
  // to the store either way.
  static Result<FileTracking> scan(const TrackOptions& options);

  FileTracking(FileTracking&&) noexcept;
  FileTracking& operator=(FileTracking&&) noexcept;
  ~FileTracking();

  const TrackedFile& counts() const;
  // The distinct references of the source fields, in order of first use.
  const std::vector<SourceReference>& references() const;

  // Writes the records.  `resolved[i]` is the section hash references()[i]
  // stands for.  The scan's spool is consumed.
  Result<TrackedFile> commit(const std::vector<std::string>& resolved);

 private:
  struct State;
  explicit FileTracking(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Words of UTF-8 text as Python's str.split() finds them: runs of
// characters between white space (Unicode's, as str.isspace() knows it).
uint64_t count_words(std::string_view text);

}  // namespace kestrix
