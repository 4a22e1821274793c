#include "hash.h"

// The low-level SHA-256 functions skip the EVP layer's per-call dispatch,
// which costs several percent on lines of a kilobyte; they run the same
// accelerated block function.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

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

struct Sha256::State {
  SHA256_CTX ctx;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { SHA256_Init(&state_->ctx); }
Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) { SHA256_Update(&state_->ctx, bytes.data(), bytes.size()); }

std::string Sha256::finish_hex() {
  unsigned char digest[32];
  SHA256_Final(digest, &state_->ctx);
  SHA256_Init(&state_->ctx);
  return bytes_to_hex(digest, 32);
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

bool json_line_digest(std::string_view line, unsigned char digest[32]) {
  thread_local JsonTape tape;
  if (!tape.parse(line, JsonTape::Target::kCanonical)) return false;
  sha256_canonical(tape, digest);
  return true;
}

bool hash_json_line(std::string_view line, std::string& hex_out) {
  unsigned char digest[32];
  if (!json_line_digest(line, digest)) return false;
  hex_out.resize(64);
  write_hex(digest, 32, hex_out.data());
  return true;
}

void text_line_digest(std::string_view text, unsigned char digest[32]) {
  if (!json_line_digest(text, digest)) json_string_digest(text, digest);
}

void json_string_digest(std::string_view text, unsigned char digest[32]) {
  thread_local std::string quoted;
  quoted.clear();
  append_json_string(text, quoted);
  sha256(quoted, digest);
}

}  // namespace kestrix
