// Placeholder until this module is implemented.
#include "purge.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<PurgeStats> purge_revoked(const std::string&, const std::string&, bool) { return NI; }
Result<PurgeStats> purge_by_author_indexed(const std::string&, const std::string&, const std::string&, bool) { return NI; }
Result<uint64_t> purge_reverse(const std::string&, const std::string&) { return NI; }
}  // namespace kestrix
