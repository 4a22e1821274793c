// The document index: the `document-index` layer mapping line hashes to the
// data file and sources a line was recorded under.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "json.h"

namespace kestrix {

struct DocumentRecord {
  std::string line_hash;
  std::string file;
  std::vector<std::string> sources;
};

// {"file","line_hash","sources"} as a JSON object.
Value document_to_json(const DocumentRecord& record);
// From an object holding the three members, or a three-element array.
std::optional<DocumentRecord> document_from_json(const Value& value);

Status index_document(const std::string& kx_dir, const std::string& line_hash,
                      const std::string& file, const std::vector<std::string>& sources);
Result<std::vector<DocumentRecord>> lookup_document(const std::string& kx_dir,
                                                    const std::string& line_hash);
Result<std::vector<Value>> read_all_documents(const std::string& kx_dir);

}  // namespace kestrix
