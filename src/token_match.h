// Finding and revoking token-index entries by their sources directly in the
// merged files of a tokenizer, without the binary token index.
//
// The fast scan parses only candidate lines: lines in which a target appears
// as a quoted JSON string ("<target>") at a double-quote position.  Targets of
// zero or one byte and targets that JSON writes escaped (holding a quote,
// backslash or control character) are never found by it; the full
// scan (token_index::revoke_by_sources in token_index.h) parses every line.
//
// Both revocations rewrite a merged file only when they flip something in it,
// through a temporary file "<merged dir>/.kxtmp.*" (never a merged-file
// number) renamed over it, so a failure leaves the old file whole.  All
// functions run on the calling thread; none may run concurrently with a
// merge, a revocation or an index build of the same tokenizer.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "token_index.h"

namespace kestrix {

// Recognises lines that may hold one of a set of byte patterns starting at a
// double quote.  Patterns are keyed by their first four bytes.
class FastMatcher {
 public:
  explicit FastMatcher(const std::vector<std::string>& patterns);
  // The patterns of targets: each target between double quotes.
  static FastMatcher for_targets(const std::set<std::string>& targets);

  bool empty() const { return by_key_.empty(); }
  // True when, at some double quote of `line` with at least four bytes from
  // it, a pattern with that four-byte key lies wholly inside `line`.
  bool is_candidate(std::string_view line) const;

 private:
  // True when a pattern starts at the quote at `j` and fits in `line`.
  bool hit_at(std::string_view line, size_t j) const;

  std::unordered_map<uint32_t, std::vector<std::string>> by_key_;
  // One bit per 16-bit hash of the keys present, a cheap reject before the
  // map lookup.
  std::vector<uint64_t> filter_;
};

// True when `entry` lists at least one of `targets`.
bool entry_has_target(const TokenIndexEntry& entry, const std::set<std::string>& targets);

namespace token_index {

// The entries listing any target, in merged order (fast scan).
Result<std::vector<TokenIndexEntry>> find_entries_by_sources_fast(
    const std::string& kx_dir, const std::string& tokenizer, const std::set<std::string>& targets);

// Flips the revoked flag of every entry listing a target (fast scan) and
// returns how many were flipped.  A flipped line is written in declaration
// key order (token_count, sources, tokenizer, revoked); other lines keep
// their bytes, empty lines are dropped and the file ends in a line feed.
Result<uint64_t> revoke_by_sources_fast(const std::string& kx_dir, const std::string& tokenizer,
                                        const std::set<std::string>& targets);

// The forget set computed from the merged files: bit i (LSB first) is the
// revoked flag of entry id i, numbered as read_merged() numbers entries.
Result<std::string> generate_forget_set_fast(const std::string& kx_dir,
                                             const std::string& tokenizer);

}  // namespace token_index
}  // namespace kestrix
