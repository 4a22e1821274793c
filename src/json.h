// The JSON value shared by the whole system, its parser and its writers.
//
// A Value is null, a boolean, a number held as exactly one of unsigned 64-bit
// (every non-negative integer), signed 64-bit (negative integers only) or a
// double, a UTF-8 string, an array, or an object.  Objects are kept sorted by
// key in byte order and hold each key once; inserting an existing key
// replaces its value.
//
// write_canonical() produces the canonical text (compact, sorted keys, fixed
// escapes and number forms): the bytes that are hashed and the form of every
// line the store writes.  JsonWriter writes the same forms with keys in the
// order the caller emits them, for typed records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error.h"

namespace kestrix {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;

// Object members sorted by key (byte-wise), each key once.
class Object {
 public:
  // Inserts or replaces the value of `key`.
  void set(std::string key, Value value);
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Appends a member whose key is greater than every key present (no check
  // beyond a debug assertion); used by builders that emit keys in order.
  void push_sorted(std::string key, Value value);
  // Restores the invariant after members were appended in any order: sorts
  // stably by key and keeps the last of each run of equal keys.
  void sort_and_dedupe();

  // Defined below Value: clang instantiates them eagerly and needs Value
  // complete.
  size_t size() const;
  bool empty() const;
  auto begin() const;
  auto end() const;
  std::vector<Member>& members() { return members_; }
  bool operator==(const Object& other) const;

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  enum class Kind { kNull, kBool, kUint, kInt, kFloat, kString, kArray, kObject };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(uint64_t u) : v_(u) {}
  // Negative integers are signed, the others unsigned.
  Value(int64_t i);
  Value(int i) : Value(static_cast<int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  // Accessors return nullptr when the value is of another kind.
  const bool* as_bool() const { return std::get_if<bool>(&v_); }
  const uint64_t* as_uint() const { return std::get_if<uint64_t>(&v_); }
  const int64_t* as_int() const { return std::get_if<int64_t>(&v_); }
  const double* as_float() const { return std::get_if<double>(&v_); }
  const std::string* as_string() const { return std::get_if<std::string>(&v_); }
  std::string* as_string() { return std::get_if<std::string>(&v_); }
  const Array* as_array() const { return std::get_if<Array>(&v_); }
  Array* as_array() { return std::get_if<Array>(&v_); }
  const Object* as_object() const { return std::get_if<Object>(&v_); }
  Object* as_object() { return std::get_if<Object>(&v_); }

  // Member lookup on an object; nullptr for other kinds or a missing key.
  const Value* get(std::string_view key) const;

  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

inline size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline auto Object::begin() const { return members_.begin(); }
inline auto Object::end() const { return members_.end(); }

// How deeply the parser lets arrays and objects nest.
constexpr int kMaxJsonDepth = 128;

// Parses one JSON document (whitespace around it allowed).  Errors read
// "<reason> at line <l> column <c>".  Refuses NaN/Infinity, lone surrogate
// escapes, invalid UTF-8 and nesting deeper than kMaxJsonDepth arrays and
// objects.
Result<Value> parse_json(std::string_view text);

// Appends the canonical text of `value` to `out`.
void write_canonical(const Value& value, std::string& out);
std::string to_canonical(const Value& value);

// Streaming writer with the canonical escapes and number forms; members are
// written in the order the caller gives them.  No validation of structure.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  JsonWriter& key(std::string_view k);
  JsonWriter& string(std::string_view s);
  JsonWriter& boolean(bool b);
  JsonWriter& null();
  JsonWriter& uint(uint64_t u);
  JsonWriter& sint(int64_t i);
  JsonWriter& number(double d);
  JsonWriter& value(const Value& v);  // canonical form of a whole value
  JsonWriter& string_array(const std::vector<std::string>& items);

 private:
  void separate();
  std::string& out_;
  bool need_comma_ = false;
};

// Low-level forms shared by the writers.
void append_json_string(std::string_view s, std::string& out);
void append_json_double(double d, std::string& out);

// Helpers for reading typed records out of parsed objects.
const std::string* get_string(const Value& object, std::string_view key);
const Array* get_array(const Value& object, std::string_view key);
// Converts an array whose items are all strings; false if any is not.
bool string_list(const Value& array, std::vector<std::string>& out);

}  // namespace kestrix
