// Placeholder until this module is implemented.
#include "track.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<std::string> track(const std::string&, const Value&, const std::string&, const std::vector<std::string>&, std::optional<uint64_t>, const std::optional<std::string>&) { return NI; }
}  // namespace kestrix
