// A flat parse of one JSON document.
//
// JsonTape::parse() validates a document by the system's rules and records
// it as a sequence of nodes in document order, with strings referring to the
// source bytes when they hold no escape (so parsing allocates nothing once
// the tape's buffers have grown).  From the tape a document can be written
// in canonical form without building a Value tree, which is what the line
// hash of a data line needs, or turned into a Value.  A tape is reusable
// and not thread-safe; keep one per thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"

namespace kestrix {

class JsonTape {
 public:
  // What a parse is for.  kValue keeps strings with escapes decoded, as
  // to_value() needs.  kCanonical prepares for writing the canonical text:
  // value strings (not keys) with escapes are kept in their canonical
  // escaped form (a span of the source when all its escapes are already
  // canonical), so writing them is a copy rather than a second escape
  // pass, and short decimal floats keep their digits instead of being
  // converted to a double and back.  to_value() must not follow such a parse.
  enum class Target : uint8_t { kValue, kCanonical };

  // Parses `text`; the text must outlive the tape's use.  On failure,
  // error() tells why ("<reason> at line <l> column <c>").
  bool parse(std::string_view text, Target target = Target::kValue);
  std::string error() const;

  // Canonical text of the parsed document, appended to `out`.
  void write_canonical(std::string& out);
  // Passes the canonical text to `sink` in pieces, in order.  Long strings
  // without escapes go to the sink straight from the source, so a caller
  // that only hashes the text never copies them.
  using Sink = void (*)(void* context, const char* bytes, size_t size);
  void stream_canonical(Sink sink, void* context);
  Value to_value() const;

  // What makes the parsed document share its canonical text, and so its
  // hash, with documents that differ from it: an integer beyond 64 bits
  // (held as the nearest double, so neighbours meet), a non-zero number
  // too small for a double (held as zero), or a key the object repeats
  // (the last one is kept).  Numbers are judged by parse(); a repeated key
  // only as the canonical text is written, where members are sorted
  // anyway, so ask after write_canonical() or stream_canonical().  The
  // first such thing in the document is reported.
  enum class Ambiguity : uint8_t { kNone, kWideInteger, kUnderflow, kRepeatedKey };
  Ambiguity ambiguity() const { return ambiguity_; }
  // The number as written, or the repeated key (decoded).
  const std::string& ambiguous_text() const { return ambiguous_text_; }
  // Where in the text parse() failed, for a caller that quotes what is
  // there.
  size_t error_offset() const { return error_offset_; }

  // Reading fields of the parsed document without building a Value.  Nodes
  // are numbered in document order; the root is node 0.  A string reads
  // back in the form the parse kept: decoded after a kValue parse; after a
  // kCanonical parse a key is decoded and a value string is in its canonical
  // escaped form (without the quotes).
  static constexpr uint32_t kNoNode = UINT32_MAX;
  enum class NodeKind : uint8_t { kString, kUint, kArray, kObject, kOther };
  NodeKind kind_at(uint32_t index) const;
  std::string_view string_at(uint32_t index) const { return string_of(nodes_[index]); }
  uint64_t uint_at(uint32_t index) const { return nodes_[index].u; }
  // The value of the root object's member `key` (of its last occurrence, as
  // a parse into a Value keeps it); kNoNode when the root is no object or
  // has no such member.
  uint32_t member(std::string_view key) const;
  // Calls fn(element index) for each element of the array at `index`.
  template <typename Fn>
  void for_each_element(uint32_t index, Fn&& fn) const {
    uint32_t element = index + 1;
    for (uint32_t k = 0; k < nodes_[index].begin; ++k, element = after(element)) fn(element);
  }

 private:
  // kDecimal: a float kept as its shortest digits (kCanonical parses only);
  // u holds the digits as an integer, begin their count, size the decimal
  // exponent of the first (two's complement) and negative the sign.
  enum class Type : uint8_t {
    kNull, kTrue, kFalse, kUint, kInt, kFloat, kDecimal, kString, kArray, kObject
  };
  struct Node {
    Type type;
    bool decoded;    // string bytes live in decoded_ rather than the source
    bool canonical;  // decoded_ holds the string's canonical escaped form
    bool negative;   // kDecimal: the number is negative
    uint32_t begin;  // string: offset of its bytes; array/object: member count
    uint32_t size;   // string: byte length
    uint32_t end;    // array/object: index one past the subtree's last node
    union {
      uint64_t u;
      int64_t i;
      double d;
    };
  };
  struct Member {
    uint64_t prefix;  // key_prefix() of the key
    uint32_t key;    // node index of the member's key
    uint32_t value;  // node index of the member's value
  };

  class Parser;
  std::string_view string_of(const Node& n) const;
  uint64_t key_prefix(const Node& key) const;
  uint32_t after(uint32_t index) const;
  char* write_node(uint32_t index, char* p);
  char* write_string(const Node& n, char* p) const;
  char* write_object(uint32_t index, char* p);
  void note_ambiguity(Ambiguity what, std::string_view text);
  Value value_at(uint32_t& index) const;
  size_t canonical_bound() const;

  // Set while stream_canonical() runs: where the buffered pieces start.
  Sink sink_ = nullptr;
  void* sink_context_ = nullptr;
  char* sink_buffer_ = nullptr;
  std::string stream_buffer_;

  std::string_view text_;
  std::vector<Node> nodes_;
  std::string decoded_;
  Target target_ = Target::kValue;
  std::vector<Member> members_;  // scratch stack for sorting object members
  size_t float_count_ = 0;       // floats may grow when written
  const char* reason_ = nullptr;
  size_t error_offset_ = 0;
  Ambiguity ambiguity_ = Ambiguity::kNone;
  std::string ambiguous_text_;
};

}  // namespace kestrix
