// Token-index entries: per-process pid files "token-index.<tokenizer>.<pid>",
// their merge into numbered files of "token-index.<tokenizer>/", the merged
// order that numbers entries, and matching and revocation by sources.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "json.h"

namespace kestrix {

struct TokenIndexEntry {
  uint64_t token_count = 0;
  std::vector<std::string> sources;
  std::string tokenizer;
  bool revoked = false;
};

Value token_entry_to_json(const TokenIndexEntry& entry);
std::optional<TokenIndexEntry> token_entry_from_json(const Value& value);

namespace token_index {

struct TokenStatus {
  uint64_t total_entries = 0;
  uint64_t active_entries = 0;
  uint64_t revoked_entries = 0;
  uint64_t total_tokens = 0;
};

Status write_pid(const std::string& kx_dir, const std::string& tokenizer, uint64_t token_count,
                 const std::vector<std::string>& sources);
// (entries merged, pid files consumed)
Result<std::pair<uint64_t, uint64_t>> merge_pid_files(const std::string& kx_dir,
                                                      const std::string& tokenizer);
Result<std::vector<std::pair<uint64_t, std::string>>> get_merged_files(
    const std::string& kx_dir, const std::string& tokenizer);
Result<std::vector<TokenIndexEntry>> read_merged(const std::string& kx_dir,
                                                 const std::string& tokenizer);
Result<std::vector<std::string>> list_tokenizers(const std::string& kx_dir);
Result<TokenStatus> token_status(const std::string& kx_dir, const std::string& tokenizer);
// Full-scan revocation: flips the entries listing any of the sources.
Result<uint64_t> revoke_by_sources(const std::string& kx_dir, const std::string& tokenizer,
                                   const std::set<std::string>& target_sources);

}  // namespace token_index
}  // namespace kestrix
