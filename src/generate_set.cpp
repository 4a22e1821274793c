// Placeholder until this module is implemented.
#include "generate_set.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<std::string> generate_forget_set(const std::string&, const std::string&) { return NI; }
Status write_forget_set(const std::string&, const std::string&) { return NI; }
}  // namespace kestrix
