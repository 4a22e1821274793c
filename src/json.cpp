// JSON parser and writers.  The parser follows strict JSON: numbers become
// unsigned, signed or double as the value class dictates, strings must be
// valid UTF-8 with escapes decoded (lone surrogates refused), and nesting is
// limited to 128 levels.  The writers produce the canonical forms.
#include "json.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kestrix {

// ---------------------------------------------------------------- Object ---

void Object::set(std::string key, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, const std::string& k) { return m.first < k; });
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

const Value* Object::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return m.first < k; });
  return (it != members_.end() && it->first == key) ? &it->second : nullptr;
}

Value* Object::find(std::string_view key) {
  return const_cast<Value*>(static_cast<const Object*>(this)->find(key));
}

void Object::push_sorted(std::string key, Value value) {
  members_.emplace_back(std::move(key), std::move(value));
}

void Object::sort_and_dedupe() {
  auto less = [](const Member& a, const Member& b) { return a.first < b.first; };
  if (std::is_sorted(members_.begin(), members_.end(),
                     [](const Member& a, const Member& b) { return a.first <= b.first; }) &&
      std::adjacent_find(members_.begin(), members_.end(),
                         [](const Member& a, const Member& b) { return a.first == b.first; }) ==
          members_.end()) {
    return;
  }
  std::stable_sort(members_.begin(), members_.end(), less);
  // Keep the last member of every run of equal keys (a later key wins).
  size_t out = 0;
  for (size_t i = 0; i < members_.size(); ++i) {
    if (i + 1 < members_.size() && members_[i + 1].first == members_[i].first) continue;
    if (out != i) members_[out] = std::move(members_[i]);
    ++out;
  }
  members_.resize(out);
}

bool Object::operator==(const Object& other) const { return members_ == other.members_; }

Value::Value(int64_t i) {
  if (i >= 0) {
    v_ = static_cast<uint64_t>(i);
  } else {
    v_ = i;
  }
}

const Value* Value::get(std::string_view key) const {
  const Object* o = as_object();
  return o ? o->find(key) : nullptr;
}

// ---------------------------------------------------------------- Parser ---

namespace {

constexpr int kMaxDepth = 128;

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t load64(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

inline uint64_t has_zero_byte(uint64_t x) { return (x - kOnes) & ~x & kHighs; }

// Non-zero when any byte of x is '"', '\\', below 0x20, or 0x80 and above.
inline uint64_t string_special(uint64_t x) {
  return has_zero_byte(x ^ (kOnes * '"')) | has_zero_byte(x ^ (kOnes * '\\')) |
         ((((x - kOnes * 0x20) & ~x) | x) & kHighs);
}

class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  Result<Value> parse_document() {
    Value v;
    skip_ws();
    if (!parse_value(v, 0)) return error();
    skip_ws();
    if (p_ != end_) {
      set_error("trailing characters", p_ + 1);
      return error();
    }
    return v;
  }

 private:
  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  // Records the error with the position of the last byte consumed (`at` is
  // one past it), as line and column counted from 1.
  bool set_error(const char* reason, const char* at) {
    if (reason_) return false;
    reason_ = reason;
    err_at_ = std::min(at, end_);
    return false;
  }

  std::unexpected<Error> error() const {
    size_t line = 1, column = 0;
    for (const char* q = begin_; q < err_at_; ++q) {
      if (*q == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    return fail_msg(std::string(reason_) + " at line " + std::to_string(line) + " column " +
                    std::to_string(column));
  }

  bool parse_value(Value& out, int depth) {
    if (p_ >= end_) return set_error("EOF while parsing a value", p_);
    switch (*p_) {
      case '{':
        return parse_object(out, depth);
      case '[':
        return parse_array(out, depth);
      case '"': {
        std::string s;
        if (!parse_string(s)) return false;
        out = Value(std::move(s));
        return true;
      }
      case 't':
        return parse_literal("true", out, Value(true));
      case 'f':
        return parse_literal("false", out, Value(false));
      case 'n':
        return parse_literal("null", out, Value());
      default:
        if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return parse_number(out);
        return set_error("expected value", p_ + 1);
    }
  }

  bool parse_literal(const char* word, Value& out, Value v) {
    size_t n = std::strlen(word);
    for (size_t i = 0; i < n; ++i) {
      if (p_ + i >= end_) return set_error("EOF while parsing a value", end_);
      if (p_[i] != word[i]) return set_error("expected ident", p_ + i + 1);
    }
    p_ += n;
    out = std::move(v);
    return true;
  }

  bool parse_array(Value& out, int depth) {
    if (depth + 1 > kMaxDepth) return set_error("recursion limit exceeded", p_ + 1);
    ++p_;
    Array items;
    skip_ws();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      out = Value(std::move(items));
      return true;
    }
    for (;;) {
      skip_ws();
      items.emplace_back();
      if (!parse_value(items.back(), depth + 1)) return false;
      skip_ws();
      if (p_ >= end_) return set_error("EOF while parsing a list", p_);
      if (*p_ == ',') {
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == ']') return set_error("trailing comma", p_ + 1);
        continue;
      }
      if (*p_ == ']') {
        ++p_;
        out = Value(std::move(items));
        return true;
      }
      return set_error("expected `,` or `]`", p_ + 1);
    }
  }

  bool parse_object(Value& out, int depth) {
    if (depth + 1 > kMaxDepth) return set_error("recursion limit exceeded", p_ + 1);
    ++p_;
    Object obj;
    auto& members = obj.members();
    skip_ws();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      out = Value(std::move(obj));
      return true;
    }
    for (;;) {
      skip_ws();
      if (p_ >= end_) return set_error("EOF while parsing an object", p_);
      if (*p_ != '"') return set_error("key must be a string", p_ + 1);
      members.emplace_back();
      if (!parse_string(members.back().first)) return false;
      skip_ws();
      if (p_ >= end_) return set_error("EOF while parsing an object", p_);
      if (*p_ != ':') return set_error("expected `:`", p_ + 1);
      ++p_;
      skip_ws();
      if (!parse_value(members.back().second, depth + 1)) return false;
      skip_ws();
      if (p_ >= end_) return set_error("EOF while parsing an object", p_);
      if (*p_ == ',') {
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == '}') return set_error("trailing comma", p_ + 1);
        continue;
      }
      if (*p_ == '}') {
        ++p_;
        obj.sort_and_dedupe();
        out = Value(std::move(obj));
        return true;
      }
      return set_error("expected `,` or `}`", p_ + 1);
    }
  }

  // Parses four hex digits at p_.
  bool parse_hex4(uint32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ >= end_) return set_error("EOF while parsing a string", end_);
      char c = *p_;
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return set_error("invalid escape", p_ + 1);
      }
      out = out * 16 + d;
      ++p_;
    }
    return true;
  }

  static void append_utf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // After a backslash: decodes one escape into out.
  bool parse_escape(std::string& out) {
    if (p_ >= end_) return set_error("EOF while parsing a string", end_);
    char c = *p_++;
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return set_error("invalid escape", p_);
    }
    uint32_t cp;
    if (!parse_hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return set_error("lone leading surrogate in hex escape", p_);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (p_ + 1 >= end_ || p_[0] != '\\' || p_[1] != 'u') {
        if (p_ >= end_ || (p_ + 1 >= end_ && p_[0] == '\\'))
          return set_error("EOF while parsing a string", end_);
        return set_error("lone leading surrogate in hex escape", p_);
      }
      p_ += 2;
      uint32_t low;
      if (!parse_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return set_error("lone leading surrogate in hex escape", p_);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(cp, out);
    return true;
  }

  // Validates one multi-byte UTF-8 sequence starting at p_ and copies it.
  bool copy_utf8_sequence(std::string& out) {
    auto b = [&](std::ptrdiff_t i) { return static_cast<unsigned char>(p_[i]); };
    unsigned char c = b(0);
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no UTF-16 surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return set_error("invalid unicode code point", p_ + 1);
    }
    if (static_cast<size_t>(end_ - p_) <= need) return set_error("invalid unicode code point", end_);
    if (b(1) < lo || b(1) > hi) return set_error("invalid unicode code point", p_ + 2);
    for (size_t i = 2; i <= need; ++i)
      if (b(static_cast<std::ptrdiff_t>(i)) < 0x80 || b(static_cast<std::ptrdiff_t>(i)) > 0xBF)
        return set_error("invalid unicode code point", p_ + i + 1);
    out.append(p_, need + 1);
    p_ += need + 1;
    return true;
  }

  bool parse_string(std::string& out) {
    ++p_;  // opening quote
    for (;;) {
      const char* run = p_;
      while (end_ - p_ >= 8 && !string_special(load64(p_))) p_ += 8;
      while (p_ < end_) {
        unsigned char c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p_;
      }
      out.append(run, static_cast<size_t>(p_ - run));
      if (p_ >= end_) return set_error("EOF while parsing a string", end_);
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        ++p_;
        if (!parse_escape(out)) return false;
      } else if (c < 0x20) {
        return set_error("control character (\\u0000-\\u001F) found while parsing a string",
                         p_ + 1);
      } else if (!copy_utf8_sequence(out)) {
        return false;
      }
    }
  }

  bool parse_number(Value& out) {
    const char* start = p_;
    bool negative = false;
    if (*p_ == '-') {
      negative = true;
      ++p_;
    }
    if (p_ >= end_) return set_error("EOF while parsing a value", p_);
    if (*p_ < '0' || *p_ > '9') return set_error("invalid number", p_ + 1);
    uint64_t mag = 0;
    bool overflow = false;
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && *p_ >= '0' && *p_ <= '9') return set_error("invalid number", p_ + 1);
    } else {
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
        uint64_t d = static_cast<uint64_t>(*p_ - '0');
        if (mag > (UINT64_MAX - d) / 10) overflow = true;
        mag = mag * 10 + d;
        ++p_;
      }
    }
    bool is_float = false;
    if (p_ < end_ && *p_ == '.') {
      is_float = true;
      ++p_;
      if (p_ >= end_) return set_error("EOF while parsing a value", p_);
      if (*p_ < '0' || *p_ > '9') return set_error("invalid number", p_ + 1);
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      is_float = true;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ >= end_) return set_error("EOF while parsing a value", p_);
      if (*p_ < '0' || *p_ > '9') return set_error("invalid number", p_ + 1);
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (!is_float && !overflow) {
      if (!negative) {
        out = Value(mag);
        return true;
      }
      if (mag <= static_cast<uint64_t>(INT64_MAX) + 1) {
        out = Value(mag == 0 ? int64_t{0} : static_cast<int64_t>(0 - mag));
        return true;
      }
    }
    return parse_float(start, out);
  }

  // Nearest double of the number text [start, p_).
  bool parse_float(const char* start, Value& out) {
    double d = 0;
    auto [ptr, ec] = std::from_chars(start, p_, d);
    if (ec == std::errc::result_out_of_range) {
      // Distinguish overflow (refused) from underflow (rounds towards zero).
      std::string text(start, p_);
      d = std::strtod(text.c_str(), nullptr);
      if (std::isinf(d)) return set_error("number out of range", p_);
    } else if (ec != std::errc() || ptr != p_) {
      return set_error("invalid number", p_);
    }
    out = Value(d);
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  const char* reason_ = nullptr;
  const char* err_at_ = nullptr;
};

}  // namespace

Result<Value> parse_json(std::string_view text) { return Parser(text).parse_document(); }

// --------------------------------------------------------------- Writers ---

void append_json_string(std::string_view s, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  for (;;) {
    const char* run = p;
    // Only '"', '\\' and control characters need escaping; non-ASCII bytes
    // are copied as they are.
    while (end - p >= 8) {
      uint64_t x = load64(p);
      if (has_zero_byte(x ^ (kOnes * '"')) | has_zero_byte(x ^ (kOnes * '\\')) |
          ((x - kOnes * 0x20) & ~x & kHighs))
        break;
      p += 8;
    }
    while (p < end) {
      unsigned char c = static_cast<unsigned char>(*p);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++p;
    }
    out.append(run, static_cast<size_t>(p - run));
    if (p >= end) break;
    unsigned char c = static_cast<unsigned char>(*p++);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\f': out.append("\\f"); break;
      case '\r': out.append("\\r"); break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(esc, 6);
      }
    }
  }
  out.push_back('"');
}

void append_json_double(double d, std::string& out) {
  if (!std::isfinite(d)) {
    out.append("null");
    return;
  }
  if (d == 0) {
    out.append(std::signbit(d) ? "-0.0" : "0.0");
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "-1.2345e+01".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  const char* stop = res.ptr;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[32];
  size_t n = 0;
  while (p < stop && *p != 'e') {
    if (*p != '.') digits[n++] = *p;
    ++p;
  }
  int exp = 0;
  std::from_chars(*(p + 1) == '+' ? p + 2 : p + 1, stop, exp);
  int len = static_cast<int>(n);
  if (exp >= -5 && exp <= 15) {
    if (exp < 0) {
      out.append("0.");
      out.append(static_cast<size_t>(-exp - 1), '0');
      out.append(digits, n);
    } else if (exp < len - 1) {
      out.append(digits, static_cast<size_t>(exp + 1));
      out.push_back('.');
      out.append(digits + exp + 1, static_cast<size_t>(len - exp - 1));
    } else {
      out.append(digits, n);
      out.append(static_cast<size_t>(exp + 1 - len), '0');
      out.append(".0");
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits + 1, n - 1);
  }
  out.push_back('e');
  out.push_back(exp < 0 ? '-' : '+');
  out.append(std::to_string(exp < 0 ? -exp : exp));
}

static void append_uint(uint64_t u, std::string& out) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, u);
  out.append(buf, res.ptr);
}

static void append_int(int64_t i, std::string& out) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, res.ptr);
}

void write_canonical(const Value& value, std::string& out) {
  switch (value.kind()) {
    case Value::Kind::kNull: out.append("null"); return;
    case Value::Kind::kBool: out.append(*value.as_bool() ? "true" : "false"); return;
    case Value::Kind::kUint: append_uint(*value.as_uint(), out); return;
    case Value::Kind::kInt: append_int(*value.as_int(), out); return;
    case Value::Kind::kFloat: append_json_double(*value.as_float(), out); return;
    case Value::Kind::kString: append_json_string(*value.as_string(), out); return;
    case Value::Kind::kArray: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : *value.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_canonical(item, out);
      }
      out.push_back(']');
      return;
    }
    case Value::Kind::kObject: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : *value.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(key, out);
        out.push_back(':');
        write_canonical(item, out);
      }
      out.push_back('}');
      return;
    }
  }
}

std::string to_canonical(const Value& value) {
  std::string out;
  out.reserve(128);
  write_canonical(value, out);
  return out;
}

void JsonWriter::separate() {
  if (need_comma_) out_.push_back(',');
  need_comma_ = true;
}

JsonWriter& JsonWriter::begin_object() {
  separate();
  out_.push_back('{');
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  out_.push_back('}');
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  separate();
  out_.push_back('[');
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  out_.push_back(']');
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view k) {
  separate();
  append_json_string(k, out_);
  out_.push_back(':');
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view s) {
  separate();
  append_json_string(s, out_);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool b) {
  separate();
  out_.append(b ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::null() {
  separate();
  out_.append("null");
  return *this;
}

JsonWriter& JsonWriter::uint(uint64_t u) {
  separate();
  append_uint(u, out_);
  return *this;
}

JsonWriter& JsonWriter::sint(int64_t i) {
  separate();
  append_int(i, out_);
  return *this;
}

JsonWriter& JsonWriter::number(double d) {
  separate();
  append_json_double(d, out_);
  return *this;
}

JsonWriter& JsonWriter::value(const Value& v) {
  separate();
  write_canonical(v, out_);
  return *this;
}

JsonWriter& JsonWriter::string_array(const std::vector<std::string>& items) {
  begin_array();
  for (const auto& s : items) string(s);
  return end_array();
}

// ---------------------------------------------------------- Typed access ---

const std::string* get_string(const Value& object, std::string_view key) {
  const Value* v = object.get(key);
  return v ? v->as_string() : nullptr;
}

const Array* get_array(const Value& object, std::string_view key) {
  const Value* v = object.get(key);
  return v ? v->as_array() : nullptr;
}

bool string_list(const Value& array, std::vector<std::string>& out) {
  const Array* items = array.as_array();
  if (!items) return false;
  out.clear();
  out.reserve(items->size());
  for (const Value& item : *items) {
    const std::string* s = item.as_string();
    if (!s) return false;
    out.push_back(*s);
  }
  return true;
}

}  // namespace kestrix
