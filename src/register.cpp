// Placeholder until this module is implemented.
#include "register.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
std::string section_to_line(const Section&) { return {}; }
std::optional<Section> section_from_json(const Value&) { return std::nullopt; }
std::string section_hash(const std::string&, const std::vector<std::string>&, const std::vector<std::string>&, const std::string&, const std::string&) { return {}; }
Result<Section> register_section(const std::string&, const std::string&, const std::vector<std::string>&, const std::vector<std::string>&, const std::string&, const std::string&) { return NI; }
}  // namespace kestrix
