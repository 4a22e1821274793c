// Blame of every line of a data file in one pass.
//
// The file is read in blocks (data_blocks.h) and its lines are hashed on the
// worker pool by blame()'s rule (text_line_digest, hash.h), so each line
// gets exactly the records a blame() call on its text returns.  The line
// hashes of a window of lines are then looked up in the document index
// grouped by shard: every shard that holds one of them is read once per
// window (the shards on the pool) and scanned for the records
// lookup_document() would return, in the same order.  Memory is bounded by
// one window (kept small against the document index's size) and two blocks,
// whatever the size of the data file.  Thread-safe: a call keeps its state
// to itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "coding.h"
#include "error.h"
#include "hash_tables.h"

namespace kestrix {

// What one document record says of a line, less the line hash: the data
// file it was tracked in and its sources.
struct TrackedAs {
  std::string file;
  std::vector<std::string> sources;

  bool operator==(const TrackedAs&) const = default;
  friend size_t hash_value(const TrackedAs& r) {
    size_t seed = boost::hash<std::string>{}(r.file);
    boost::hash_combine(seed, r.sources);
    return seed;
  }
};

struct BlamedLine {
  uint64_t number = 0;  // counted from 1 over every line, blank ones included
  Digest hash{};        // the line hash
  // False for a line that is neither JSON nor UTF-8 text: no tracked line
  // has that form (it cannot be blamed as text), so it is not looked up.
  bool text = true;
  uint32_t provenance = 0;  // index into BlameBatch::provenances
};

// Consecutive lines of the file with their records.  A provenance is the
// list of a line's records, as indexes into `records`, in the order blame()
// returns them; lines with the same records share one, and an untracked
// line has the empty list.
struct BlameBatch {
  std::vector<BlamedLine> lines;
  std::vector<std::vector<uint32_t>> provenances;
  std::vector<TrackedAs> records;  // distinct
};

using BlameSink = std::function<Status(BlameBatch&&)>;

// Blames every non-empty line of `data_file` (lines as LineCursor splits
// them) and hands the results to `sink` on the calling thread, batch by
// batch in file order.  A missing data file fails with "data file not
// found: <data_file>"; a failure of the sink ends the call with it.
Status blame_file(const std::string& kx_dir, const std::string& data_file, const BlameSink& sink);

// Hashes every non-empty line of `data_file` as blame_file() does and calls
// fn(line) for each, in file order, without looking anything up.
Status hash_file_lines(const std::string& data_file,
                       const std::function<Status(const BlamedLine&)>& fn);

}  // namespace kestrix
