// Whole-file reading and the line splitter for JSON Lines and data files.
//
// FileBytes holds a file's content as it was when read.  The content is read
// with read(2) rather than mapped, so that a file another process truncates
// meanwhile can never raise SIGBUS; the result is the same bytes a mapping
// would show.  LineCursor is the one line splitter: every reader of store
// files and data files takes its lines from it (directly or through
// for_each_line), so that all agree on what a line is.
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

// One line of a buffer.  `text` excludes the line feed and, for lines from
// LineCursor::next(), one trailing carriage return; `offset` is where the
// line starts in the buffer and `raw_length` its size with the carriage
// return, without the line feed.
struct Line {
  std::string_view text;
  size_t offset = 0;
  size_t raw_length = 0;
};

// The one line splitter of the store and its data files.  A raw line is a
// maximal run of bytes between line feeds (the run after a final line feed
// is no line); a line is a raw line with one trailing carriage return
// removed, and empty lines are skipped.  A cursor may cover [begin, end) of
// a buffer, which must start at a line start; offsets stay those of the
// whole buffer.  Nothing is copied: the views point into `bytes`.
class LineCursor {
 public:
  explicit LineCursor(std::string_view bytes) : LineCursor(bytes, 0, bytes.size()) {}
  LineCursor(std::string_view bytes, size_t begin, size_t end)
      : base_(bytes.data()), pos_(begin), end_(end) {}

  // The next raw line, empty ones included; false at the end.
  bool next_raw(Line& line) {
    if (pos_ >= end_) return false;
    const void* nl = memchr(base_ + pos_, '\n', end_ - pos_);
    const size_t stop = nl ? static_cast<size_t>(static_cast<const char*>(nl) - base_) : end_;
    line.offset = pos_;
    line.raw_length = stop - pos_;
    line.text = std::string_view(base_ + pos_, line.raw_length);
    pos_ = stop + 1;
    ++raw_lines_;
    return true;
  }

  // The next non-empty line, its trailing carriage return removed; false at
  // the end.
  bool next(Line& line) {
    while (next_raw(line)) {
      if (!line.text.empty() && line.text.back() == '\r') line.text.remove_suffix(1);
      if (!line.text.empty()) return true;
    }
    return false;
  }

  // The raw lines passed so far, empty ones included: once next() has
  // returned a line, its number counted from 1 within the cursor's range
  // (the line number a text editor shows, for a range starting the file).
  size_t raw_lines() const { return raw_lines_; }

 private:
  const char* base_;
  size_t pos_;
  size_t end_;
  size_t raw_lines_ = 0;
};

// Where the line holding byte `pos` ends: one past its line feed, or the end
// of `bytes` when no line feed follows.  Used to cut a buffer into pieces
// that each hold whole lines.
inline size_t end_of_line(std::string_view bytes, size_t pos) {
  if (pos >= bytes.size()) return bytes.size();
  const void* nl = memchr(bytes.data() + pos, '\n', bytes.size() - pos);
  return nl ? static_cast<size_t>(static_cast<const char*>(nl) - bytes.data()) + 1 : bytes.size();
}

// Calls fn(line, offset, raw_length) for each line (see LineCursor), in order.
template <typename Fn>
void for_each_line_at(std::string_view bytes, Fn&& fn) {
  LineCursor cursor(bytes);
  for (Line line; cursor.next(line);) fn(line.text, line.offset, line.raw_length);
}

// Calls fn(line) for each line, in order.
template <typename Fn>
void for_each_line(std::string_view bytes, Fn&& fn) {
  LineCursor cursor(bytes);
  for (Line line; cursor.next(line);) fn(line.text);
}

// The lines of a stream that arrives in pieces, as LineCursor splits the
// whole: the whole lines of a piece are passed on without copying, and only
// a line that spans pieces is gathered first.
class PieceLineSplitter {
 public:
  // Calls fn(line) for each line that `piece` completes.
  template <typename Fn>
  void feed(std::string_view piece, Fn&& fn) {
    const size_t last = piece.rfind('\n');
    if (last == std::string_view::npos) {
      carry_.append(piece);
      return;
    }
    size_t begin = 0;
    if (!carry_.empty()) {
      begin = piece.find('\n') + 1;
      carry_.append(piece.substr(0, begin));
      for_each_line(carry_, fn);
      carry_.clear();
    }
    for_each_line(piece.substr(begin, last + 1 - begin), fn);
    carry_.assign(piece.substr(last + 1));
  }
  // Calls fn(line) for a last line that no line feed ended.
  template <typename Fn>
  void finish(Fn&& fn) {
    for_each_line(carry_, fn);
    carry_.clear();
  }

 private:
  std::string carry_;  // the start of a line that the next piece continues
};

}  // namespace kestrix

