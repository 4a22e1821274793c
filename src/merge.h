// Absorption of one store into another.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"

namespace kestrix {

struct MergeStats {
  uint64_t authors_added = 0;
  uint64_t sections_added = 0;
  uint64_t document_added = 0;
  uint64_t token_index_added = 0;
  uint64_t skipped = 0;
};

Result<MergeStats> absorb(const std::string& source, const std::string& target);

}  // namespace kestrix
