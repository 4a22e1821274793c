// Fuzzes blame_diff on arbitrary pairs of line lists.
//
// Input: a mode byte, then
// - mode even: a length byte n, then one line per byte drawn from a small
//   alphabet (its size from the mode byte), the first n lines old and the
//   rest new: many repeated lines, where sliding and joining matter;
// - mode odd: two texts separated by the first NUL byte, split at line
//   feeds (empty lines kept).
// Checked: the opcodes are well formed (known tags, each range non-empty as
// its tag requires, contiguous from (0, 0) to the ends, equal and non-equal
// tuples alternating), "equal" slices are equal, and the lines they cover
// are a longest common subsequence (by dynamic programming, for inputs small
// enough).
#include <algorithm>
#include <string>
#include <vector>

#include "blame.h"
#include "fuzz_common.h"

using namespace kestrix;

namespace {

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  size_t start = 0;
  for (;;) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      return lines;
    }
    lines.emplace_back(text.substr(start, nl - start));
    start = nl + 1;
  }
}

size_t lcs_length(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<size_t> row(b.size() + 1, 0), prev(b.size() + 1, 0);
  for (size_t i = 1; i <= a.size(); ++i) {
    std::swap(row, prev);
    for (size_t j = 1; j <= b.size(); ++j)
      row[j] = a[i - 1] == b[j - 1] ? prev[j - 1] + 1 : std::max(prev[j], row[j - 1]);
  }
  return row[b.size()];
}

void check_opcodes(const std::vector<std::string>& a, const std::vector<std::string>& b,
                   const std::vector<Opcode>& ops) {
  if (a.empty() && b.empty()) {
    FUZZ_CHECK(ops.empty(), "two empty lists gave %zu opcodes", ops.size());
    return;
  }
  size_t i = 0, j = 0, equal_lines = 0;
  bool last_equal = false;
  for (size_t k = 0; k < ops.size(); ++k) {
    const Opcode& op = ops[k];
    const std::string tag = op.tag;
    FUZZ_CHECK(op.i1 == i && op.j1 == j, "opcode %zu starts at (%zu, %zu), expected (%zu, %zu)", k,
               op.i1, op.j1, i, j);
    FUZZ_CHECK(op.i1 <= op.i2 && op.j1 <= op.j2 && op.i2 <= a.size() && op.j2 <= b.size(),
               "opcode %zu has bad ranges", k);
    const size_t n_old = op.i2 - op.i1, n_new = op.j2 - op.j1;
    const bool is_equal = tag == "equal";
    if (is_equal) {
      FUZZ_CHECK(n_old == n_new && n_old > 0, "equal opcode %zu has lengths %zu, %zu", k, n_old, n_new);
      FUZZ_CHECK(std::equal(a.begin() + op.i1, a.begin() + op.i2, b.begin() + op.j1),
                 "equal opcode %zu covers different lines", k);
      equal_lines += n_old;
    } else if (tag == "delete") {
      FUZZ_CHECK(n_old > 0 && n_new == 0, "delete opcode %zu has lengths %zu, %zu", k, n_old, n_new);
    } else if (tag == "insert") {
      FUZZ_CHECK(n_old == 0 && n_new > 0, "insert opcode %zu has lengths %zu, %zu", k, n_old, n_new);
    } else {
      FUZZ_CHECK(tag == "replace", "unknown tag %s", tag.c_str());
      FUZZ_CHECK(n_old > 0 && n_new > 0, "replace opcode %zu has lengths %zu, %zu", k, n_old, n_new);
    }
    FUZZ_CHECK(k == 0 || is_equal != last_equal, "opcodes %zu and %zu are both %s", k - 1, k,
               is_equal ? "equal" : "edits");
    last_equal = is_equal;
    i = op.i2;
    j = op.j2;
  }
  FUZZ_CHECK(i == a.size() && j == b.size(), "opcodes end at (%zu, %zu) of (%zu, %zu)", i, j, a.size(),
             b.size());
  if (a.size() * b.size() <= 1'000'000) {
    const size_t lcs = lcs_length(a, b);
    FUZZ_CHECK(equal_lines == lcs, "equal opcodes cover %zu lines, the LCS has %zu", equal_lines, lcs);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t mode = in.byte();
  std::vector<std::string> old_lines, new_lines;
  if (mode % 2 == 0) {
    const size_t alphabet = 1 + (mode >> 1) % 8;
    const size_t n_old = in.byte();
    for (size_t k = 0; !in.empty(); ++k) {
      std::string line(1, static_cast<char>('a' + in.byte() % alphabet));
      (k < n_old ? old_lines : new_lines).push_back(std::move(line));
    }
  } else {
    std::string_view text = in.rest();
    size_t nul = text.find('\0');
    std::string_view old_text = text.substr(0, nul);
    std::string_view new_text = nul == std::string_view::npos ? std::string_view() : text.substr(nul + 1);
    old_lines = split_lines(old_text);
    new_lines = split_lines(new_text);
  }
  check_opcodes(old_lines, new_lines, blame_diff(old_lines, new_lines));
  return 0;
}
