// Placeholder until this module is implemented.
#include "indexer.h"

#define NI fail_msg("not implemented yet")

namespace kestrix {
Value document_to_json(const DocumentRecord&) { return {}; }
std::optional<DocumentRecord> document_from_json(const Value&) { return std::nullopt; }
Status index_document(const std::string&, const std::string&, const std::string&, const std::vector<std::string>&) { return NI; }
Result<std::vector<DocumentRecord>> lookup_document(const std::string&, const std::string&) { return NI; }
Result<std::vector<Value>> read_all_documents(const std::string&) { return NI; }
}  // namespace kestrix
