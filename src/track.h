// Tracking: one line of training data enters the store as a document record
// and, with a token count and tokenizer, a token-index entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "json.h"

namespace kestrix {

// Records the line whose content hash is `line_hash` (compute_hash of its
// value); returns the line hash.
Result<std::string> track(const std::string& kx_dir, std::string line_hash, const std::string& file,
                          const std::vector<std::string>& sources,
                          std::optional<uint64_t> token_count,
                          const std::optional<std::string>& tokenizer);

}  // namespace kestrix
