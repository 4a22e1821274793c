// The binary token index "token-index.<tokenizer>.bin" of one tokenizer.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"

namespace kestrix::token_bin_index {

struct BuildStats {
  uint32_t entries = 0;
  uint32_t sources = 0;
};

Result<BuildStats> build_binary_index(const std::string& kx_dir, const std::string& tokenizer);

}  // namespace kestrix::token_bin_index
