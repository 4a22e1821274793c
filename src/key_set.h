// KeySet: a set of byte-string keys, each with a count, built for millions
// of short keys, as the identity keys of a store merge.  Key bytes live in
// fixed chunks that never move, each key after its 8-byte count and 4-byte
// length; the hash table (a FlatSet) holds one pointer per key,
// so memory is about the key bytes plus 22-33 bytes per key.  A key counts
// as present while its count is above 0.  Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "hash_tables.h"

namespace kestrix {

class KeySet {
 public:
  // Adds `key` with a count of 1; false (and nothing changes) when it was
  // already present.
  bool insert(std::string_view key);
  bool contains(std::string_view key) const;
  // Adds 1 to the count of `key`.
  void add(std::string_view key);
  // Takes 1 from the count of `key`; false when it was not present.
  bool take(std::string_view key);
  // The number of distinct keys ever added, present or not.
  size_t size() const { return table_.size(); }

 private:
  // A stored key: the address of its count, which its length and bytes
  // follow.  Hashed and compared by its bytes, so that a plain string_view
  // looks it up.
  using Stored = char*;
  static std::string_view bytes_of(const char* stored);
  // A key on its way into the table: stored once the table takes it.
  struct ToStore {
    std::string_view key;
    KeySet* set;
    explicit operator char*() const { return set->store(key); }
  };
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return StringHash{}(key); }
    size_t operator()(const char* stored) const { return (*this)(bytes_of(stored)); }
    size_t operator()(const ToStore& key) const { return (*this)(key.key); }
  };
  struct Eq {
    using is_transparent = void;
    static std::string_view view(std::string_view key) { return key; }
    static std::string_view view(const char* stored) { return bytes_of(stored); }
    static std::string_view view(const ToStore& key) { return key.key; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const { return view(a) == view(b); }
  };

  // The stored key equal to `key`, added with a count of 0 when missing.
  char* find_or_add(std::string_view key);
  char* store(std::string_view key);

  FlatSet<Stored, Hash, Eq> table_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* current_ = nullptr;  // the chunk small keys are copied into
  size_t current_used_ = 0;
};

}  // namespace kestrix
