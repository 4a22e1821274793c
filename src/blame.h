// Blame (the document records of one line of text) and the line diff that
// carries blame across an edited file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "error.h"
#include "indexer.h"

namespace kestrix {

Result<std::vector<DocumentRecord>> blame(const std::string& kx_dir, const std::string& file,
                                          const std::string& line_content);

struct Opcode {
  const char* tag;  // "equal", "delete", "insert" or "replace"
  size_t i1, i2, j1, j2;
};

// Minimal line diff as difflib-style opcodes.
std::vector<Opcode> blame_diff(const std::vector<std::string>& old_lines,
                               const std::vector<std::string>& new_lines);

}  // namespace kestrix
