// The canonical document line is matched byte by byte; every string must be
// printable ASCII without quote or backslash, the only strings whose JSON
// text is their own bytes, so the fields read here equal the parsed ones.
#include "document_line.h"

#include <algorithm>
#include <cstring>

#include "json.h"

namespace kestrix {
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// True when no byte of the word is below 0x20, at or above 0x80, or a
// backslash (classic bit tricks for "has a byte less than n").
bool printable_word(uint64_t w) {
  uint64_t below_space = (w - kOnes * 0x20) & ~w;
  uint64_t backslash = w ^ (kOnes * '\\');
  uint64_t is_backslash = (backslash - kOnes) & ~backslash;
  return ((below_space | is_backslash | w) & kHighBits) == 0;
}

bool printable_ascii(const char* p, const char* end) {
  for (; end - p >= 8; p += 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    if (!printable_word(w)) return false;
  }
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x80 || c == '\\') return false;
  }
  return true;
}

class CanonicalReader {
 public:
  explicit CanonicalReader(std::string_view line) : p_(line.data()), end_(p_ + line.size()) {}

  bool at_end() const { return p_ == end_; }

  // The number of double quotes before the next `stop` byte (or the end).
  size_t quotes_before(char stop) const {
    const void* found = memchr(p_, stop, static_cast<size_t>(end_ - p_));
    const char* limit = found ? static_cast<const char*>(found) : end_;
    return static_cast<size_t>(std::count(p_, limit, '"'));
  }

  bool literal(std::string_view text) {
    if (static_cast<size_t>(end_ - p_) < text.size() || memcmp(p_, text.data(), text.size()) != 0)
      return false;
    p_ += text.size();
    return true;
  }

  // A string of printable ASCII without escapes.
  bool plain_string(std::string& out) {
    if (p_ == end_ || *p_ != '"') return false;
    const char* start = ++p_;
    const void* quote = memchr(start, '"', static_cast<size_t>(end_ - start));
    if (!quote) return false;
    const char* stop = static_cast<const char*>(quote);
    if (!printable_ascii(start, stop)) return false;
    out.assign(start, static_cast<size_t>(stop - start));
    p_ = stop + 1;
    return true;
  }

 private:
  const char* p_;
  const char* end_;
};

std::optional<DocumentRecord> parse_canonical(std::string_view line) {
  CanonicalReader in(line);
  DocumentRecord record;
  if (!in.literal("{\"file\":") || !in.plain_string(record.file)) return std::nullopt;
  if (!in.literal(",\"line_hash\":") || !in.plain_string(record.line_hash)) return std::nullopt;
  if (!in.literal(",\"revoked\":") || !(in.literal("false") || in.literal("true")))
    return std::nullopt;
  if (!in.literal(",\"sources\":[")) return std::nullopt;
  record.sources.reserve(in.quotes_before(']') / 2);
  if (!in.literal("]")) {
    do {
      if (!in.plain_string(record.sources.emplace_back())) return std::nullopt;
    } while (in.literal(","));
    if (!in.literal("]")) return std::nullopt;
  }
  if (!in.literal("}") || !in.at_end()) return std::nullopt;
  return record;
}

}  // namespace

std::optional<DocumentRecord> parse_document_line(std::string_view line) {
  if (auto record = parse_canonical(line)) return record;
  auto value = parse_json(line);
  if (!value) return std::nullopt;
  return document_from_json(*value);
}

}  // namespace kestrix
