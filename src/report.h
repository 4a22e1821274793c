// The figures of a store report, gathered in one pass over each layer that
// holds them, without keeping its records: the document records counted by
// data file and by the set of sections each draws from, and per tokenizer
// the merged token entries counted by their set of sections.  Memory grows
// with the distinct (data file, sections) pairs, not with the records; the
// front end resolves sections to licenses, authors and withdrawals, which
// are few.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

namespace kestrix::report {

// The document records naming `file` whose sources are exactly `sections`
// (sorted, each once).
struct DocumentGroup {
  std::string file;
  std::vector<std::string> sections;
  uint64_t records = 0;
};

// The merged token entries of a tokenizer listing exactly `sections`
// (sorted, each once), active and revoked apart; token sums wrap modulo
// 2^64 as token_status's do.
struct TokenGroup {
  std::vector<std::string> sections;
  uint64_t active_entries = 0;
  uint64_t active_tokens = 0;
  uint64_t revoked_entries = 0;
  uint64_t revoked_tokens = 0;
};

struct TokenizerGroups {
  std::string tokenizer;
  std::vector<TokenGroup> groups;  // sorted by sections
};

struct Aggregates {
  std::vector<DocumentGroup> documents;  // sorted by file, then sections
  std::vector<TokenizerGroups> tokenizers;  // sorted by name
};

// The document-index layer is scanned on the worker pool, one partial count
// per shard, merged on the calling thread; each tokenizer's merged files
// are read once.  Entries still in pid files are not counted.
Result<Aggregates> aggregates(const std::string& kx_dir);

}  // namespace kestrix::report
