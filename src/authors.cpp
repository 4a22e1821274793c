// Placeholder until this module is implemented.
#include "authors.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
std::string author_to_line(const Author&) { return {}; }
std::optional<Author> author_from_json(const Value&) { return std::nullopt; }
namespace authors {
std::string author_id(const std::string&, const std::string&) { return {}; }
Result<Author> add(const std::string&, const std::string&, const std::string&) { return NI; }
Result<std::vector<Author>> query(const std::string&, const std::optional<std::string>&, const std::optional<std::string>&) { return NI; }
}
}  // namespace kestrix
