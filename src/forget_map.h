// The map of a forget set: for each set bit's entry, the line it names (line
// hash and data file) and where that line stands in the data file, so that a
// consumer of the training data can drop exactly those examples.
//
// The entries of the set bits are read in merged order, in chunks of a
// bounded number of identities; each chunk's data files are read once and
// their lines hashed as blame hashes them, and the chunk's rows go, sorted by
// (file, first line number, line hash), into a run file of JSON lines
// {"entries","file","line_hash","lines"}: the number of set entries naming
// the line, and every line number (from 1) of the line in the file.  The
// caller merges the runs.  Memory: one chunk of identities and their line
// numbers.  The rows do not depend on the order of the entries, so two
// stores that tracked the same data in different orders give the same map.
// Calling thread and the worker pool; only reads the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace kestrix {

struct ForgetMapRuns {
  std::vector<std::string> runs;  // run files, each sorted
  uint64_t mapped = 0;     // set entries that name their line
  uint64_t unmapped = 0;   // set entries that do not (older writers)
  std::vector<std::string> missing_files;  // data files that could not be read
};

// `bitmask` as generate_forget_set returns it for `tokenizer`; runs are
// written into `run_dir`, which must exist.
Result<ForgetMapRuns> forget_map_runs(const std::string& kx_dir, const std::string& tokenizer,
                                      std::string_view bitmask, const std::string& run_dir);

}  // namespace kestrix
