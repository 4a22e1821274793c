// Queries: the lines of an author, a section or a license, and an author's
// token total under a tokenizer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"
#include "indexer.h"
#include "token_index.h"

namespace kestrix {

struct AuthorTokens {
  uint64_t total_tokens = 0;
  uint64_t document_count = 0;
  std::vector<TokenIndexEntry> entries;
};

Result<std::vector<DocumentRecord>> show_by_author(const std::string& kx_dir,
                                                   const std::string& author_name);
Result<AuthorTokens> show_by_author_token(const std::string& kx_dir,
                                          const std::string& author_name,
                                          const std::string& tokenizer);
Result<std::vector<DocumentRecord>> show_by_section(const std::string& kx_dir,
                                                    const std::string& section_hash);
Result<std::vector<DocumentRecord>> show_by_license(const std::string& kx_dir,
                                                    const std::string& license);

}  // namespace kestrix
