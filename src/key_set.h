// KeySet: a set of byte-string keys built for millions of short keys, as the
// identity keys of a store merge.  Key bytes live in fixed chunks that never
// move; the table holds a pointer, the length and a hash tag per key (16
// bytes) with open addressing, so memory is about the key bytes plus 16-23
// bytes per key.  Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace kestrix {

class KeySet {
 public:
  KeySet();
  // Adds `key`; false when it was already present.
  bool insert(std::string_view key);
  bool contains(std::string_view key) const;
  size_t size() const { return size_; }

 private:
  struct Slot {
    const char* data = nullptr;  // nullptr marks an empty slot
    uint32_t length = 0;
    uint32_t tag = 0;  // high bits of the hash, to skip most comparisons
  };
  size_t find_slot(std::string_view key, uint64_t hash) const;
  const char* store(std::string_view key);
  void grow();

  std::vector<Slot> slots_;
  size_t size_ = 0;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* current_ = nullptr;  // the chunk small keys are copied into
  size_t current_used_ = 0;
};

}  // namespace kestrix
