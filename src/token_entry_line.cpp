// The reader of one token-index line, shared by every scan that numbers
// entries.  Lines in the two forms the system writes (compact objects of
// plain ASCII strings) are read by a direct scanner; any other line, or any
// doubt, goes through the generic JSON parser.  The scanner accepts only
// lines on which the generic parser would give the same entry, so both ways
// agree on which lines are entries.
#include <cstdint>
#include <optional>
#include <string_view>

#include "token_index.h"

namespace kestrix {
namespace {

class EntryScanner {
 public:
  explicit EntryScanner(std::string_view line) : p_(line.data()), end_(p_ + line.size()) {}

  // The entry, or nullopt when the line is not in the plain form.
  std::optional<TokenIndexEntry> scan() {
    TokenIndexEntry entry;
    if (!take('{')) return std::nullopt;
    unsigned seen = 0;
    for (int member = 0; member < 4; ++member) {
      if (member > 0 && !take(',')) return std::nullopt;
      std::string_view key;
      if (!plain_string(key) || !take(':')) return std::nullopt;
      unsigned bit = 0;
      bool ok = false;
      if (key == "token_count") bit = 1, ok = count(entry.token_count);
      else if (key == "sources") bit = 2, ok = sources(entry);
      else if (key == "tokenizer") bit = 4, ok = owned_string(entry.tokenizer);
      else if (key == "revoked") bit = 8, ok = boolean(entry.revoked);
      // Unknown or repeated keys are left to the generic parser.
      if (!ok || (seen & bit)) return std::nullopt;
      seen |= bit;
    }
    if (!take('}') || p_ != end_) return std::nullopt;
    return entry;
  }

 private:
  bool take(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // A string of printable ASCII without escapes; its bytes are its value.
  bool plain_string(std::string_view& out) {
    if (!take('"')) return false;
    const char* start = p_;
    while (p_ != end_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out = std::string_view(start, static_cast<size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (c < 0x20 || c >= 0x7f || c == '\\') return false;
      ++p_;
    }
    return false;
  }

  bool owned_string(std::string& out) {
    std::string_view view;
    if (!plain_string(view)) return false;
    out.assign(view);
    return true;
  }

  // A decimal integer without sign, fraction, exponent or leading zero that
  // fits 64 bits (larger ones parse as floats, which are not counts).
  bool count(uint64_t& out) {
    if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
    if (*p_ == '0' && p_ + 1 != end_ && p_[1] >= '0' && p_[1] <= '9') return false;
    uint64_t value = 0;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
      uint64_t digit = static_cast<uint64_t>(*p_ - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
      ++p_;
    }
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    out = value;
    return true;
  }

  bool sources(TokenIndexEntry& entry) {
    if (!take('[')) return false;
    if (take(']')) return true;
    do {
      std::string_view item;
      if (!plain_string(item)) return false;
      entry.sources.emplace_back(item);
    } while (take(','));
    return take(']');
  }

  bool boolean(bool& out) {
    std::string_view rest(p_, static_cast<size_t>(end_ - p_));
    if (rest.starts_with("true")) out = true, p_ += 4;
    else if (rest.starts_with("false")) out = false, p_ += 5;
    else return false;
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

std::optional<TokenIndexEntry> parse_token_entry_line(std::string_view line) {
  if (auto entry = EntryScanner(line).scan()) return entry;
  auto value = parse_json(line);
  if (!value) return std::nullopt;
  return token_entry_from_json(*value);
}

}  // namespace kestrix
