// StringSet: open addressing over a hash of a member's length and its first
// and last eight bytes, which separates content hashes (the common members)
// at the cost of reading at most sixteen bytes.
#include "line_filter.h"

#include <algorithm>

namespace kestrix {
namespace {

uint64_t load_prefix(const char* p, size_t n) {
  uint64_t v = 0;
  memcpy(&v, p, n < 8 ? n : 8);
  return v;
}

uint64_t string_hash(std::string_view s) {
  uint64_t head = load_prefix(s.data(), s.size());
  uint64_t tail = s.size() > 8 ? load_prefix(s.data() + s.size() - 8, 8) : 0;
  uint64_t h = head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ (s.size() * 0xC2B2AE3D27D4EB4FULL);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  return h;
}

}  // namespace

StringSet::StringSet(const std::vector<std::string>& items) {
  items_ = items;
  std::sort(items_.begin(), items_.end());
  items_.erase(std::unique(items_.begin(), items_.end()), items_.end());
  size_t capacity = 16;
  while (capacity < items_.size() * 2) capacity *= 2;
  slots_.assign(capacity, 0);
  for (size_t i = 0; i < items_.size(); ++i) {
    size_t slot = string_hash(items_[i]) & (capacity - 1);
    while (slots_[slot] != 0) slot = (slot + 1) & (capacity - 1);
    slots_[slot] = static_cast<uint32_t>(i + 1);
    size_t n = items_[i].size();
    if (n >= length_seen_.size()) length_seen_.resize(n + 1, 0);
    length_seen_[n] = 1;
  }
}

bool StringSet::contains_hashed(std::string_view s) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = string_hash(s) & mask;; slot = (slot + 1) & mask) {
    uint32_t index = slots_[slot];
    if (index == 0) return false;
    if (items_[index - 1] == s) return true;
  }
}

}  // namespace kestrix
