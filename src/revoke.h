// Revocation of sections and authors (flipping their `revoked` marks) and of
// an author's token-index entries.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"

namespace kestrix {

Result<uint64_t> revoke_section(const std::string& kx_dir, const std::string& section_hash,
                                bool reverse);
Result<uint64_t> revoke_by_author(const std::string& kx_dir, const std::string& author_name,
                                  bool reverse);
Result<uint64_t> revoke_by_author_token(const std::string& kx_dir, const std::string& author_name,
                                        const std::string& tokenizer, bool reverse);

}  // namespace kestrix
