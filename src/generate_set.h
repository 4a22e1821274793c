// Forget sets: bitmasks over a tokenizer's entry ids, one bit per revoked
// entry.
#pragma once

#include <string>

#include "error.h"

namespace kestrix {

// The bitmask bytes.
Result<std::string> generate_forget_set(const std::string& kx_dir, const std::string& tokenizer);
Status write_forget_set(const std::string& path, const std::string& bitmask);

}  // namespace kestrix
