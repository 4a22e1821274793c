// blame(): the document records of one line of text, found by the line hash
// text_line_digest() gives it (the rule track() meets, hash.h).
#include "blame.h"

#include "coding.h"
#include "hash.h"

namespace kestrix {

Result<std::vector<DocumentRecord>> blame(const std::string& kx_dir, const std::string&,
                                          const std::string& line_content) {
  unsigned char digest[32];
  text_line_digest(line_content, digest);
  return lookup_document(kx_dir, bytes_to_hex(digest, 32));
}

}  // namespace kestrix
