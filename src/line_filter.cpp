// StringSet: construction.
#include "line_filter.h"

#include <algorithm>

namespace kestrix {

StringSet::StringSet(const std::vector<std::string>& items)
    : items_(items), members_(items.begin(), items.end()) {
  std::sort(items_.begin(), items_.end());
  items_.erase(std::unique(items_.begin(), items_.end()), items_.end());
  for (const std::string& item : items_) {
    if (item.size() >= length_seen_.size()) length_seen_.resize(item.size() + 1, 0);
    length_seen_[item.size()] = 1;
  }
}

}  // namespace kestrix
