// Placeholder until this module is implemented.
#include "index.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<IndexStats> build_index(const std::string&) { return NI; }
}  // namespace kestrix
