// Byte encodings shared by the binary files and the key tables: fixed-width
// little-endian integers, read and written unaligned; hexadecimal text; and
// Digest, the 32 bytes of a SHA-256 content hash, which is also the key of
// index.bin and the source hash of the binary token indexes.  The integer
// encoders produce the same bytes on any host.  Pure functions, thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix {

// Hash tables keyed by it use DigestHash (hash_tables.h), which reads all 32 bytes.
using Digest = std::array<uint8_t, 32>;

// --- Fixed-width little-endian integers --------------------------------

inline void encode_fixed16(char* out, uint16_t v) {
  out[0] = static_cast<char>(v);
  out[1] = static_cast<char>(v >> 8);
}
inline void encode_fixed32(char* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * i));
}
inline void encode_fixed64(char* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (8 * i));
}

inline void put_fixed16(std::string& out, uint16_t v) {
  char b[2];
  encode_fixed16(b, v);
  out.append(b, 2);
}
inline void put_fixed32(std::string& out, uint32_t v) {
  char b[4];
  encode_fixed32(b, v);
  out.append(b, 4);
}
inline void put_fixed64(std::string& out, uint64_t v) {
  char b[8];
  encode_fixed64(b, v);
  out.append(b, 8);
}

inline uint16_t decode_fixed16(const void* at) {
  const auto* p = static_cast<const uint8_t*>(at);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t decode_fixed32(const void* at) {
  const auto* p = static_cast<const uint8_t*>(at);
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint64_t decode_fixed64(const void* at) {
  const auto* p = static_cast<const uint8_t*>(at);
  return uint64_t{decode_fixed32(p)} | (uint64_t{decode_fixed32(p + 4)} << 32);
}

// --- Hexadecimal -------------------------------------------------------

// The value of one hex digit (either case), or -1.
inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
inline bool is_hex_digit(char c) { return hex_digit_value(c) >= 0; }

// Writes the 2*n lowercase hex digits of `bytes` to `out`.
void write_hex(const uint8_t* bytes, size_t n, char* out);
std::string bytes_to_hex(const uint8_t* bytes, size_t n);

// Which letters a decoder accepts: content hashes are written in lowercase,
// so a key that must equal a computed hash refuses uppercase digits.
enum class HexCase { kAny, kLower };

// Decodes exactly 2*n hex digits into `out`; false on any other input (and
// `out` is then unspecified).  Branch-free over the digits: keys decoded in
// bulk are random hex, on which a branchy decoder mispredicts.
bool hex_to_bytes(std::string_view hex, uint8_t* out, size_t n, HexCase letters = HexCase::kAny);

// The Digest of exactly 64 hex digits, else nullopt.
std::optional<Digest> digest_from_hex(std::string_view hex, HexCase letters = HexCase::kAny);

}  // namespace kestrix
