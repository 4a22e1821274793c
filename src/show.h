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

// The indexed way of show_by_author: reads only the `sections` and
// `document-index` shards that index.bin names (one pool task per shard;
// records in shard order, then line order).  Fails with "binary index not
// found" when index.bin is absent, and when a named shard exists but cannot
// be read.
Result<std::vector<DocumentRecord>> show_by_author_indexed(const std::string& kx_dir,
                                                           const std::string& author_name);

// Parallel scans of a whole layer, one worker-pool task per file of the layer
// directory (every regular file, whatever its name).  Results are in
// directory-listing order of the files, then line order, not de-duplicated.
// A missing layer gives an empty result; unreadable files contribute nothing;
// only a failure to list an existing layer directory is an error.  Worker
// tasks never touch Python objects.

// Section hashes of the sections whose `authors` hold one of `author_ids`.
Result<std::vector<std::string>> find_author_sections_parallel(
    const std::string& kx_dir, const std::vector<std::string>& author_ids);
// Section hashes of the sections whose `license` equals `license` byte for byte.
Result<std::vector<std::string>> find_license_sections_parallel(const std::string& kx_dir,
                                                                const std::string& license);
// Document records whose `sources` hold one of `section_hashes`; each line
// at most once.
Result<std::vector<DocumentRecord>> find_documents_for_sections_parallel(
    const std::string& kx_dir, const std::vector<std::string>& section_hashes);

}  // namespace kestrix
