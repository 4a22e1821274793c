// The index build: regenerates the group files, index.bin and the binary
// token indexes of a store from its layers and merged token-index files.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"

namespace kestrix {

struct IndexStats {
  uint64_t authors = 0;
  uint64_t sections = 0;
  uint64_t total = 0;
  uint64_t token_index_entries = 0;
};

Result<IndexStats> build_index(const std::string& kx_dir);

}  // namespace kestrix
