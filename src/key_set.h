// KeySet: a set of byte-string keys, each with a count, built for millions
// of short keys, as the identity keys of a store merge.  Key bytes live in
// fixed chunks that never move, each key after its 8-byte count; the table
// holds a pointer, the length and a hash tag per key (16 bytes) with open
// addressing, so memory is about the key bytes plus 24-31 bytes per key.  A
// key counts as present while its count is above 0.  Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace kestrix {

class KeySet {
 public:
  KeySet();
  // Adds `key` with a count of 1; false (and nothing changes) when it was
  // already present.
  bool insert(std::string_view key);
  bool contains(std::string_view key) const;
  // Adds 1 to the count of `key`.
  void add(std::string_view key);
  // Takes 1 from the count of `key`; false when it was not present.
  bool take(std::string_view key);
  // The number of distinct keys ever added, present or not.
  size_t size() const { return size_; }

 private:
  struct Slot {
    char* data = nullptr;  // nullptr marks an empty slot; the count precedes it
    uint32_t length = 0;
    uint32_t tag = 0;  // high bits of the hash, to skip most comparisons
  };
  size_t find_slot(std::string_view key, uint64_t hash) const;
  // The slot of `key`, added with a count of 0 when missing.
  Slot& find_or_add(std::string_view key);
  char* store(std::string_view key);
  void grow();

  std::vector<Slot> slots_;
  size_t size_ = 0;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* current_ = nullptr;  // the chunk small keys are copied into
  size_t current_used_ = 0;
};

}  // namespace kestrix
