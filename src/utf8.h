// UTF-8 sequence checking shared by the JSON parser and the text helpers.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrix {

struct Utf8Step {
  size_t length;  // bytes of the sequence, or of its broken part (at least 1)
  bool valid;
};

// Examines the multi-byte sequence that starts at s[0] (a byte of 0x80 or
// above; s is not empty).  A valid sequence gives its length; a broken one
// gives how many bytes belong to it before it breaks, so that a lossy
// decoder replaces them with one U+FFFD.  Overlong forms, UTF-16
// surrogates and code points above U+10FFFF are broken.
inline Utf8Step utf8_step(std::string_view s) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = at(0);
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  for (size_t k = 1; k <= need; ++k) {
    if (k >= s.size()) return {k, false};
    unsigned char b = at(k);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return {k, false};
  }
  return {need + 1, true};
}

// True when `s` is well-formed UTF-8 throughout.
inline bool is_valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    const Utf8Step step = utf8_step(s.substr(i));
    if (!step.valid) return false;
    i += step.length;
  }
  return true;
}

}  // namespace kestrix
