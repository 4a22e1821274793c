#include "hash.h"

// The low-level SHA-256 functions skip the EVP layer's per-call dispatch,
// which costs several percent on lines of a kilobyte; they run the same
// accelerated block function.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

#include "json_tape.h"

namespace kestrix {

void sha256(std::string_view bytes, unsigned char digest[32]) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, bytes.data(), bytes.size());
  SHA256_Final(digest, &ctx);
}

void sha256_canonical(JsonTape& tape, unsigned char digest[32]) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  tape.stream_canonical(
      [](void* c, const char* bytes, size_t size) {
        SHA256_Update(static_cast<SHA256_CTX*>(c), bytes, size);
      },
      &ctx);
  SHA256_Final(digest, &ctx);
}

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

void put_hex(const unsigned char* bytes, size_t n, char* out) {
  for (size_t i = 0; i < n; ++i) std::memcpy(out + 2 * i, kHexPairs.pairs[bytes[i]], 2);
}

}  // namespace

std::string bytes_to_hex(const unsigned char* bytes, size_t n) {
  std::string out(n * 2, '\0');
  put_hex(bytes, n, out.data());
  return out;
}

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool hex_to_bytes(std::string_view hex, unsigned char* out, size_t n) {
  if (hex.size() != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    int hi = hex_value(hex[2 * i]), lo = hex_value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  return true;
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[32];
  sha256(bytes, digest);
  return bytes_to_hex(digest, 32);
}

std::string compute_hash(const Value& value) {
  std::string text;
  text.reserve(128);
  write_canonical(value, text);
  return sha256_hex(text);
}

bool hash_json_line(std::string_view line, std::string& hex_out) {
  thread_local JsonTape tape;
  if (!tape.parse(line, JsonTape::Target::kCanonical)) return false;
  unsigned char digest[32];
  sha256_canonical(tape, digest);
  hex_out.resize(64);
  put_hex(digest, 32, hex_out.data());
  return true;
}

}  // namespace kestrix
