// Placeholder until this module is implemented.
#include "blame.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<std::vector<DocumentRecord>> blame(const std::string&, const std::string&, const std::string&) { return NI; }
}  // namespace kestrix
