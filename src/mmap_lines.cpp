#include "mmap_lines.h"

#include "fs.h"

namespace kestrix {

Result<std::optional<FileBytes>> read_file_bytes(const std::string& path) {
  KX_ASSIGN_OR_RETURN(auto data, read_whole_file(path));
  if (!data) return std::optional<FileBytes>();
  return std::optional<FileBytes>(FileBytes(std::move(*data)));
}

}  // namespace kestrix
