// Placeholder until this module is implemented.
#include "show.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Result<std::vector<DocumentRecord>> show_by_author(const std::string&, const std::string&) { return NI; }
Result<AuthorTokens> show_by_author_token(const std::string&, const std::string&, const std::string&) { return NI; }
Result<std::vector<DocumentRecord>> show_by_section(const std::string&, const std::string&) { return NI; }
Result<std::vector<DocumentRecord>> show_by_license(const std::string&, const std::string&) { return NI; }
Result<std::vector<DocumentRecord>> show_by_author_indexed(const std::string&, const std::string&) { return NI; }
Result<std::vector<std::string>> find_author_sections_parallel(const std::string&, const std::vector<std::string>&) { return NI; }
Result<std::vector<std::string>> find_license_sections_parallel(const std::string&, const std::string&) { return NI; }
Result<std::vector<DocumentRecord>> find_documents_for_sections_parallel(const std::string&, const std::vector<std::string>&) { return NI; }
}  // namespace kestrix
