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
  // About 16 bits per member (a few percent of false hits), at least a
  // cache line, at most 128 KiB.
  int bits = 9;
  while (bits < 20 && (size_t{1} << bits) < 16 * items_.size()) ++bits;
  fingerprint_shift_ = 64 - bits;
  fingerprints_.assign((size_t{1} << bits) / 64, 0);
  for (const std::string& item : items_) {
    const uint64_t bit = fingerprint(item) >> fingerprint_shift_;
    fingerprints_[bit / 64] |= uint64_t{1} << (bit % 64);
  }
}

}  // namespace kestrix
