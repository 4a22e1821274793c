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

std::string bytes_to_hex(const unsigned char* bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(n * 2, '\0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
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
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < 32; ++i) {
    hex_out[2 * i] = kHex[digest[i] >> 4];
    hex_out[2 * i + 1] = kHex[digest[i] & 15];
  }
  return true;
}

}  // namespace kestrix
