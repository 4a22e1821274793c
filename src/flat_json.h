// A fast path for reading the simple JSON lines the store itself writes,
// without building a Value.
//
// scan_flat_object() accepts only a strict subset of JSON: one object with no
// whitespace, whose keys and string values are printable ASCII without
// escapes, and whose values are such strings, integers, true, false, null or
// arrays of such strings.  Every line it accepts is valid JSON and its
// members are reported exactly as a full parse would see them (a repeated
// key is reported each time; the caller keeps the last, as the parser does).
// A line outside the subset is refused (false) and the caller falls back to
// parse_json, so the results never depend on which path was taken.
// Thread-safe: pure functions over the caller's bytes.
#pragma once

#include <array>
#include <string_view>

namespace kestrix::flat_json {

enum class Kind { kString, kStringArray, kOther };

struct Member {
  std::string_view key;
  Kind kind;
  // kString: the characters between the quotes; kStringArray: the text
  // between the brackets; kOther: the raw value text.
  std::string_view value;
};

namespace detail {

// Printable ASCII other than the quote and the backslash.
inline constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> t{};
  for (int c = 0x20; c <= 0x7e; ++c) t[c] = c != '"' && c != '\\';
  return t;
}();

inline bool plain_char(char c) { return kPlain[static_cast<unsigned char>(c)]; }

// Reads a string starting at s[i] == '"'; sets `out` to its characters.
inline bool read_string(std::string_view s, size_t& i, std::string_view& out) {
  if (i >= s.size() || s[i] != '"') return false;
  size_t start = ++i;
  while (i < s.size() && plain_char(s[i])) ++i;
  if (i >= s.size() || s[i] != '"') return false;
  out = s.substr(start, i - start);
  ++i;
  return true;
}

inline bool read_literal(std::string_view s, size_t& i, std::string_view word) {
  if (s.substr(i, word.size()) != word) return false;
  i += word.size();
  return true;
}

inline bool read_integer(std::string_view s, size_t& i) {
  if (i < s.size() && s[i] == '-') ++i;
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  if (s[i] == '0') {
    ++i;
  } else {
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  }
  // A fraction or exponent is valid JSON but outside the subset.
  return i >= s.size() || (s[i] != '.' && s[i] != 'e' && s[i] != 'E' && !(s[i] >= '0' && s[i] <= '9'));
}

inline bool read_string_array(std::string_view s, size_t& i, std::string_view& inner) {
  size_t start = ++i;  // past '['
  if (i < s.size() && s[i] == ']') {
    inner = {};
    ++i;
    return true;
  }
  for (;;) {
    std::string_view item;
    if (!read_string(s, i, item)) return false;
    if (i >= s.size()) return false;
    if (s[i] == ']') break;
    if (s[i] != ',') return false;
    ++i;
  }
  inner = s.substr(start, i - start);
  ++i;
  return true;
}

inline bool read_value(std::string_view s, size_t& i, Member& m) {
  if (i >= s.size()) return false;
  size_t start = i;
  switch (s[i]) {
    case '"':
      m.kind = Kind::kString;
      return read_string(s, i, m.value);
    case '[':
      m.kind = Kind::kStringArray;
      return read_string_array(s, i, m.value);
    case 't':
    case 'f':
    case 'n':
      m.kind = Kind::kOther;
      if (!(read_literal(s, i, "true") || read_literal(s, i, "false") || read_literal(s, i, "null")))
        return false;
      break;
    default:
      m.kind = Kind::kOther;
      if (!read_integer(s, i)) return false;
  }
  m.value = s.substr(start, i - start);
  return true;
}

}  // namespace detail

// Calls on_member(const Member&) for each member in order and returns true
// when the whole line is an object of the subset; returns false (possibly
// after some calls) otherwise.
template <typename Fn>
bool scan_flat_object(std::string_view line, Fn&& on_member) {
  size_t i = 0;
  if (line.size() < 2 || line[0] != '{') return false;
  ++i;
  if (line[i] == '}') return i + 1 == line.size();
  for (;;) {
    Member m;
    if (!detail::read_string(line, i, m.key)) return false;
    if (i >= line.size() || line[i] != ':') return false;
    ++i;
    if (!detail::read_value(line, i, m)) return false;
    on_member(static_cast<const Member&>(m));
    if (i >= line.size()) return false;
    if (line[i] == '}') return i + 1 == line.size();
    if (line[i] != ',') return false;
    ++i;
  }
}

// Calls fn(std::string_view) for each string of an accepted kStringArray.
template <typename Fn>
void for_each_string(std::string_view inner, Fn&& fn) {
  size_t i = 0;
  while (i < inner.size()) {
    size_t close = inner.find('"', i + 1);
    fn(inner.substr(i + 1, close - i - 1));
    i = close + 2;  // past the quote and the comma
  }
}

}  // namespace kestrix::flat_json
