// Queries: the lines of an author, a section or a license, and the token
// total of an author, a section or a license under a tokenizer.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "error.h"
#include "indexer.h"
#include "token_index.h"

namespace kestrix {

// The unrevoked token-index entries drawn from some sections, and their
// token total.
struct TokenTotals {
  uint64_t total_tokens = 0;
  uint64_t document_count = 0;
  std::vector<TokenIndexEntry> entries;
};

// Receives the records of a query one batch at a time (what one layer file
// holds), in result order, on the calling thread, while the pool still reads
// later files: a caller converting the records overlaps with the reading.
using DocumentSink = std::function<void(DocumentBatch&&)>;

Status show_by_author(const std::string& kx_dir, const std::string& author_name,
                      const DocumentSink& sink);
Result<TokenTotals> show_by_author_token(const std::string& kx_dir,
                                         const std::string& author_name,
                                         const std::string& tokenizer);
Result<TokenTotals> show_by_section_token(const std::string& kx_dir,
                                          const std::string& section_hash,
                                          const std::string& tokenizer);
Result<TokenTotals> show_by_license_token(const std::string& kx_dir, const std::string& license,
                                          const std::string& tokenizer);
// The entries of `tokenizer` that list one of `sections`, revoked ones left
// out: found through the binary token index when it is fresh, else by a
// scan of the merged files.
Result<TokenTotals> tokens_of_sections(const std::string& kx_dir,
                                       const std::set<std::string>& sections,
                                       const std::string& tokenizer);
Status show_by_section(const std::string& kx_dir, const std::string& section_hash,
                       const DocumentSink& sink);
Status show_by_license(const std::string& kx_dir, const std::string& license,
                       const DocumentSink& sink);

// The indexed way of show_by_author: reads only the `sections` and
// `document-index` shards that index.bin names (one pool task per shard;
// records in shard order, then line order, handed to `sink` once all are
// read).  Fails with "binary index not found" when index.bin is absent, and
// when a named shard exists but cannot be read.
Status show_by_author_indexed(const std::string& kx_dir, const std::string& author_name,
                              const DocumentSink& sink);

// Parallel scans of a whole layer, one worker-pool task per shard of the
// layer (list_shards in storage.h: two-hex-digit names; other files hold no
// records).  Results are in listing order of the shards, then line order,
// not de-duplicated.  A missing layer gives an empty result; failing to list
// the layer or to read one of its shards is an error.  Worker tasks never
// touch Python objects.

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
// The same records handed to `sink` file by file.
Status find_documents_for_sections_each(const std::string& kx_dir,
                                        const std::vector<std::string>& section_hashes,
                                        const DocumentSink& sink);

}  // namespace kestrix
