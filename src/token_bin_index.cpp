// Placeholder until this module is implemented.
#include "token_bin_index.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
namespace token_bin_index {
Result<BuildStats> build_binary_index(const std::string&, const std::string&) { return NI; }
}
}  // namespace kestrix
