// A byte pre-filter for JSON Lines scans that look for records holding one
// of a set of strings (author ids, section hashes, a license).
//
// StringSet is an immutable set of byte strings with a cheap membership test
// and the one quoted-string pre-filter of the tree, may_be_quoted_in().
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

#include "hash_tables.h"
#include "mmap_lines.h"

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
  // Inline tests first: most strings a scan meets have a length no member
  // has, and most of the others (line hashes beside section hashes, say)
  // miss the bitmap of the members' fingerprints, which stays in cache where
  // the set itself would not.
  bool contains(std::string_view s) const {
    if (s.size() >= length_seen_.size() || !length_seen_[s.size()]) return false;
    const uint64_t bit = fingerprint(s) >> fingerprint_shift_;
    if (!(fingerprints_[bit / 64] >> (bit % 64) & 1)) return false;
    return probe(s);
  }
  // The pre-filter of one line: false only when the line cannot hold a
  // member as a JSON string value (see the file comment).
  bool may_be_quoted_in(std::string_view line) const;

 private:
  bool probe(std::string_view s) const { return members_.contains(s); }

  // A hash of the first and last eight bytes and the length: hashes and
  // ids differ early, so this tells most of them apart at the cost of two
  // loads.  Its high bits index the bitmap.
  static uint64_t fingerprint(std::string_view s) {
    uint64_t head = 0, tail = 0;
    if (s.size() >= 8) {
      std::memcpy(&head, s.data(), 8);
      std::memcpy(&tail, s.data() + s.size() - 8, 8);
    } else {
      std::memcpy(&head, s.data(), s.size());
    }
    return (head ^ (tail * 0xBF58476D1CE4E5B9ULL) ^ s.size()) * 0x9E3779B97F4A7C15ULL;
  }

  std::vector<std::string> items_;  // distinct members
  FlatSet<std::string> members_;
  std::vector<uint8_t> length_seen_;  // [n] != 0 when a member has n bytes
  std::vector<uint64_t> fingerprints_;  // bit set for each member's fingerprint
  int fingerprint_shift_ = 64;         // 64 - log2 of the bitmap's size in bits
};

// Calls fn(line) for each line of `bytes` (LineCursor rules) that may hold
// a member of `set` as a JSON string (see the file comment); nothing when the
// set is empty.
template <typename Fn>
void for_each_line_holding(std::string_view bytes, const StringSet& set, Fn&& fn) {
  if (set.empty()) return;
  for_each_line(bytes, [&](std::string_view line) {
    if (set.may_be_quoted_in(line)) fn(line);
  });
}

inline bool StringSet::may_be_quoted_in(std::string_view line) const {
  const char* p = line.data();
  const char* const end = p + line.size();
  const char* open = nullptr;  // an unpaired opening quote
  // True when the quote or backslash at `at` makes the line a candidate.
  auto special = [&](const char* at) {
    if (*at == '\\') return true;
    if (!open) {
      open = at;
      return false;
    }
    const std::string_view inside(open + 1, static_cast<size_t>(at - open - 1));
    open = nullptr;
    return contains(inside);
  };
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask; mask &= mask - 1)
      if (special(p + __builtin_ctz(mask))) return true;
  }
#endif
  for (; p < end; ++p)
    if ((*p == '"' || *p == '\\') && special(p)) return true;
  return false;
}

}  // namespace kestrix
