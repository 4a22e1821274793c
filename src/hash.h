// Content hashes: SHA-256 (libcrypto) of the canonical JSON text, written as
// 64 lowercase hexadecimal characters.  Thread-safe.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "coding.h"
#include "json.h"

namespace kestrix {

std::string compute_hash(const Value& value);
// SHA-256 of raw bytes as 64 lowercase hex characters.
std::string sha256_hex(std::string_view bytes);
// SHA-256 of raw bytes into a 32-byte digest.
void sha256(std::string_view bytes, unsigned char digest[32]);

// SHA-256 of bytes that arrive in pieces (a file as it is written or read).
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();
  void update(std::string_view bytes);
  // The digest of everything given, as 64 lowercase hex characters; the
  // hasher then starts again from nothing.
  std::string finish_hex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class JsonTape;
// SHA-256 of the canonical text of the document parsed into `tape`.
void sha256_canonical(JsonTape& tape, unsigned char digest[32]);

// Line hash of one line of JSON text: the hash of the parsed value's
// canonical text; false when the line is not valid JSON.
bool hash_json_line(std::string_view line, std::string& hex_out);
bool json_line_digest(std::string_view line, unsigned char digest[32]);

// The line hash of a line of text as blame takes it: the hash of the JSON
// value the text parses to or, when it is not one JSON document, of the
// JSON string holding the text unchanged.  So a line tracked as a value and
// a plain text line tracked as a string both meet their text.
void text_line_digest(std::string_view text, unsigned char digest[32]);
// The hash of the JSON string holding `text` (the second case above).
void json_string_digest(std::string_view text, unsigned char digest[32]);

}  // namespace kestrix
