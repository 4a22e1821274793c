// StringSet: construction and the hash-table probe.
#include "line_filter.h"

#include <algorithm>

namespace kestrix {

// Mixes the length with the first and last eight bytes, which separates
// content hashes (the common members) while reading at most 16 bytes.
uint64_t StringSet::hash(std::string_view s) {
  uint64_t head = 0, tail = 0;
  if (s.size() >= 8) {
    memcpy(&head, s.data(), 8);
    memcpy(&tail, s.data() + s.size() - 8, 8);
  } else {
    memcpy(&head, s.data(), s.size());
  }
  uint64_t h = head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ (s.size() * 0xC2B2AE3D27D4EB4FULL);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  return h;
}

StringSet::StringSet(const std::vector<std::string>& items) {
  items_ = items;
  std::sort(items_.begin(), items_.end());
  items_.erase(std::unique(items_.begin(), items_.end()), items_.end());
  size_t capacity = 16;
  while (capacity < items_.size() * 2) capacity *= 2;
  slots_.assign(capacity, Slot{});
  for (const std::string& item : items_) {
    // Members are query arguments (ids, hashes, a license); a set whose
    // bytes exceed 4 GiB cannot arise.
    Slot entry{hash(item), static_cast<uint32_t>(bytes_.size()), static_cast<uint32_t>(item.size())};
    bytes_ += item;
    size_t slot = entry.hash & (capacity - 1);
    while (slots_[slot].length != kFree) slot = (slot + 1) & (capacity - 1);
    slots_[slot] = entry;
    if (item.size() >= length_seen_.size()) length_seen_.resize(item.size() + 1, 0);
    length_seen_[item.size()] = 1;
  }
}

bool StringSet::probe(std::string_view s) const {
  const size_t mask = slots_.size() - 1;
  const uint64_t h = hash(s);
  for (size_t slot = h & mask;; slot = (slot + 1) & mask) {
    const Slot& entry = slots_[slot];
    if (entry.length == kFree) return false;
    if (entry.hash == h && entry.length == s.size() &&
        memcmp(bytes_.data() + entry.offset, s.data(), s.size()) == 0)
      return true;
  }
}

}  // namespace kestrix
