// Blame (the document records of one line of text) and the line diff that
// carries blame across an edited file.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
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

// Minimal line diff as difflib-style opcodes.  The lines are only read
// during the call.
std::vector<Opcode> blame_diff(std::span<const std::string_view> old_lines,
                               std::span<const std::string_view> new_lines);
std::vector<Opcode> blame_diff(const std::vector<std::string>& old_lines,
                               const std::vector<std::string>& new_lines);

}  // namespace kestrix
