// The record lines of the store and their one reader.
//
// Every store file is JSON Lines: its lines are those LineCursor
// (mmap_lines.h) yields, each the JSON text of one record.  Writers append
// compact text with no white space, escaping only what JSON must (the quote,
// the backslash and bytes below 0x20).  Readers accept a line exactly when
// the general parser (json.h) parses it into a record of the expected shape,
// and skip every other line silently.
//
// scan_flat_object() is the one fast scanner for such lines.  It reads a
// strict subset of JSON without building a Value: one object with no white
// space, whose keys and string values hold only plain bytes (0x20 to 0x7f
// but the quote and the backslash: no escapes, no multi-byte characters), and
// whose values are such strings, integers, true, false, null or arrays of
// such strings.  Every line it accepts is valid JSON and its members are
// exactly what the general parser sees; on any other line it answers "not
// sure" and the record readers below parse the line with the general parser,
// so a result never depends on the path taken.  The one pre-filter that
// skips lines which cannot hold a wanted string is StringSet's
// (line_filter.h).  Thread-safe: pure functions over the caller's bytes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix {

struct TokenIndexEntry;  // token_index.h
struct TokenEntryParts;  // token_index.h
struct DocumentRecord;   // indexer.h
struct DocumentParts;    // indexer.h
struct Section;          // register.h

// The entry of one token-index line (line feed and carriage return already
// removed, surrounding white space allowed); nullopt when the line is not
// one: exactly token_entry_from_json(parse_json(line)).
std::optional<TokenIndexEntry> parse_token_entry_line(std::string_view line);
// The same entry as views: into `line` where the fast scanner reads it,
// else into `parsed`, which then holds the general parser's entry.  False
// when the line is not an entry.  `parts` keeps its capacity from line to
// line.
bool parse_token_entry_parts(std::string_view line, TokenEntryParts& parts,
                             TokenIndexEntry& parsed);

// The section of one `sections` line; exactly
// section_from_json(parse_json(line)).
std::optional<Section> parse_section_line(std::string_view line);

// The record of one document-index line; exactly
// document_from_json(parse_json(line)).
std::optional<DocumentRecord> parse_document_line(std::string_view line);

// For readers that want the records of a few line hashes only: the line
// hash a document line names, when the fast scanner reads the whole line
// and finds one "line_hash" member, a string (if the line is a record, it
// is that hash's); nullopt when only parse_document_line() can tell.
std::optional<std::string_view> document_line_hash(std::string_view line);
// The same document record as views: into `line` where the fast scanner
// reads it, else into `parsed`, which then holds the general parser's
// record.  False when the line is not a record.  `parts` keeps its capacity
// from line to line.
bool parse_document_parts(std::string_view line, DocumentParts& parts, DocumentRecord& parsed);

namespace flat_json {

enum class Kind { kString, kStringArray, kOther };

struct Member {
  std::string_view key;
  Kind kind;
  // kString: the characters between the quotes; kStringArray: the text
  // between the brackets; kOther: the raw value text.
  std::string_view value;
};

namespace detail {

// The bytes a string holds as themselves: 0x20 to 0x7f other than the
// quote and the backslash (JSON escapes only bytes below 0x20; 0x7f is a
// plain ASCII character to it and to the general parser).
inline constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> t{};
  for (int c = 0x20; c <= 0x7f; ++c) t[c] = c != '"' && c != '\\';
  return t;
}();

// True when some byte of the word is not plain (below 0x20, at or above
// 0x80, a quote or a backslash): exact as a whole, by the classic "has a
// byte less than n" and "has a zero byte" tests.
inline bool word_has_special(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  const uint64_t quote = w ^ (kOnes * '"');
  const uint64_t backslash = w ^ (kOnes * '\\');
  return (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
          ((backslash - kOnes) & ~backslash) | w) & kHighs;
}

// The length of the run of plain bytes at the start of s[i, size).
inline size_t plain_run(std::string_view s, size_t i) {
  const size_t start = i;
#if defined(__SSE2__)
  // 16 bytes at a time: a signed "less than 0x20" takes the bytes from 0x80
  // up (negative) as well as the control bytes.
  for (; s.size() - i >= 16; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    const __m128i special =
        _mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)),
                     _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                  _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))));
    if (const int mask = _mm_movemask_epi8(special)) return i + __builtin_ctz(mask) - start;
  }
#endif
  for (; s.size() - i >= 8; i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (word_has_special(w)) break;
  }
  while (i < s.size() && kPlain[static_cast<unsigned char>(s[i])]) ++i;
  return i - start;
}

// Reads a string starting at s[i] == '"'; sets `out` to its characters.
inline bool read_string(std::string_view s, size_t& i, std::string_view& out) {
  if (i >= s.size() || s[i] != '"') return false;
  size_t start = ++i;
  i += plain_run(s, i);
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
// after some calls) otherwise.  A repeated key is reported each time; the
// general parser keeps the last.
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

}  // namespace flat_json
}  // namespace kestrix
