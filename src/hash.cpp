#include "hash.h"

#include <openssl/evp.h>

#include <cstring>

#include "json_tape.h"

namespace kestrix {

namespace {

// One digest context per thread, reused for every hash; the algorithm is
// fetched once per process.
struct DigestContext {
  DigestContext() : ctx(EVP_MD_CTX_new()) {}
  ~DigestContext() { EVP_MD_CTX_free(ctx); }
  EVP_MD_CTX* ctx;
};

const EVP_MD* sha256_md() {
  static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

}  // namespace

void sha256(std::string_view bytes, unsigned char digest[32]) {
  thread_local DigestContext dc;
  unsigned int len = 0;
  EVP_DigestInit_ex(dc.ctx, sha256_md(), nullptr);
  EVP_DigestUpdate(dc.ctx, bytes.data(), bytes.size());
  EVP_DigestFinal_ex(dc.ctx, digest, &len);
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

bool hash_json_line(std::string_view line, std::string& hex_out, std::string& scratch) {
  thread_local JsonTape tape;
  if (!tape.parse(line)) return false;
  scratch.clear();
  tape.write_canonical(scratch);
  unsigned char digest[32];
  sha256(scratch, digest);
  hex_out.resize(64);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < 32; ++i) {
    hex_out[2 * i] = kHex[digest[i] >> 4];
    hex_out[2 * i + 1] = kHex[digest[i] & 15];
  }
  return true;
}

}  // namespace kestrix
