// Which data files hold records without their token entries.  A file
// tracked under a tokenizer gets one entry per record; a run stopped
// between the records of a batch and their entries leaves records without
// one, which the next `kx track` of the file completes.  Only entries that
// name their file can be attributed, so a file is judged under a tokenizer
// once it has at least one such entry there: a file tracked without the
// tokenizer at all is not missing anything.  Only reads; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace kestrix {

struct MissingTokenEntries {
  std::string tokenizer;
  std::string file;      // as the records name it
  uint64_t records = 0;  // records of the file
  uint64_t entries = 0;  // entries naming the file, merged and pending
};

// Every (tokenizer, file) with fewer entries than records, sorted by
// tokenizer, then file.
Result<std::vector<MissingTokenEntries>> missing_token_entries(const std::string& kx_dir);

}  // namespace kestrix
