// A byte pre-filter for JSON Lines scans that look for records holding one
// of a set of strings (author ids, section hashes, a license).
//
// StringSet is an immutable set of byte strings with a cheap membership test.
// for_each_line_holding() walks a whole file's bytes and passes on, in line
// order and under the line rules of mmap_lines.h, every line that may hold a
// member of the set as a JSON string.  It is exact in one direction only: a
// line it skips cannot, when parsed, hold a member as a string value; a line
// it passes on must still be parsed and tested by the caller.  The argument:
// in a line without a backslash no string is escaped, so every string value
// stands between two consecutive double quotes, byte for byte; a line with a
// backslash is always passed on.  Both are safe to use from many threads.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix {

class StringSet {
 public:
  explicit StringSet(const std::vector<std::string>& items);
  bool empty() const { return items_.empty(); }
  size_t size() const { return items_.size(); }
  // The distinct members, sorted.
  const std::vector<std::string>& items() const { return items_; }
  // Inline length test first: most strings a scan meets have a length no
  // member has.
  bool contains(std::string_view s) const {
    if (s.size() >= length_seen_.size() || !length_seen_[s.size()]) return false;
    return probe(s);
  }

 private:
  static uint64_t hash(std::string_view s);
  bool probe(std::string_view s) const;

  // Open addressing with linear probing.  A slot keeps the member's whole
  // hash and its place in `bytes_`, so that a probe compares bytes only for
  // a true match and finds them in one contiguous buffer.
  static constexpr uint32_t kFree = UINT32_MAX;
  struct Slot {
    uint64_t hash = 0;
    uint32_t offset = 0;
    uint32_t length = kFree;
  };
  std::vector<std::string> items_;  // distinct members
  std::string bytes_;               // the members back to back
  std::vector<Slot> slots_;
  std::vector<uint8_t> length_seen_;  // [n] != 0 when a member has n bytes
};

namespace line_filter_detail {

// Removes one trailing carriage return and skips empty lines, as
// for_each_line does, then calls fn.
template <typename Fn>
inline void emit_line(const char* begin, const char* end, Fn& fn) {
  if (end > begin && end[-1] == '\r') --end;
  if (end > begin) fn(std::string_view(begin, static_cast<size_t>(end - begin)));
}

inline const char* line_end(const char* p, const char* end) {
  const void* nl = memchr(p, '\n', static_cast<size_t>(end - p));
  return nl ? static_cast<const char*>(nl) : end;
}

}  // namespace line_filter_detail

// Calls fn(line) for each line of `bytes` that may hold a member of `set` as
// a JSON string (see the file comment); nothing when the set is empty.
template <typename Fn>
void for_each_line_holding(std::string_view bytes, const StringSet& set, Fn&& fn) {
  using line_filter_detail::emit_line;
  using line_filter_detail::line_end;
  if (set.empty()) return;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  const char* line = p;           // start of the current line
  const char* open = nullptr;     // an unpaired opening quote of this line
  // Handles one special byte at `at`; returns where scanning resumes.
  auto special = [&](const char* at) -> const char* {
    char c = *at;
    if (c == '\n') {
      line = at + 1;
      open = nullptr;
      return at + 1;
    }
    if (c == '"') {
      if (!open) {
        open = at;
        return at + 1;
      }
      std::string_view inside(open + 1, static_cast<size_t>(at - open - 1));
      open = nullptr;
      if (!set.contains(inside)) return at + 1;
    }
    // A backslash, or a quoted member: the line is a candidate as a whole.
    const char* stop = line_end(at, end);
    emit_line(line, stop, fn);
    open = nullptr;
    line = stop == end ? end : stop + 1;
    return line;
  };
  while (p < end) {
#if defined(__SSE2__)
    if (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i hits = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('"'))),
          _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
      const char* block = p;
      p += 16;
      while (mask) {
        const char* at = block + __builtin_ctz(mask);
        mask &= mask - 1;
        const char* next = special(at);
        if (next != at + 1) {  // skipped the rest of a line: later bits are stale
          p = next;
          break;
        }
      }
      continue;
    }
#endif
    char c = *p;
    p = (c == '\n' || c == '"' || c == '\\') ? special(p) : p + 1;
  }
}

}  // namespace kestrix
