// Placeholder until this module is implemented.
#include "clean.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<CleanStats> clean(const std::string&, bool) { return NI; }
}  // namespace kestrix
