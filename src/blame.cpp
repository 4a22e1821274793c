// Placeholder until this module is implemented.
#include "blame.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<std::vector<DocumentRecord>> blame(const std::string&, const std::string&, const std::string&) { return NI; }
std::vector<Opcode> blame_diff(const std::vector<std::string>&, const std::vector<std::string>&) { return {}; }
}  // namespace kestrix
