// Placeholder until this module is implemented.
#include "token_index.h"

#define NI fail_msg("not implemented yet")

namespace kestrix::token_index {
Result<uint64_t> revoke_by_sources(const std::string&, const std::string&, const std::set<std::string>&) { return NI; }
}  // namespace kestrix::token_index
