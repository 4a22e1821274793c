// The figures of a store report, gathered in one pass over the document
// index and one over each tokenizer's merged files, on the worker pool,
// without keeping a record: every file is read in blocks, so memory grows
// with the data files, sections, licenses and authors (and the pairs of a
// data file and a section), never with the records or the size of a file.
//
// A record counts once under each section, license and author its sources
// lead to (as the show queries list it), and is under withdrawn consent
// when any of its sections is withdrawn (revoked, or with a revoked
// author).  Token entries likewise, by their sources.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "error.h"

namespace kestrix::report {

// What to count: records of these data files only, and records and token
// entries drawn from a section under one of `licenses` and from a section
// of one of `author_ids`; an absent filter takes everything.
struct Filter {
  std::optional<std::set<std::string>> files;
  std::optional<std::set<std::string>> licenses;
  std::optional<std::set<std::string>> author_ids;
};

// Records (or tokens) and those under withdrawn consent (or revoked).
struct Count {
  std::string key;
  uint64_t total = 0;
  uint64_t withdrawn = 0;
};

struct FileTally {
  std::string file;
  uint64_t records = 0;
  uint64_t withdrawn = 0;
  std::vector<Count> sections;  // sorted by hash
};

// Active tokens in `total`, revoked tokens in `withdrawn`.
struct TokenTally {
  std::string tokenizer;
  uint64_t active_entries = 0;
  uint64_t revoked_entries = 0;
  uint64_t active_tokens = 0;  // sums wrap modulo 2^64, as token_status's
  uint64_t revoked_tokens = 0;
  uint64_t active_withdrawn_tokens = 0;
  std::vector<Count> sections, licenses, authors;  // sorted by key
};

struct Aggregates {
  std::vector<FileTally> files;              // sorted by name
  std::vector<Count> licenses, authors;      // sorted by key
  std::vector<TokenTally> tokenizers;        // sorted by name
};

Result<Aggregates> aggregates(const std::string& kx_dir, const Filter& filter);

}  // namespace kestrix::report
