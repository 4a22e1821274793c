// Whole-file reading and the line splitter for JSON Lines and data files.
//
// FileBytes holds a file's content as it was when read.  The content is read
// with read(2) rather than mapped, so that a file another process truncates
// meanwhile can never raise SIGBUS; the result is the same bytes a mapping
// would show.  for_each_line() splits at line feeds, drops one trailing
// carriage return per line and skips empty lines, without copying.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace kestrix {

class FileBytes {
 public:
  FileBytes() = default;
  explicit FileBytes(std::string data) : data_(std::move(data)) {}
  std::string_view view() const { return data_; }
  size_t size() const { return data_.size(); }

 private:
  std::string data_;
};

// The file's bytes; nullopt when the file cannot be examined (e.g. missing)
// or is empty; an error when it exists but cannot be opened or read (a
// directory, no permission).
Result<std::optional<FileBytes>> read_file_bytes(const std::string& path);

// Calls fn(line, offset, length) for each non-empty line, in order: the line
// excludes its line feed and one trailing carriage return; offset is where it
// starts and length its size before the carriage return was removed.
template <typename Fn>
void for_each_line_at(std::string_view bytes, Fn&& fn) {
  const char* base = bytes.data();
  const char* p = base;
  const char* end = p + bytes.size();
  while (p < end) {
    const void* nl = memchr(p, '\n', static_cast<size_t>(end - p));
    const char* stop = nl ? static_cast<const char*>(nl) : end;
    const char* line_end = stop;
    if (line_end > p && line_end[-1] == '\r') --line_end;
    if (line_end > p)
      fn(std::string_view(p, static_cast<size_t>(line_end - p)), static_cast<size_t>(p - base),
         static_cast<size_t>(stop - p));
    p = stop + 1;
  }
}

// Calls fn(line) for each non-empty line, in order.
template <typename Fn>
void for_each_line(std::string_view bytes, Fn&& fn) {
  for_each_line_at(bytes, [&](std::string_view line, size_t, size_t) { fn(line); });
}

}  // namespace kestrix

