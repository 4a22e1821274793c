// Placeholder until this module is implemented.
#include "token_index.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Value token_entry_to_json(const TokenIndexEntry&) { return {}; }
std::optional<TokenIndexEntry> token_entry_from_json(const Value&) { return std::nullopt; }
namespace token_index {
Status write_pid(const std::string&, const std::string&, uint64_t, const std::vector<std::string>&) { return NI; }
Result<std::pair<uint64_t, uint64_t>> merge_pid_files(const std::string&, const std::string&) { return NI; }
Result<std::vector<std::pair<uint64_t, std::string>>> get_merged_files(const std::string&, const std::string&) { return NI; }
Result<std::vector<TokenIndexEntry>> read_merged(const std::string&, const std::string&) { return NI; }
Result<std::vector<std::string>> list_tokenizers(const std::string&) { return NI; }
Result<TokenStatus> token_status(const std::string&, const std::string&) { return NI; }
}
}  // namespace kestrix
