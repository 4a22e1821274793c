// Token-index entries: per-process pid files "token-index.<tokenizer>.<pid>"
// in the store directory, their merge into numbered files of
// "token-index.<tokenizer>/", and the merged order that numbers entries.
//
// Entry ids: a tokenizer's entries are numbered from 0 over its merged files
// (ascending number, then line order), counting only the lines that
// parse_token_entry_line() accepts.  Every reader that numbers entries (the
// binary token index, forget sets, fast scans) must count with
// for_each_token_entry() or parse_token_entry_line() so the ids agree.
//
// Writers append one whole line per write and take no lock.  A merge renames
// each pid file to "<name>-merging" before reading it, so writers that keep
// tracking start a new pid file and their later lines wait for the next
// merge; only an append already under way at that rename (a writer stalled
// between its open and its write) can still be lost.  Leftover "-merging"
// files are pid files like any other.  Two merges of one tokenizer must not
// run at once.
// Every writer of token-index files refuses a tokenizer name that fails
// is_valid_tokenizer_name(); readers given such a name see nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "json.h"
#include "mmap_lines.h"
#include "records.h"

namespace kestrix {

// An entry may carry its identity: the line hash and the data file of the
// line it was counted from ("line_hash" and "file", written after the four
// fields).  Entries of older writers lack it, and readers take both kinds;
// an entry has an identity when both members are non-empty strings.  Only
// identity tells apart the entries of two lines with equal counts and
// sources, which merges, reruns and forget-set maps need.
struct TokenIndexEntry {
  uint64_t token_count = 0;
  std::vector<std::string> sources;
  std::string tokenizer;
  bool revoked = false;
  std::string line_hash;  // empty: no identity
  std::string file;

  bool has_identity() const { return !line_hash.empty() && !file.empty(); }
};

// The members of an entry as views, into a line or a TokenIndexEntry.
struct TokenEntryParts {
  uint64_t token_count = 0;
  std::vector<std::string_view> sources;
  std::string_view tokenizer;
  bool revoked = false;
  std::string_view line_hash;
  std::string_view file;

  bool has_identity() const { return !line_hash.empty() && !file.empty(); }
};

// The entry as a generic object (keys sorted: [file, line_hash,] revoked,
// sources, token_count, tokenizer), the form of a merged line.
Value token_entry_to_json(const TokenIndexEntry& entry);
// From an object holding the four keys (any order, unknown keys ignored) or
// a four-element array [token_count, sources, tokenizer, revoked].
std::optional<TokenIndexEntry> token_entry_from_json(const Value& value);
// Appends the pid-line form (keys in declaration order: token_count, sources,
// tokenizer, revoked[, line_hash, file]), without a line feed.
void append_token_entry_line(std::string& out, const TokenIndexEntry& entry);

// Calls fn(entry) for each entry of a merged file's bytes, in entry-id order.
template <typename Fn>
void for_each_token_entry(std::string_view bytes, Fn&& fn) {
  for_each_line(bytes, [&](std::string_view line) {
    auto entry = parse_token_entry_line(line);
    if (entry) fn(std::move(*entry));
  });
}

// Like for_each_token_entry, also passing the line's byte offset and its
// length before a trailing carriage return was removed.
template <typename Fn>
void for_each_token_entry_at(std::string_view bytes, Fn&& fn) {
  for_each_line_at(bytes, [&](std::string_view line, size_t offset, size_t raw_len) {
    auto entry = parse_token_entry_line(line);
    if (entry) fn(std::move(*entry), offset, raw_len);
  });
}

// Non-empty, without "/" and NUL: a name that keeps every token-index file
// directly in the store directory and its pid files unambiguous.
bool is_valid_tokenizer_name(std::string_view tokenizer);

namespace token_index {

struct TokenStatus {
  uint64_t total_entries = 0;
  uint64_t active_entries = 0;
  uint64_t revoked_entries = 0;
  uint64_t total_tokens = 0;  // all three token sums wrap modulo 2^64
  uint64_t active_tokens = 0;
  uint64_t revoked_tokens = 0;
};

// "<kx_dir>/.kx/token-index.<tokenizer>", the merged directory.
std::string merged_dir(const std::string& kx_dir, std::string_view tokenizer);
// Error for a tokenizer name that writers refuse.
Error invalid_tokenizer_error(std::string_view tokenizer);
// The value of a merged-file name: an optional "+", then decimal digits, at
// most 2^64-1; nullopt for any other name.
std::optional<uint64_t> merged_file_number(std::string_view name);

Status write_pid(const std::string& kx_dir, const std::string& tokenizer, uint64_t token_count,
                 const std::vector<std::string>& sources);
// Appends pid lines already formed (each ending in a line feed) to this
// process's pid file of `tokenizer`, in requests of whole lines.
Status write_pid_lines(const std::string& kx_dir, const std::string& tokenizer,
                       std::string_view lines);
// (entries merged, pid files consumed)
Result<std::pair<uint64_t, uint64_t>> merge_pid_files(const std::string& kx_dir,
                                                      const std::string& tokenizer);
// (number, path) of each merged file, ascending by number (stable).
Result<std::vector<std::pair<uint64_t, std::string>>> get_merged_files(
    const std::string& kx_dir, const std::string& tokenizer);
// The pid files of a tokenizer (its entries tracked but not merged yet), in
// listing order; empty when the store directory is missing.
Result<std::vector<std::string>> get_pid_files(const std::string& kx_dir,
                                               const std::string& tokenizer);
// Every entry of the merged files, in merged order (index = entry id).
Result<std::vector<TokenIndexEntry>> read_merged(const std::string& kx_dir,
                                                 const std::string& tokenizer);
// Calls fn(entry) for every entry of the merged files, in merged order,
// holding one merged file in memory at a time.
Status for_each_merged_entry(const std::string& kx_dir, const std::string& tokenizer,
                             const std::function<void(TokenIndexEntry&&)>& fn);
// Tokenizers with a pid file, merged directory or binary index; sorted.
Result<std::vector<std::string>> list_tokenizers(const std::string& kx_dir);
Result<TokenStatus> token_status(const std::string& kx_dir, const std::string& tokenizer);
// Full-scan revocation: flips the entries listing any of the sources.
Result<uint64_t> revoke_by_sources(const std::string& kx_dir, const std::string& tokenizer,
                                   const std::set<std::string>& target_sources);

}  // namespace token_index
}  // namespace kestrix
