#include "key_set.h"

#include <cstring>

namespace kestrix {
namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;

// A stored key: its count (8 bytes), its length (4 bytes) and its bytes,
// unaligned.
constexpr size_t kCountBytes = sizeof(uint64_t);
constexpr size_t kHeadBytes = kCountBytes + sizeof(uint32_t);

uint64_t count_of(const char* stored) {
  uint64_t count;
  std::memcpy(&count, stored, kCountBytes);
  return count;
}

void set_count(char* stored, uint64_t count) { std::memcpy(stored, &count, kCountBytes); }

}  // namespace

std::string_view KeySet::bytes_of(const char* stored) {
  uint32_t length;
  std::memcpy(&length, stored + kCountBytes, sizeof length);
  return {stored + kHeadBytes, length};
}

bool KeySet::contains(std::string_view key) const {
  auto it = table_.find(key);
  return it != table_.end() && count_of(*it) > 0;
}

char* KeySet::find_or_add(std::string_view key) {
  // The key is copied into a chunk only when the table takes it.
  return *table_.insert(ToStore{key, this}).first;
}

bool KeySet::insert(std::string_view key) {
  char* stored = find_or_add(key);
  if (count_of(stored) > 0) return false;
  set_count(stored, 1);
  return true;
}

void KeySet::add(std::string_view key) {
  char* stored = find_or_add(key);
  set_count(stored, count_of(stored) + 1);
}

bool KeySet::take(std::string_view key) {
  auto it = table_.find(key);
  if (it == table_.end()) return false;
  const uint64_t count = count_of(*it);
  if (count == 0) return false;
  set_count(*it, count - 1);
  return true;
}

// Copies `key` after a zero count and its length.
char* KeySet::store(std::string_view key) {
  const size_t size = kHeadBytes + key.size();
  char* at;
  // Keys of a quarter chunk or more get a chunk of their own.
  if (size >= kChunkBytes / 4) {
    chunks_.push_back(std::make_unique<char[]>(size));
    at = chunks_.back().get();
  } else {
    if (current_ == nullptr || kChunkBytes - current_used_ < size) {
      chunks_.push_back(std::make_unique<char[]>(kChunkBytes));
      current_ = chunks_.back().get();
      current_used_ = 0;
    }
    at = current_ + current_used_;
    current_used_ += size;
  }
  const auto length = static_cast<uint32_t>(key.size());
  std::memset(at, 0, kCountBytes);
  std::memcpy(at + kCountBytes, &length, sizeof length);
  std::memcpy(at + kHeadBytes, key.data(), key.size());
  return at;
}

}  // namespace kestrix
