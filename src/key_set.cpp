#include "key_set.h"

#include <cstring>
#include <functional>

namespace kestrix {
namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr size_t kInitialSlots = 1024;

uint64_t hash_key(std::string_view key) { return std::hash<std::string_view>{}(key); }
uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

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
  return slots_[find_slot(key, hash_key(key))].data != nullptr;
}

bool KeySet::insert(std::string_view key) {
  const uint64_t hash = hash_key(key);
  size_t i = find_slot(key, hash);
  if (slots_[i].data != nullptr) return false;
  // Keep the load factor at most 7/10 so that probe runs stay short.
  if ((size_ + 1) * 10 > slots_.size() * 7) {
    grow();
    i = find_slot(key, hash);
  }
  slots_[i] = Slot{store(key), static_cast<uint32_t>(key.size()), tag_of(hash)};
  ++size_;
  return true;
}

const char* KeySet::store(std::string_view key) {
  // Keys of a quarter chunk or more get a chunk of their own.
  if (key.size() >= kChunkBytes / 4) {
    chunks_.push_back(std::make_unique<char[]>(key.size()));
    std::memcpy(chunks_.back().get(), key.data(), key.size());
    return chunks_.back().get();
  }
  if (current_ == nullptr || kChunkBytes - current_used_ < key.size()) {
    chunks_.push_back(std::make_unique<char[]>(kChunkBytes));
    current_ = chunks_.back().get();
    current_used_ = 0;
  }
  char* at = current_ + current_used_;
  std::memcpy(at, key.data(), key.size());
  current_used_ += key.size();
  return at;
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
