// blame(): the document records of one line of text.  The text is hashed as
// the JSON value it parses to, or as a JSON string when it does not parse, so
// it meets the hash track() computed from the same line's value.
#include "blame.h"

#include "hash.h"

namespace kestrix {

Result<std::vector<DocumentRecord>> blame(const std::string& kx_dir, const std::string&,
                                          const std::string& line_content) {
  auto parsed = parse_json(line_content);
  std::string line_hash =
      compute_hash(parsed ? std::move(*parsed) : Value(std::string_view(line_content)));
  return lookup_document(kx_dir, line_hash);
}

}  // namespace kestrix
