// StringSet construction; lookups are inline in the header.
#include "line_filter.h"

#include <algorithm>

namespace kestrix {

StringSet::StringSet(const std::vector<std::string>& items) {
  items_ = items;
  std::sort(items_.begin(), items_.end());
  items_.erase(std::unique(items_.begin(), items_.end()), items_.end());
  size_t capacity = 16;
  while (capacity < items_.size() * 2) capacity *= 2;
  slots_.assign(capacity, Slot{});
  for (size_t i = 0; i < items_.size(); ++i) {
    uint64_t h = hash(items_[i]);
    size_t slot = h & (capacity - 1);
    while (slots_[slot].index != 0) slot = (slot + 1) & (capacity - 1);
    slots_[slot] = Slot{static_cast<uint32_t>(i + 1), static_cast<uint32_t>(h >> 32)};
    size_t n = items_[i].size();
    if (n >= length_seen_.size()) length_seen_.resize(n + 1, 0);
    length_seen_[n] = 1;
  }
}

}  // namespace kestrix
