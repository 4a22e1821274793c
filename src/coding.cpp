#include "coding.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix {
namespace {

// The two lowercase hex digits of every byte value, as they lie in memory.
struct HexPairs {
  char pairs[256][2];
  constexpr HexPairs() : pairs() {
    const char* digits = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
      pairs[b][0] = digits[b >> 4];
      pairs[b][1] = digits[b & 15];
    }
  }
};
constexpr HexPairs kHexPairs;

// Digit values by character, 0xff for characters that are no digit.
struct HexValues {
  uint8_t value[256];
  constexpr explicit HexValues(bool upper) : value() {
    for (int c = 0; c < 256; ++c) value[c] = 0xff;
    for (int c = 0; c < 10; ++c) value['0' + c] = static_cast<uint8_t>(c);
    for (int c = 0; c < 6; ++c) {
      value['a' + c] = static_cast<uint8_t>(10 + c);
      if (upper) value['A' + c] = static_cast<uint8_t>(10 + c);
    }
  }
};
constexpr HexValues kAnyCase(true);
constexpr HexValues kLowerCase(false);

}  // namespace

void write_hex(const uint8_t* bytes, size_t n, char* out) {
  for (size_t i = 0; i < n; ++i) std::memcpy(out + 2 * i, kHexPairs.pairs[bytes[i]], 2);
}

std::string bytes_to_hex(const uint8_t* bytes, size_t n) {
  std::string out(n * 2, '\0');
  write_hex(bytes, n, out.data());
  return out;
}

#if defined(__SSE2__)
// Decodes the 16 hex digits at `hex` into 8 bytes; false when one is no
// digit.  Signed comparisons take the bytes from 0x80 up (negative) for no
// digit; setting bit 5 maps 'A'-'F', and nothing else, onto 'a'-'f'.
bool hex16_to_bytes(const char* hex, uint8_t* out, HexCase letters) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hex));
  const __m128i digit =
      _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
  const __m128i l = letters == HexCase::kAny ? _mm_or_si128(c, _mm_set1_epi8(0x20)) : c;
  const __m128i letter =
      _mm_and_si128(_mm_cmpgt_epi8(l, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(l, _mm_set1_epi8('f' + 1)));
  if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xffff) return false;
  const __m128i value = _mm_or_si128(_mm_and_si128(digit, _mm_sub_epi8(c, _mm_set1_epi8('0'))),
                                     _mm_andnot_si128(digit, _mm_sub_epi8(l, _mm_set1_epi8('a' - 10))));
  // Each 16-bit lane holds a byte's two digits, the high one first in memory
  // (the lane's low byte).
  const __m128i bytes = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0xff)), 4),
                                     _mm_srli_epi16(value, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
  return true;
}
#endif

bool hex_to_bytes(std::string_view hex, uint8_t* out, size_t n, HexCase letters) {
  if (hex.size() != 2 * n) return false;
  size_t i = 0;
#if defined(__SSE2__)
  for (const size_t whole = n / 8 * 8; i < whole; i += 8)
    if (!hex16_to_bytes(hex.data() + 2 * i, out + i, letters)) return false;
#endif
  const uint8_t* value = (letters == HexCase::kAny ? kAnyCase : kLowerCase).value;
  const char* digits = hex.data();
  uint8_t bad = 0;
  for (; i < n; ++i) {
    const uint8_t hi = value[static_cast<uint8_t>(digits[2 * i])];
    const uint8_t lo = value[static_cast<uint8_t>(digits[2 * i + 1])];
    bad |= hi | lo;
    out[i] = static_cast<uint8_t>((hi << 4) | (lo & 0x0f));
  }
  return (bad & 0xf0) == 0;
}

std::optional<Digest> digest_from_hex(std::string_view hex, HexCase letters) {
  Digest d;
  if (!hex_to_bytes(hex, d.data(), d.size(), letters)) return std::nullopt;
  return d;
}

}  // namespace kestrix
