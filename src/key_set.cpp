#include "key_set.h"

#include <cstring>
#include <functional>

namespace kestrix {
namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr size_t kInitialSlots = 1024;

uint64_t hash_key(std::string_view key) { return std::hash<std::string_view>{}(key); }
uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

// A key's count is kept, unaligned, in the 8 bytes before its bytes.
constexpr size_t kCountBytes = sizeof(uint64_t);

uint64_t count_of(const char* key) {
  uint64_t count;
  std::memcpy(&count, key - kCountBytes, kCountBytes);
  return count;
}

void set_count(char* key, uint64_t count) { std::memcpy(key - kCountBytes, &count, kCountBytes); }

}  // namespace

KeySet::KeySet() : slots_(kInitialSlots) {}

size_t KeySet::find_slot(std::string_view key, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;  // size is a power of two
  const uint32_t tag = tag_of(hash);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.data == nullptr) return i;
    if (slot.tag == tag && slot.length == key.size() &&
        std::memcmp(slot.data, key.data(), key.size()) == 0)
      return i;
  }
}

bool KeySet::contains(std::string_view key) const {
  const Slot& slot = slots_[find_slot(key, hash_key(key))];
  return slot.data != nullptr && count_of(slot.data) > 0;
}

KeySet::Slot& KeySet::find_or_add(std::string_view key) {
  const uint64_t hash = hash_key(key);
  size_t i = find_slot(key, hash);
  if (slots_[i].data != nullptr) return slots_[i];
  // Keep the load factor at most 7/10 so that probe runs stay short.
  if ((size_ + 1) * 10 > slots_.size() * 7) {
    grow();
    i = find_slot(key, hash);
  }
  slots_[i] = Slot{store(key), static_cast<uint32_t>(key.size()), tag_of(hash)};
  ++size_;
  return slots_[i];
}

bool KeySet::insert(std::string_view key) {
  Slot& slot = find_or_add(key);
  if (count_of(slot.data) > 0) return false;
  set_count(slot.data, 1);
  return true;
}

void KeySet::add(std::string_view key) {
  Slot& slot = find_or_add(key);
  set_count(slot.data, count_of(slot.data) + 1);
}

bool KeySet::take(std::string_view key) {
  Slot& slot = slots_[find_slot(key, hash_key(key))];
  if (slot.data == nullptr) return false;
  const uint64_t count = count_of(slot.data);
  if (count == 0) return false;
  set_count(slot.data, count - 1);
  return true;
}

// Copies `key` after a zero count and returns where its bytes begin.
char* KeySet::store(std::string_view key) {
  const size_t size = kCountBytes + key.size();
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
  std::memset(at, 0, kCountBytes);
  std::memcpy(at + kCountBytes, key.data(), key.size());
  return at + kCountBytes;
}

void KeySet::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.size() * 2, Slot{});
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.data == nullptr) continue;
    const uint64_t hash = hash_key(std::string_view(slot.data, slot.length));
    size_t i = hash & mask;
    while (slots_[i].data != nullptr) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

}  // namespace kestrix
