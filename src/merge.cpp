// Placeholder until this module is implemented.
#include "merge.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<MergeStats> absorb(const std::string&, const std::string&) { return NI; }
}  // namespace kestrix
