// Fuzzes the JSON parser and the canonical writers.
//
// For any bytes: the tape parser and parse_json agree on success and on the
// error text; a parsed value's canonical text is the same from the tree and
// from the tape, re-parses to an equal value and is a fixed point of
// parse + write; the line hash is the hash of that text; the flat scanner
// reports exactly the members a full parse sees; and a string or a double
// written by the writers reads back unchanged.
#include <cmath>
#include <cstring>
#include <map>

#include "records.h"
#include "fuzz_common.h"
#include "hash.h"
#include "json.h"
#include "json_tape.h"

using namespace kestrix;

namespace {

// Strict UTF-8 (no surrogates, no overlong forms, at most U+10FFFF).
bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t need;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      need = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      need = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      need = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= need) return false;
    for (size_t k = 1; k <= need; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += need + 1;
  }
  return true;
}

void check_tape_agrees(std::string_view text, const Result<Value>& parsed) {
  JsonTape tape;
  bool ok = tape.parse(text);
  FUZZ_CHECK(ok == parsed.has_value(), "tape %d vs parse_json %d on %s", ok, parsed.has_value(),
             fuzz::printable(text).c_str());
  if (!ok) {
    FUZZ_CHECK(tape.error() == parsed.error().outermost(), "error texts differ: %s / %s",
               tape.error().c_str(), parsed.error().outermost().c_str());
    return;
  }
  FUZZ_CHECK(tape.to_value() == *parsed, "tape value differs");
  std::string from_tape = "prefix";
  tape.write_canonical(from_tape);
  std::string from_tree = "prefix" + to_canonical(*parsed);
  FUZZ_CHECK(from_tape == from_tree, "canonical texts differ:\n  tape %s\n  tree %s",
             fuzz::printable(from_tape).c_str(), fuzz::printable(from_tree).c_str());
}

void check_canonical_fixed_point(const Value& value) {
  const std::string canonical = to_canonical(value);
  auto again = parse_json(canonical);
  FUZZ_CHECK(again.has_value(), "canonical text does not parse: %s (%s)",
             fuzz::printable(canonical).c_str(), again ? "" : again.error().outermost().c_str());
  FUZZ_CHECK(*again == value, "canonical text parses to another value: %s",
             fuzz::printable(canonical).c_str());
  FUZZ_CHECK(to_canonical(*again) == canonical, "canonical text is not a fixed point: %s",
             fuzz::printable(canonical).c_str());
}

void check_line_hash(std::string_view text, const Result<Value>& parsed) {
  std::string hex;
  bool ok = hash_json_line(text, hex);
  FUZZ_CHECK(ok == parsed.has_value(), "hash_json_line %d vs parse %d", ok, parsed.has_value());
  if (!ok) return;
  FUZZ_CHECK(hex == compute_hash(*parsed), "line hash differs from compute_hash");
  FUZZ_CHECK(hex == sha256_hex(to_canonical(*parsed)), "line hash is not the canonical text's");
}

// Whether a document's hash is shared with other documents (a wide integer,
// an underflow, a repeated key) does not depend on the way it was parsed.
void check_ambiguity(std::string_view text) {
  JsonTape by_value, canonical;
  if (!by_value.parse(text) || !canonical.parse(text, JsonTape::Target::kCanonical)) return;
  std::string out;
  by_value.write_canonical(out);
  out.clear();
  canonical.write_canonical(out);
  FUZZ_CHECK(by_value.ambiguity() == canonical.ambiguity() &&
                 by_value.ambiguous_text() == canonical.ambiguous_text(),
             "ambiguity differs between the parse targets on %s", fuzz::printable(text).c_str());
}

// The flat scanner must accept only valid JSON objects and report the
// members a full parse sees (the last of repeated keys wins in both).
void check_flat_scan(std::string_view text, const Result<Value>& parsed) {
  std::map<std::string, flat_json::Member, std::less<>> members;
  bool accepted = flat_json::scan_flat_object(
      text, [&](const flat_json::Member& m) { members[std::string(m.key)] = m; });
  if (!accepted) return;
  FUZZ_CHECK(parsed && parsed->is_object(), "flat scan accepted a non-object: %s",
             fuzz::printable(text).c_str());
  const Object& object = *parsed->as_object();
  FUZZ_CHECK(object.size() == members.size(), "member counts differ");
  for (const auto& [key, m] : members) {
    const Value* v = object.find(key);
    FUZZ_CHECK(v, "flat key %s missing from the parse", fuzz::printable(key).c_str());
    switch (m.kind) {
      case flat_json::Kind::kString:
        FUZZ_CHECK(v->as_string() && *v->as_string() == m.value, "string member differs");
        break;
      case flat_json::Kind::kStringArray: {
        const Array* items = v->as_array();
        FUZZ_CHECK(items, "array member is not an array");
        size_t i = 0;
        flat_json::for_each_string(m.value, [&](std::string_view s) {
          FUZZ_CHECK(i < items->size() && (*items)[i].as_string() && *(*items)[i].as_string() == s,
                     "array item %zu differs", i);
          ++i;
        });
        FUZZ_CHECK(i == items->size(), "array lengths differ");
        break;
      }
      case flat_json::Kind::kOther: {
        auto raw = parse_json(m.value);
        FUZZ_CHECK(raw && *raw == *v, "raw member text %s differs", fuzz::printable(m.value).c_str());
        break;
      }
    }
  }
}

// Arbitrary bytes written as a JSON string read back as themselves when
// they are UTF-8, and are refused otherwise.
void check_string_round_trip(std::string_view bytes) {
  std::string quoted;
  append_json_string(bytes, quoted);
  auto back = parse_json(quoted);
  bool utf8 = valid_utf8(bytes);
  FUZZ_CHECK(back.has_value() == utf8, "written string parses %d, UTF-8 %d: %s", back.has_value(),
             utf8, fuzz::printable(quoted).c_str());
  if (back)
    FUZZ_CHECK(back->as_string() && *back->as_string() == bytes, "string round trip differs");
}

void check_double_round_trip(std::string_view bytes) {
  if (bytes.size() < 8) return;
  double d;
  std::memcpy(&d, bytes.data(), 8);
  if (!std::isfinite(d)) return;
  std::string text;
  append_json_double(d, text);
  auto back = parse_json(text);
  FUZZ_CHECK(back && back->as_float(), "double text %s does not parse as a float", text.c_str());
  double e = *back->as_float();
  FUZZ_CHECK(std::memcmp(&d, &e, 8) == 0, "double %a written as %s reads as %a", d, text.c_str(), e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = parse_json(text);
  check_tape_agrees(text, parsed);
  if (parsed) check_canonical_fixed_point(*parsed);
  check_line_hash(text, parsed);
  check_ambiguity(text);
  check_flat_scan(text, parsed);
  check_string_round_trip(text);
  check_double_round_trip(text);
  return 0;
}
