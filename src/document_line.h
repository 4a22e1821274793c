// Reading one stored line of the `document-index` layer as a DocumentRecord
// quickly.  parse_document_line() gives exactly what
// document_from_json(parse_json(line)) gives; for the canonical form the
// store writes (plain ASCII strings, no escapes, keys file, line_hash,
// revoked, sources) it reads the fields directly instead of building a JSON
// value, and any other form goes through the general parser.  Thread-safe.
#pragma once

#include <optional>
#include <string_view>

#include "indexer.h"

namespace kestrix {

std::optional<DocumentRecord> parse_document_line(std::string_view line);

}  // namespace kestrix
