#include "coding.h"

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

bool hex_to_bytes(std::string_view hex, uint8_t* out, size_t n, HexCase letters) {
  if (hex.size() != 2 * n) return false;
  const uint8_t* value = (letters == HexCase::kAny ? kAnyCase : kLowerCase).value;
  uint8_t bad = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t hi = value[static_cast<uint8_t>(hex[2 * i])];
    const uint8_t lo = value[static_cast<uint8_t>(hex[2 * i + 1])];
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
