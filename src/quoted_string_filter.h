// A cheap test whether a line of JSON may hold one of a set of strings as a
// string value, used to skip parsing lines that cannot matter.
//
// Without a backslash a line has no escapes, so a string value equal to s
// appears in it literally as "s"; the test looks for such a quoted run at
// every double quote.  Lines with a backslash always pass.  The filter keeps
// views of the strings it was built from: they must outlive it.  Read-only
// after construction, so it may be shared by worker threads.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <unordered_set>

namespace kestrix {

class QuotedStringFilter {
 public:
  template <typename Strings>
  explicit QuotedStringFilter(const Strings& strings) {
    for (const std::string& s : strings) {
      strings_.insert(s);
      lengths_.insert(s.size());
    }
  }

  bool may_hold(std::string_view line) const {
    if (line.find('\\') != std::string_view::npos) return true;
    for (size_t q = line.find('"'); q != std::string_view::npos; q = line.find('"', q + 1)) {
      for (size_t len : lengths_) {
        const size_t close = q + 1 + len;
        if (close < line.size() && line[close] == '"' && strings_.contains(line.substr(q + 1, len)))
          return true;
      }
    }
    return false;
  }

 private:
  std::unordered_set<std::string_view> strings_;
  std::set<size_t> lengths_;
};

}  // namespace kestrix
