// JSON parser and writers.  The parser follows strict JSON: numbers become
// unsigned, signed or double as the value class dictates, strings must be
// valid UTF-8 with escapes decoded (lone surrogates refused), and nesting is
// limited to 128 levels.  The writers produce the canonical forms.
#include "json.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "coding.h"
#include "json_tape.h"
#include "utf8.h"

#include <algorithm>
#include <bit>
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

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t load64(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

inline uint64_t has_zero_byte(uint64_t x) { return (x - kOnes) & ~x & kHighs; }

// Length of the leading run of bytes that need no attention inside a
// string: anything but '"', '\\', control characters and non-ASCII bytes.
// Portable part: 16 bytes at a time where SSE2 exists, then words, then bytes.
inline size_t plain_string_run_portable(const char* p, const char* end) {
  const char* start = p;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed compare: bytes >= 0x80 are negative, so they count as "< 0x20".
    __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                   _mm_cmplt_epi8(x, space));
    int mask = _mm_movemask_epi8(special);
    if (mask) return static_cast<size_t>(p - start) + static_cast<size_t>(__builtin_ctz(mask));
    p += 16;
  }
#endif
  while (end - p >= 8) {
    uint64_t x = load64(p);
    if (has_zero_byte(x ^ (kOnes * '"')) | has_zero_byte(x ^ (kOnes * '\\')) |
        ((((x - kOnes * 0x20) & ~x) | x) & kHighs))
      break;
    p += 8;
  }
  while (p < end) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
    ++p;
  }
  return static_cast<size_t>(p - start);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with AVX2, 64 bytes per branch, for long runs (prose) on
// processors that have it; chosen at run time.
__attribute__((target("avx2"))) size_t plain_string_run_avx2(const char* p, const char* end) {
  const char* start = p;
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i space = _mm256_set1_epi8(0x20);
  auto special = [&](const char* at) __attribute__((target("avx2"))) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i quote_or_backslash =
        _mm256_or_si256(_mm256_cmpeq_epi8(x, quote), _mm256_cmpeq_epi8(x, backslash));
    return _mm256_or_si256(quote_or_backslash, _mm256_cmpgt_epi8(space, x));
  };
  while (end - p >= 64) {
    const __m256i low = special(p), high = special(p + 32);
    const uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                          uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high))} << 32;
    if (mask) return static_cast<size_t>(p - start) + static_cast<size_t>(__builtin_ctzll(mask));
    p += 64;
  }
  return static_cast<size_t>(p - start) + plain_string_run_portable(p, end);
}

using RunFn = size_t (*)(const char*, const char*);
RunFn pick_long_run() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? plain_string_run_avx2 : plain_string_run_portable;
}
#endif

// Short strings are settled by the first 16 bytes without a call through
// the run-time choice; longer ones continue with the widest scanner.
inline size_t plain_string_run(const char* p, const char* end) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (end - p >= 80) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                  _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
                     _mm_cmplt_epi8(x, _mm_set1_epi8(0x20)));
    const int mask = _mm_movemask_epi8(special);
    if (mask) return static_cast<size_t>(__builtin_ctz(mask));
    static const RunFn long_run = pick_long_run();
    return 16 + long_run(p + 16, end);
  }
#endif
  return plain_string_run_portable(p, end);
}

void append_utf8(uint32_t cp, std::string& out) {
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

}  // namespace

// --------------------------------------------------------------- Writers ---

namespace {

constexpr size_t kMaxDoubleText = 32;

// Writes the canonical escape of '"', '\\' or a control character at p.
char* put_escape(char* p, unsigned char c) {
  *p++ = '\\';
  switch (c) {
    case '"': *p++ = '"'; break;
    case '\\': *p++ = '\\'; break;
    case '\b': *p++ = 'b'; break;
    case '\t': *p++ = 't'; break;
    case '\n': *p++ = 'n'; break;
    case '\f': *p++ = 'f'; break;
    case '\r': *p++ = 'r'; break;
    default:
      *p++ = 'u';
      *p++ = '0';
      *p++ = '0';
      write_hex(&c, 1, p);
      p += 2;
  }
  return p;
}

// Writes the canonical form of a string at p (room for 6 * size + 2 bytes
// is needed) and returns the end.  Only '"', '\\' and control characters
// are escaped; everything else, non-ASCII included, is copied as it is.
char* put_json_string(char* p, std::string_view s) {
  *p++ = '"';
  const char* in = s.data();
  const char* end = in + s.size();
  for (;;) {
    const char* run = in;
#if defined(__SSE2__)
    // 16 bytes at a time: a byte needs an escape if it is '"' or '\\', or
    // if it is below 0x20 (unsigned), that is max(byte, 0x1F) == 0x1F.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i last_control = _mm_set1_epi8(0x1F);
    while (end - in >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
      const __m128i special =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                       _mm_cmpeq_epi8(_mm_max_epu8(x, last_control), last_control));
      if (_mm_movemask_epi8(special)) break;
      in += 16;
    }
#endif
    while (end - in >= 8) {
      uint64_t x = load64(in);
      if (has_zero_byte(x ^ (kOnes * '"')) | has_zero_byte(x ^ (kOnes * '\\')) |
          ((x - kOnes * 0x20) & ~x & kHighs))
        break;
      in += 8;
    }
    while (in < end) {
      unsigned char c = static_cast<unsigned char>(*in);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++in;
    }
    std::memcpy(p, run, static_cast<size_t>(in - run));
    p += in - run;
    if (in >= end) break;
    p = put_escape(p, static_cast<unsigned char>(*in++));
  }
  *p++ = '"';
  return p;
}

char* put_literal(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

char* put_decimal(char* p, const char* digits, int n, int exp);

// Writes the canonical form of a double (at most kMaxDoubleText bytes).
char* put_json_double(char* p, double d) {
  if (!std::isfinite(d)) return put_literal(p, "null");
  if (d == 0) return put_literal(p, std::signbit(d) ? "-0.0" : "0.0");
  // Shortest round-trip digits in scientific form, e.g. "-1.2345e+01".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* q = buf;
  const char* stop = res.ptr;
  if (*q == '-') {
    *p++ = '-';
    ++q;
  }
  char digits[32];
  int n = 0;
  while (q < stop && *q != 'e') {
    if (*q != '.') digits[n++] = *q;
    ++q;
  }
  int exp = 0;
  std::from_chars(q[1] == '+' ? q + 2 : q + 1, stop, exp);
  return put_decimal(p, digits, n, exp);
}

// Writes the canonical form of the number 0.d1d2...dn * 10^(exp + 1), given
// its n shortest round-trip digits (the first and last not zero).
char* put_decimal(char* p, const char* digits, int n, int exp) {
  if (exp >= -5 && exp <= 15) {
    if (exp < 0) {
      p = put_literal(p, "0.");
      for (int k = 0; k < -exp - 1; ++k) *p++ = '0';
      return put_literal(p, std::string_view(digits, static_cast<size_t>(n)));
    }
    if (exp < n - 1) {
      p = put_literal(p, std::string_view(digits, static_cast<size_t>(exp + 1)));
      *p++ = '.';
      return put_literal(p, std::string_view(digits + exp + 1, static_cast<size_t>(n - exp - 1)));
    }
    p = put_literal(p, std::string_view(digits, static_cast<size_t>(n)));
    for (int k = 0; k < exp + 1 - n; ++k) *p++ = '0';
    return put_literal(p, ".0");
  }
  *p++ = digits[0];
  if (n > 1) {
    *p++ = '.';
    p = put_literal(p, std::string_view(digits + 1, static_cast<size_t>(n - 1)));
  }
  *p++ = 'e';
  *p++ = exp < 0 ? '-' : '+';
  return std::to_chars(p, p + 8, exp < 0 ? -exp : exp).ptr;
}

char* put_uint(char* p, uint64_t u) { return std::to_chars(p, p + 24, u).ptr; }
char* put_int(char* p, int64_t i) { return std::to_chars(p, p + 24, i).ptr; }

// Appends what `put` writes, given an upper bound of its size.
template <typename Put>
void append_with(std::string& out, size_t bound, Put&& put) {
  size_t old = out.size();
  out.resize_and_overwrite(old + bound, [&](char* buf, size_t) {
    return static_cast<size_t>(put(buf + old) - buf);
  });
}

}  // namespace

void append_json_string(std::string_view s, std::string& out) {
  append_with(out, 6 * s.size() + 2, [&](char* p) { return put_json_string(p, s); });
}

void append_json_double(double d, std::string& out) {
  append_with(out, kMaxDoubleText, [&](char* p) { return put_json_double(p, d); });
}

static void append_uint(uint64_t u, std::string& out) {
  append_with(out, 24, [&](char* p) { return put_uint(p, u); });
}

static void append_int(int64_t i, std::string& out) {
  append_with(out, 24, [&](char* p) { return put_int(p, i); });
}

// Recursive-descent parser writing nodes onto the tape.
class JsonTape::Parser {
 public:
  Parser(JsonTape& tape, std::string_view text)
      : t_(tape), begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  bool parse_document() {
    skip_ws();
    if (!parse_value(0)) return false;
    skip_ws();
    if (p_ != end_) return fail("trailing characters", p_ + 1);
    return true;
  }

 private:
  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  // Records the error at `at`, one past the last byte consumed.
  bool fail(const char* reason, const char* at) {
    if (!t_.reason_) {
      t_.reason_ = reason;
      t_.error_offset_ = static_cast<size_t>(std::min(at, end_) - begin_);
    }
    return false;
  }

  Node& push(Type type) {
    Node& n = t_.nodes_.emplace_back();
    n.type = type;
    n.decoded = false;
    n.canonical = false;
    n.negative = false;
    n.begin = n.size = n.end = 0;
    n.u = 0;
    return n;
  }

  bool parse_value(int depth) {
    if (p_ >= end_) return fail("EOF while parsing a value", p_);
    switch (*p_) {
      case '{': return parse_container(depth, true);
      case '[': return parse_container(depth, false);
      case '"': return parse_string(false);
      case 't': return parse_literal("true", Type::kTrue);
      case 'f': return parse_literal("false", Type::kFalse);
      case 'n': return parse_literal("null", Type::kNull);
      default:
        if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return parse_number();
        return fail("expected value", p_ + 1);
    }
  }

  bool parse_literal(std::string_view word, Type type) {
    for (size_t i = 0; i < word.size(); ++i) {
      if (p_ + i >= end_) return fail("EOF while parsing a value", end_);
      if (p_[i] != word[i]) return fail("expected ident", p_ + i + 1);
    }
    p_ += word.size();
    push(type);
    return true;
  }

  // Arrays and objects share their structure; an object's members are a key
  // string node followed by the value's nodes.
  bool parse_container(int depth, bool object) {
    if (depth + 1 > kMaxJsonDepth) return fail("recursion limit exceeded", p_ + 1);
    ++p_;
    const char close = object ? '}' : ']';
    const char* eof_reason = object ? "EOF while parsing an object" : "EOF while parsing a list";
    uint32_t self = static_cast<uint32_t>(t_.nodes_.size());
    push(object ? Type::kObject : Type::kArray);
    uint32_t count = 0;
    skip_ws();
    if (p_ < end_ && *p_ == close) {
      ++p_;
    } else {
      for (;;) {
        skip_ws();
        if (object) {
          if (p_ >= end_) return fail(eof_reason, p_);
          if (*p_ != '"') return fail("key must be a string", p_ + 1);
          if (!parse_string(true)) return false;
          skip_ws();
          if (p_ >= end_) return fail(eof_reason, p_);
          if (*p_ != ':') return fail("expected `:`", p_ + 1);
          ++p_;
          skip_ws();
        }
        if (!parse_value(depth + 1)) return false;
        ++count;
        skip_ws();
        if (p_ >= end_) return fail(eof_reason, p_);
        if (*p_ == ',') {
          ++p_;
          skip_ws();
          if (p_ < end_ && *p_ == close) return fail("trailing comma", p_ + 1);
          continue;
        }
        if (*p_ == close) {
          ++p_;
          break;
        }
        return fail(object ? "expected `,` or `}`" : "expected `,` or `]`", p_ + 1);
      }
    }
    Node& n = t_.nodes_[self];
    n.begin = count;
    n.end = static_cast<uint32_t>(t_.nodes_.size());
    return true;
  }

  bool parse_hex4(uint32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ >= end_) return fail("EOF while parsing a string", end_);
      char c = *p_;
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return fail("invalid escape", p_ + 1);
      }
      out = out * 16 + d;
      ++p_;
    }
    return true;
  }

  // After a backslash: decodes one escape into out.
  bool parse_escape(std::string& out) {
    if (p_ >= end_) return fail("EOF while parsing a string", end_);
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
      default: return fail("invalid escape", p_);
    }
    uint32_t cp;
    if (!parse_hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone leading surrogate in hex escape", p_);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (p_ + 1 >= end_ || p_[0] != '\\' || p_[1] != 'u') {
        if (p_ >= end_ || (p_ + 1 >= end_ && p_[0] == '\\'))
          return fail("EOF while parsing a string", end_);
        return fail("lone leading surrogate in hex escape", p_);
      }
      p_ += 2;
      uint32_t low;
      if (!parse_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape", p_);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(cp, out);
    return true;
  }

  // The escapes written the same way in canonical text: \" \\ \b \f \n \r \t.
  static bool is_canonical_escape(char c) {
    return c == '"' || c == '\\' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't';
  }

  // Like parse_escape(), but appends the escape's canonical form: the
  // decoded character, escaped again if it must be.
  bool parse_escape_canonical(std::string& out) {
    const size_t mark = out.size();
    if (!parse_escape(out)) return false;
    if (out.size() - mark == 1) {
      unsigned char c = static_cast<unsigned char>(out.back());
      if (c < 0x20 || c == '"' || c == '\\') {
        char escape[6];
        out.resize(mark);
        out.append(escape, static_cast<size_t>(put_escape(escape, c) - escape));
      }
    }
    return true;
  }

  // Validates one multi-byte UTF-8 sequence at p_ and steps over it.
  bool skip_utf8_sequence() {
    Utf8Step step = utf8_step(std::string_view(p_, static_cast<size_t>(end_ - p_)));
    if (!step.valid) return fail("invalid unicode code point", p_ + step.length);
    p_ += step.length;
    return true;
  }

  // A string without escapes is recorded as a span of the source; one with
  // escapes is decoded into the tape's buffer, or for a value string when
  // the tape keeps strings canonical, rewritten in canonical form there.
  bool parse_string(bool key) {
    const bool canonical = !key && t_.target_ == Target::kCanonical;
    ++p_;  // opening quote
    const char* start = p_;
    // Most strings are a plain run closed by a quote.
    const char* close = start + plain_string_run(start, end_);
    if (close < end_ && *close == '"') {
      Node& n = push(Type::kString);
      n.begin = static_cast<uint32_t>(start - begin_);
      n.size = static_cast<uint32_t>(close - start);
      p_ = close + 1;
      return true;
    }
    std::string& dec = t_.decoded_;
    size_t dec_start = dec.size();
    bool escaped = false;
    const char* run = p_;
    for (;;) {
      p_ += plain_string_run(p_, end_);
      if (p_ >= end_) return fail("EOF while parsing a string", end_);
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') break;
      if (c == '\\') {
        // An escape that is its own canonical form stays in the run.
        if (canonical && p_ + 1 < end_ && is_canonical_escape(p_[1])) {
          p_ += 2;
          continue;
        }
        if (escaped) {
          dec.append(run, static_cast<size_t>(p_ - run));
        } else {
          dec.append(start, static_cast<size_t>(p_ - start));
          escaped = true;
        }
        ++p_;
        if (!(canonical ? parse_escape_canonical(dec) : parse_escape(dec))) return false;
        run = p_;
      } else if (c < 0x20) {
        return fail("control character (\\u0000-\\u001F) found while parsing a string", p_ + 1);
      } else if (!skip_utf8_sequence()) {
        return false;
      }
    }
    Node& n = push(Type::kString);
    if (escaped) {
      dec.append(run, static_cast<size_t>(p_ - run));
      n.decoded = true;
      n.canonical = canonical;
      n.begin = static_cast<uint32_t>(dec_start);
      n.size = static_cast<uint32_t>(dec.size() - dec_start);
    } else {
      n.begin = static_cast<uint32_t>(start - begin_);
      n.size = static_cast<uint32_t>(p_ - start);
    }
    ++p_;  // closing quote
    return true;
  }

  bool parse_number() {
    const char* start = p_;
    bool negative = false;
    if (*p_ == '-') {
      negative = true;
      ++p_;
    }
    if (p_ >= end_) return fail("EOF while parsing a value", p_);
    if (*p_ < '0' || *p_ > '9') return fail("invalid number", p_ + 1);
    uint64_t mag = 0;
    bool overflow = false;
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && *p_ >= '0' && *p_ <= '9') return fail("invalid number", p_ + 1);
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
      if (p_ >= end_) return fail("EOF while parsing a value", p_);
      if (*p_ < '0' || *p_ > '9') return fail("invalid number", p_ + 1);
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      is_float = true;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ >= end_) return fail("EOF while parsing a value", p_);
      if (*p_ < '0' || *p_ > '9') return fail("invalid number", p_ + 1);
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (!is_float && !overflow) {
      if (!negative || mag == 0) {
        push(Type::kUint).u = mag;
        return true;
      }
      if (mag <= static_cast<uint64_t>(INT64_MAX) + 1) {
        push(Type::kInt).i = static_cast<int64_t>(0 - mag);
        return true;
      }
    }
    if (!is_float) t_.note_ambiguity(Ambiguity::kWideInteger, std::string_view(start, p_));
    return parse_float(start);
  }

  // The significant digits of the float text [start, p_) when it has at most
  // 15 of them, is not zero and its decimal exponent is moderate.  Such a
  // number converts to a double and back to the same digits (doubles hold
  // 15 decimal digits exactly), so they are the shortest round-trip digits
  // and the canonical text can be written from them directly.
  bool push_short_decimal(const char* start) {
    const char* q = start;
    const bool negative = *q == '-';
    if (negative) ++q;
    uint64_t digits = 0;
    int count = 0, int_len = 0, index = 0, first = -1, trailing_zeros = 0;
    bool in_fraction = false;
    for (; q < p_ && *q != 'e' && *q != 'E'; ++q) {
      if (*q == '.') {
        in_fraction = true;
        continue;
      }
      if (!in_fraction) ++int_len;
      const int d = *q - '0';
      if (first < 0 && d == 0) {
        ++index;
        continue;
      }
      if (first < 0) first = index;
      ++index;
      if (d == 0) {
        ++trailing_zeros;  // significant only if a non-zero digit follows
        continue;
      }
      count += trailing_zeros + 1;
      if (count > 15) return false;
      for (; trailing_zeros > 0; --trailing_zeros) digits *= 10;
      digits = digits * 10 + static_cast<uint64_t>(d);
    }
    if (first < 0) return false;  // zero: the general path keeps its sign
    int exponent = 0;
    if (q < p_) {
      ++q;
      const bool exp_negative = *q == '-';
      if (*q == '+' || *q == '-') ++q;
      for (; q < p_; ++q) {
        exponent = exponent * 10 + (*q - '0');
        if (exponent > 1000) return false;
      }
      if (exp_negative) exponent = -exponent;
    }
    const int exp10 = int_len - 1 - first + exponent;
    if (exp10 < -290 || exp10 > 290) return false;
    Node& n = push(Type::kDecimal);
    n.u = digits;
    n.begin = static_cast<uint32_t>(count);
    n.size = static_cast<uint32_t>(exp10);
    n.negative = negative;
    ++t_.float_count_;
    return true;
  }

  // The nearest double of the number text [start, p_).
  bool parse_float(const char* start) {
    if (t_.target_ == Target::kCanonical && push_short_decimal(start)) return true;
    double d = 0;
    auto [ptr, ec] = std::from_chars(start, p_, d);
    if (ec == std::errc::result_out_of_range) {
      // Overflow is refused; underflow rounds towards zero (from_chars
      // reports it only when nothing but zero is left).
      std::string text(start, p_);
      d = std::strtod(text.c_str(), nullptr);
      if (std::isinf(d)) return fail("number out of range", p_);
      t_.note_ambiguity(Ambiguity::kUnderflow, text);
    } else if (ec != std::errc() || ptr != p_) {
      return fail("invalid number", p_);
    }
    push(Type::kFloat).d = d;
    ++t_.float_count_;
    return true;
  }

  JsonTape& t_;
  const char* begin_;
  const char* p_;
  const char* end_;
};

bool JsonTape::parse(std::string_view text, Target target) {
  text_ = text;
  target_ = target;
  nodes_.clear();
  decoded_.clear();
  float_count_ = 0;
  reason_ = nullptr;
  error_offset_ = 0;
  ambiguity_ = Ambiguity::kNone;
  return Parser(*this, text).parse_document();
}

void JsonTape::note_ambiguity(Ambiguity what, std::string_view text) {
  if (ambiguity_ != Ambiguity::kNone) return;
  ambiguity_ = what;
  ambiguous_text_.assign(text);
}

std::string JsonTape::error() const {
  size_t line = 1, column = 0;
  for (size_t i = 0; i < error_offset_ && i < text_.size(); ++i) {
    if (text_[i] == '\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
  return std::string(reason_ ? reason_ : "invalid JSON") + " at line " + std::to_string(line) +
         " column " + std::to_string(column);
}

std::string_view JsonTape::string_of(const Node& n) const {
  return n.decoded ? std::string_view(decoded_).substr(n.begin, n.size)
                   : text_.substr(n.begin, n.size);
}


// The first eight bytes of a key string as a big-endian number,
// zero-padded: keys whose numbers differ are ordered as the numbers are.
// Reads eight bytes at once when the buffer holding the key has them (a
// byte-wise copy into a word would stall the load that follows it).
uint64_t JsonTape::key_prefix(const Node& key) const {
  std::string_view buffer = key.decoded ? std::string_view(decoded_) : text_;
  const char* p = buffer.data() + key.begin;
  const size_t n = std::min<size_t>(8, key.size);
  uint64_t prefix = 0;
  if (buffer.size() - key.begin >= 8) {
    std::memcpy(&prefix, p, 8);
    if constexpr (std::endian::native == std::endian::little) prefix = __builtin_bswap64(prefix);
    if (n < 8) prefix &= n == 0 ? 0 : ~uint64_t{0} << (8 * (8 - n));
  } else {
    for (size_t i = 0; i < n; ++i)
      prefix |= uint64_t{static_cast<unsigned char>(p[i])} << (56 - 8 * i);
  }
  return prefix;
}

JsonTape::NodeKind JsonTape::kind_at(uint32_t index) const {
  switch (nodes_[index].type) {
    case Type::kString: return NodeKind::kString;
    case Type::kUint: return NodeKind::kUint;
    case Type::kArray: return NodeKind::kArray;
    case Type::kObject: return NodeKind::kObject;
    default: return NodeKind::kOther;
  }
}

uint32_t JsonTape::member(std::string_view key) const {
  if (nodes_.empty() || nodes_[0].type != Type::kObject) return kNoNode;
  uint32_t found = kNoNode;
  uint32_t index = 1;
  for (uint32_t k = 0; k < nodes_[0].begin; ++k) {
    if (string_of(nodes_[index]) == key) found = index + 1;
    index = after(index + 1);
  }
  return found;
}

uint32_t JsonTape::after(uint32_t index) const {
  const Node& n = nodes_[index];
  return (n.type == Type::kArray || n.type == Type::kObject) ? n.end : index + 1;
}

// Writes the subtree at `index` at p; the caller has made room for it (the
// canonical text is never longer than the source, but for floats).
char* JsonTape::write_node(uint32_t index, char* p) {
  const Node& n = nodes_[index];
  switch (n.type) {
    case Type::kNull: return put_literal(p, "null");
    case Type::kTrue: return put_literal(p, "true");
    case Type::kFalse: return put_literal(p, "false");
    case Type::kUint: return put_uint(p, n.u);
    case Type::kInt: return put_int(p, n.i);
    case Type::kFloat: return put_json_double(p, n.d);
    case Type::kDecimal: {
      if (n.negative) *p++ = '-';
      char digits[24];
      std::to_chars(digits, digits + sizeof digits, n.u);
      return put_decimal(p, digits, static_cast<int>(n.begin), static_cast<int32_t>(n.size));
    }
    case Type::kString: return write_string(n, p);
    case Type::kArray: {
      *p++ = '[';
      uint32_t i = index + 1;
      for (uint32_t k = 0; k < n.begin; ++k) {
        if (k) *p++ = ',';
        p = write_node(i, p);
        i = after(i);
      }
      *p++ = ']';
      return p;
    }
    case Type::kObject: return write_object(index, p);
  }
  return p;
}

// Strings at least this long are streamed from where they are stored, not
// copied.
constexpr uint32_t kDirectSpan = 256;

char* JsonTape::write_string(const Node& n, char* p) const {
  if (n.decoded && !n.canonical) return put_json_string(p, string_of(n));
  // Source bytes without escapes are already in canonical form.
  const std::string_view bytes = string_of(n);
  *p++ = '"';
  if (sink_ && bytes.size() >= kDirectSpan) {
    sink_(sink_context_, sink_buffer_, static_cast<size_t>(p - sink_buffer_));
    sink_(sink_context_, bytes.data(), bytes.size());
    p = sink_buffer_;
  } else {
    std::memcpy(p, bytes.data(), bytes.size());
    p += bytes.size();
  }
  *p++ = '"';
  return p;
}

// Sorts members stably by key.  Objects are small, so an insertion sort
// without allocation beats the general stable sort.
template <typename It, typename Less>
static void sort_members(It first, It last, Less less) {
  if (last - first > 32) {
    std::stable_sort(first, last, less);
    return;
  }
  for (auto i = first + 1; i < last; ++i) {
    auto m = *i;
    auto j = i;
    for (; j > first && less(m, *(j - 1)); --j) *j = *(j - 1);
    *j = m;
  }
}

// Gathers the members on the shared stack, sorts them by key (stably, so
// that the last of equal keys can be kept) and writes them.
char* JsonTape::write_object(uint32_t index, char* p) {
  const uint32_t end = nodes_[index].end;
  const size_t base = members_.size();
  for (uint32_t i = index + 1; i < end; i = after(i + 1))
    members_.push_back({key_prefix(nodes_[i]), i, i + 1});
  // Most keys differ in their first eight bytes, compared as one integer.
  auto key_less = [this](const Member& a, const Member& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return string_of(nodes_[a.key]) < string_of(nodes_[b.key]);
  };
  auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
  sort_members(first, members_.end(), key_less);
  const size_t top = members_.size();
  *p++ = '{';
  bool any = false;
  for (size_t m = base; m < top; ++m) {
    Member member = members_[m];
    if (m + 1 < top && !key_less(member, members_[m + 1])) {  // a later equal key wins
      note_ambiguity(Ambiguity::kRepeatedKey, string_of(nodes_[member.key]));
      continue;
    }
    if (any) *p++ = ',';
    any = true;
    p = write_string(nodes_[member.key], p);
    *p++ = ':';
    p = write_node(member.value, p);
  }
  *p++ = '}';
  members_.resize(base);
  return p;
}

size_t JsonTape::canonical_bound() const {
  return text_.size() + kMaxDoubleText * float_count_ + 8;
}

void JsonTape::write_canonical(std::string& out) {
  if (nodes_.empty()) return;
  append_with(out, canonical_bound(), [&](char* p) { return write_node(0, p); });
}

void JsonTape::stream_canonical(Sink sink, void* context) {
  if (nodes_.empty()) return;
  stream_buffer_.resize_and_overwrite(canonical_bound(), [](char*, size_t n) { return n; });
  sink_ = sink;
  sink_context_ = context;
  sink_buffer_ = stream_buffer_.data();
  char* end = write_node(0, sink_buffer_);
  sink(context, sink_buffer_, static_cast<size_t>(end - sink_buffer_));
  sink_ = nullptr;
}

Value JsonTape::value_at(uint32_t& index) const {
  const Node& n = nodes_[index++];
  switch (n.type) {
    case Type::kNull: return Value();
    case Type::kTrue: return Value(true);
    case Type::kFalse: return Value(false);
    case Type::kUint: return Value(n.u);
    case Type::kInt: return Value(n.i);
    case Type::kFloat: return Value(n.d);
    case Type::kDecimal: {
      const int count = static_cast<int>(n.begin);
      const int exp10 = static_cast<int32_t>(n.size);
      const std::string text = std::string(n.negative ? "-" : "") + std::to_string(n.u) + "e" +
                               std::to_string(exp10 - count + 1);
      return Value(std::strtod(text.c_str(), nullptr));
    }
    case Type::kString: return Value(string_of(n));
    case Type::kArray: {
      Array items;
      items.reserve(n.begin);
      for (uint32_t k = 0; k < n.begin; ++k) items.push_back(value_at(index));
      return Value(std::move(items));
    }
    case Type::kObject: {
      Object obj;
      auto& members = obj.members();
      members.reserve(n.begin);
      for (uint32_t k = 0; k < n.begin; ++k) {
        std::string key(string_of(nodes_[index++]));
        members.emplace_back(std::move(key), value_at(index));
      }
      obj.sort_and_dedupe();
      return Value(std::move(obj));
    }
  }
  return Value();
}

Value JsonTape::to_value() const {
  uint32_t index = 0;
  return nodes_.empty() ? Value() : value_at(index);
}

Result<Value> parse_json(std::string_view text) {
  thread_local JsonTape tape;
  if (!tape.parse(text)) return fail_msg(tape.error());
  return tape.to_value();
}


// --------------------------------------------------------------- Writers ---

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
