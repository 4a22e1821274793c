// Placeholder until this module is implemented.
#include "revoke.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<uint64_t> revoke_section(const std::string&, const std::string&, bool) { return NI; }
Result<uint64_t> revoke_by_author(const std::string&, const std::string&, bool) { return NI; }
Result<uint64_t> revoke_by_author_token(const std::string&, const std::string&, const std::string&, bool) { return NI; }
}  // namespace kestrix
