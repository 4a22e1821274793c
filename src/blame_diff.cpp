// Line diff that carries blame across an edited file.
//
// blame_diff computes a minimal edit script between two lists of lines with
// Myers' linear-space O(ND) algorithm, slides each edit block as far as it
// can go so that edits separated only by shiftable lines join, and returns
// the result as difflib-style opcodes.  Lines are compared by exact string
// equality.  The result is always minimal: the lines covered by "equal"
// opcodes are a longest common subsequence.  Pure function; no shared state,
// safe to call from any thread.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "blame.h"

#include <span>

namespace kestrix {
namespace {

using LineId = uint32_t;

// A fast 64-bit hash of one line, eight bytes per step.  Only used to place
// lines in the interning table, where equal hashes are confirmed by comparing
// the strings, so it needs speed and spread, not strength.
uint64_t hash_line(std::string_view line) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t h = line.size() * kMul;
  const char* p = line.data();
  size_t left = line.size();
  for (; left >= 8; p += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = std::rotl((h ^ word) * kMul, 29);
  }
  if (left > 0) {
    uint64_t word = 0;
    if (line.size() >= 8) {
      std::memcpy(&word, p + left - 8, 8);  // the last eight bytes, overlapping
    } else {
      std::memcpy(&word, p, left);
    }
    h = std::rotl((h ^ word) * kMul, 29);
  }
  // Final avalanche so the low bits used as the table index depend on every byte.
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

// Interns lines as small integers so that the diff compares integers only.
// Equal strings get equal ids; different strings get different ids.  Lines
// are hashed a batch at a time and the table slots of the batch prefetched
// before probing: with hundreds of thousands of lines the table does not fit
// in cache and the probes would otherwise dominate.  A table of its own
// rather than a library's: interning is most of blame_diff's time, and this
// one (a 32-bit tag beside each id, probes batched) interns a 50,000-line
// diff about a fifth faster than Abseil's flat_hash_map did.
class LineInterner {
 public:
  explicit LineInterner(size_t expected_lines) {
    size_t capacity = 16;
    while (capacity < expected_lines * 2) capacity *= 2;  // load factor <= 1/2
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    lines_.reserve(expected_lines);
  }

  std::vector<LineId> intern_all(std::span<const std::string_view> lines) {
    std::vector<LineId> ids(lines.size());
    constexpr size_t kBatch = 32;
    uint64_t hashes[kBatch];
    for (size_t start = 0; start < lines.size(); start += kBatch) {
      const size_t count = std::min(kBatch, lines.size() - start);
      for (size_t i = 0; i < count; ++i) {
        hashes[i] = hash_line(lines[start + i]);
        __builtin_prefetch(&slots_[hashes[i] & mask_]);
      }
      for (size_t i = 0; i < count; ++i) ids[start + i] = intern(lines[start + i], hashes[i]);
    }
    return ids;
  }

  // Interns `lines`, an edited copy of `base` (interned just before as
  // `base_ids`): most lines repeat the base line after the last one they
  // matched, so each is first compared with that line, in cache order, and
  // only looked up when it differs.
  std::vector<LineId> intern_following(std::span<const std::string_view> lines,
                                       std::span<const std::string_view> base,
                                       const std::vector<LineId>& base_ids) {
    std::vector<size_t> base_pos(lines_.size());  // a base position of each id
    for (size_t i = 0; i < base_ids.size(); ++i) base_pos[base_ids[i]] = i;
    std::vector<LineId> ids(lines.size());
    size_t next = 0;  // the base line expected next
    for (size_t j = 0; j < lines.size(); ++j) {
      if (next < base.size() && lines[j] == base[next]) {
        ids[j] = base_ids[next++];
        continue;
      }
      ids[j] = intern(lines[j], hash_line(lines[j]));
      if (ids[j] < base_pos.size()) next = base_pos[ids[j]] + 1;
    }
    return ids;
  }

 private:
  struct Slot {
    uint32_t tag = 0;  // high bits of the hash, to skip most string compares
    LineId id = kEmpty;
  };
  static constexpr LineId kEmpty = UINT32_MAX;

  LineId intern(std::string_view line, uint64_t hash) {
    const uint32_t tag = uint32_t(hash >> 32);
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.id == kEmpty) {
        slot = Slot{tag, LineId(lines_.size())};
        lines_.push_back(line);
        return slot.id;
      }
      if (slot.tag == tag && lines_[slot.id] == line) return slot.id;
    }
  }

  std::vector<Slot> slots_;  // open addressing with linear probing
  size_t mask_ = 0;
  std::vector<std::string_view> lines_;  // the first line seen with each id
};

// One element of an edit script.  A deletion covers old[old_pos, old_pos+len)
// and stands at new_pos; an insertion covers new[new_pos, new_pos+len) and
// stands at old_pos; an equal run covers both ranges.
enum class RunKind : uint8_t { kEqual, kDelete, kInsert };

struct Run {
  RunKind kind;
  size_t old_pos, new_pos, len;

  size_t old_len() const { return kind == RunKind::kInsert ? 0 : len; }
  size_t new_len() const { return kind == RunKind::kDelete ? 0 : len; }
};

// Myers' divide-and-conquer diff over interned lines, appending runs in
// order.  Adjacent equal runs are joined as they are emitted (they would be
// joined later anyway and sliding treats them as one); edits are kept as the
// algorithm finds them.
class MyersDiff {
 public:
  // `a` and `b` hold n and m lines.  The frontiers of every sub-problem
  // fit in those of the whole, so they are allocated once, uninitialised:
  // a search reads only the diagonals it has written itself.
  MyersDiff(const LineId* a, size_t n, const LineId* b, size_t m, std::vector<Run>& out)
      : a_(a),
        b_(b),
        out_(out),
        reach_((n + m + 1) / 2 + 1),
        forward_(new ptrdiff_t[2 * reach_ + 1]),
        backward_(new ptrdiff_t[2 * reach_ + 1]) {}

  void diff(size_t x0, size_t x1, size_t y0, size_t y1) {
    const size_t prefix = common_forward(a_ + x0, b_ + y0, std::min(x1 - x0, y1 - y0));
    emit_equal(x0, y0, prefix);
    x0 += prefix;
    y0 += prefix;
    const size_t suffix = common_backward(a_ + x1, b_ + y1, std::min(x1 - x0, y1 - y0));
    x1 -= suffix;
    y1 -= suffix;
    if (x0 == x1) {
      if (y0 < y1) out_.push_back(Run{RunKind::kInsert, x0, y0, y1 - y0});
    } else if (y0 == y1) {
      out_.push_back(Run{RunKind::kDelete, x0, y0, x1 - x0});
    } else {
      auto [sx, sy] = middle_snake(x0, x1, y0, y1);
      diff(x0, sx, y0, sy);
      diff(sx, x1, sy, y1);
    }
    emit_equal(x1, y1, suffix);
  }

 private:
  // Number of equal ids starting at a and b, going forward, at most limit.
  static size_t common_forward(const LineId* a, const LineId* b, size_t limit) {
    size_t i = 0;
    while (i < limit && a[i] == b[i]) ++i;
    return i;
  }

  // Number of equal ids ending just before a_end and b_end, at most limit.
  static size_t common_backward(const LineId* a_end, const LineId* b_end, size_t limit) {
    size_t i = 0;
    while (i < limit && a_end[-1 - ptrdiff_t(i)] == b_end[-1 - ptrdiff_t(i)]) ++i;
    return i;
  }

  void emit_equal(size_t x, size_t y, size_t len) {
    if (len == 0) return;
    if (!out_.empty()) {
      Run& last = out_.back();
      if (last.kind == RunKind::kEqual && last.old_pos + last.len == x) {
        last.len += len;
        return;
      }
    }
    out_.push_back(Run{RunKind::kEqual, x, y, len});
  }

  // The frontier of a diagonal that no path reaches: below every x, so
  // that max() passes over it, and far enough from overflow.
  static constexpr ptrdiff_t kUnreached = PTRDIFF_MIN / 4;

  // The x one edit beyond frontier `v` on diagonal k (x - y = k), coming
  // from diagonal k - 1 (a step right) or from k + 1 (a step down), never
  // leaving the n-by-m grid; negative when that way is closed.
  static ptrdiff_t from_left(const ptrdiff_t* v, ptrdiff_t k, ptrdiff_t n) {
    return v[k - 1] < n ? v[k - 1] + 1 : kUnreached;
  }
  static ptrdiff_t from_above(const ptrdiff_t* v, ptrdiff_t k, ptrdiff_t m) {
    return v[k + 1] - (k + 1) < m ? v[k + 1] : kUnreached;
  }

  // Returns a point of an optimal path strictly inside the box (both halves
  // have a shorter edit distance than the whole): the start of the middle
  // snake.  Requires both ranges non-empty with differing first and last lines.
  std::pair<size_t, size_t> middle_snake(size_t x0, size_t x1, size_t y0, size_t y1) {
    return ((x1 - x0) - (y1 - y0)) % 2 != 0 ? search<true>(x0, x1, y0, y1)
                                             : search<false>(x0, x1, y0, y1);
  }

  // The search of middle_snake: round d takes both frontiers one edit
  // further on diagonals -d, -d + 2, .., d, the forward one first, and stops
  // at the first diagonal, in that order, where the two overlap (checked by
  // the forward pass when the box's sides differ by an odd number, else by
  // the backward pass).  The end diagonals of a round have one neighbour.
  template <bool kOdd>
  std::pair<size_t, size_t> search(size_t x0, size_t x1, size_t y0, size_t y1) {
    const LineId* a = a_ + x0;
    const LineId* b = b_ + y0;
    const ptrdiff_t n = ptrdiff_t(x1 - x0), m = ptrdiff_t(y1 - y0);
    const ptrdiff_t delta = n - m;
    const ptrdiff_t max_d = (n + m + 1) / 2;
    ptrdiff_t* vf = forward_.get() + reach_;   // vf[k]: furthest x on diagonal k
    ptrdiff_t* vb = backward_.get() + reach_;  // same, walking from the end backwards
    std::pair<size_t, size_t> found;

    // Slides the forward frontier of diagonal k from x along its snake;
    // true when it then overlaps the backward frontier of round d - 1.
    auto forward = [&](ptrdiff_t k, ptrdiff_t x, ptrdiff_t d) {
      if (x < 0) {
        vf[k] = kUnreached;
        return false;
      }
      const ptrdiff_t start_x = x;
      x += ptrdiff_t(common_forward(a + x, b + (x - k), size_t(std::min(n - x, m - (x - k)))));
      vf[k] = x;
      if constexpr (kOdd) {
        const ptrdiff_t back_k = delta - k;  // same diagonal in backward numbering
        if (back_k >= -(d - 1) && back_k <= d - 1 && vb[back_k] >= 0 && x + vb[back_k] >= n) {
          found = {x0 + size_t(start_x), y0 + size_t(start_x - k)};
          return true;
        }
      }
      return false;
    };
    // The same for the backward frontier, against the forward one of round d.
    auto backward = [&](ptrdiff_t k, ptrdiff_t x, ptrdiff_t d) {
      if (x < 0) {
        vb[k] = kUnreached;
        return false;
      }
      x += ptrdiff_t(common_backward(a + (n - x), b + (m - (x - k)), size_t(std::min(n - x, m - (x - k)))));
      vb[k] = x;
      if constexpr (!kOdd) {
        const ptrdiff_t fwd_k = delta - k;
        if (fwd_k >= -d && fwd_k <= d && vf[fwd_k] >= 0 && vf[fwd_k] + x >= n) {
          found = {x0 + size_t(n - x), y0 + size_t(m - (x - k))};
          return true;
        }
      }
      return false;
    };
    // One round of either frontier.
    auto round = [&](ptrdiff_t* v, ptrdiff_t d, auto&& advance) {
      if (d == 0) return advance(0, 0, 0);
      if (advance(-d, from_above(v, -d, m), d)) return true;
      for (ptrdiff_t k = -d + 2; k < d; k += 2)
        if (advance(k, std::max(from_left(v, k, n), from_above(v, k, m)), d)) return true;
      return advance(d, from_left(v, d, n), d);
    };

    for (ptrdiff_t d = 0; d <= max_d; ++d) {
      if (round(vf, d, forward) || round(vb, d, backward)) return found;
    }
    // Not reached: the frontiers always meet by step ceil((n+m)/2).  Should
    // it happen, splitting into "delete all, insert all" still terminates.
    return {x1, y0};
  }

  const LineId* a_;
  const LineId* b_;
  std::vector<Run>& out_;
  const size_t reach_;  // diagonals -reach_ .. reach_ cover every search
  std::unique_ptr<ptrdiff_t[]> forward_, backward_;
};

// Slides edit blocks along the script so that edits separated only by lines
// that can be shifted across them join into one block.  The runs live in a
// doubly linked list over a vector so that splitting and removing runs is
// O(1); every run keeps the list contiguous in both sequences.
class Compactor {
 public:
  Compactor(const std::vector<Run>& runs, const LineId* a, const LineId* b) : a_(a), b_(b) {
    nodes_.reserve(runs.size() + runs.size() / 2 + 4);
    for (const Run& run : runs) append(run);
  }

  void run() {
    compact_kind(RunKind::kDelete);
    compact_kind(RunKind::kInsert);
  }

  // Joins the compacted runs into opcodes: equal runs stay equal; all edits
  // between two equal runs become one delete, insert or replace.
  std::vector<Opcode> opcodes() const {
    std::vector<Opcode> ops;
    size_t gap_old = 0, gap_new = 0;
    for (int i = head_; i != kNone; i = nodes_[i].next) {
      const Run& r = nodes_[i].run;
      if (r.kind != RunKind::kEqual) continue;
      push_gap(ops, gap_old, r.old_pos, gap_new, r.new_pos);
      if (!ops.empty() && ops.back().tag[0] == 'e') {
        ops.back().i2 += r.len;
        ops.back().j2 += r.len;
      } else {
        ops.push_back(Opcode{"equal", r.old_pos, r.old_pos + r.len, r.new_pos, r.new_pos + r.len});
      }
      gap_old = r.old_pos + r.len;
      gap_new = r.new_pos + r.len;
    }
    if (tail_ != kNone) {
      const Run& last = nodes_[tail_].run;
      push_gap(ops, gap_old, last.old_pos + last.old_len(), gap_new, last.new_pos + last.new_len());
    }
    return ops;
  }

 private:
  static constexpr int kNone = -1;
  struct Node {
    Run run;
    int prev, next;
  };

  static void push_gap(std::vector<Opcode>& ops, size_t o1, size_t o2, size_t n1, size_t n2) {
    if (o1 == o2 && n1 == n2) return;
    const char* tag = o1 == o2 ? "insert" : n1 == n2 ? "delete" : "replace";
    ops.push_back(Opcode{tag, o1, o2, n1, n2});
  }

  void append(const Run& run) {
    nodes_.push_back(Node{run, tail_, kNone});
    int i = int(nodes_.size() - 1);
    if (tail_ == kNone) head_ = i; else nodes_[tail_].next = i;
    tail_ = i;
  }

  int insert_before(int at, const Run& run) {
    nodes_.push_back(Node{run, nodes_[at].prev, at});
    int i = int(nodes_.size() - 1);
    if (nodes_[at].prev == kNone) head_ = i; else nodes_[nodes_[at].prev].next = i;
    nodes_[at].prev = i;
    return i;
  }

  int insert_after(int at, const Run& run) {
    nodes_.push_back(Node{run, at, nodes_[at].next});
    int i = int(nodes_.size() - 1);
    if (nodes_[at].next == kNone) tail_ = i; else nodes_[nodes_[at].next].prev = i;
    nodes_[at].next = i;
    return i;
  }

  void unlink(int i) {
    const Node& node = nodes_[i];
    if (node.prev == kNone) head_ = node.next; else nodes_[node.prev].next = node.next;
    if (node.next == kNone) tail_ = node.prev; else nodes_[node.next].prev = node.prev;
  }

  // Swaps list neighbours `first` and `second` (first directly above second),
  // moving their positions so the script stays contiguous.
  void swap_adjacent(int first, int second) {
    Run& up = nodes_[first].run;
    Run& down = nodes_[second].run;
    down.old_pos = up.old_pos;
    down.new_pos = up.new_pos;
    up.old_pos += down.old_len();
    up.new_pos += down.new_len();
    std::swap(nodes_[first].run, nodes_[second].run);
  }

  // Lines of a block of this kind: old lines for deletions, new for insertions.
  const LineId* lines_of(RunKind kind) const { return kind == RunKind::kDelete ? a_ : b_; }
  static size_t pos_in(const Run& r, RunKind kind) { return kind == RunKind::kDelete ? r.old_pos : r.new_pos; }

  // Processes every block of `kind` in list order.
  void compact_kind(RunKind kind) {
    for (int i = head_; i != kNone;) {
      if (nodes_[i].run.kind != kind) {
        i = nodes_[i].next;
        continue;
      }
      i = slide_down(slide_up(i));
      i = nodes_[i].next;
    }
  }

  // Moves the block at `i` up as far as it goes; returns its node.
  int slide_up(int i) {
    const RunKind kind = nodes_[i].run.kind;
    const LineId* lines = lines_of(kind);
    for (int prev = nodes_[i].prev; prev != kNone; prev = nodes_[i].prev) {
      Run& above = nodes_[prev].run;
      if (above.kind == kind) {  // join the block above
        above.len += nodes_[i].run.len;
        unlink(i);
        i = prev;
      } else if (above.kind != RunKind::kEqual) {  // pass over the other kind of edit
        swap_adjacent(prev, i);
        i = prev;
      } else {
        Run& block = nodes_[i].run;
        const size_t above_end = pos_in(above, kind) + above.len;
        const size_t block_end = pos_in(block, kind) + block.len;
        size_t k = 0;
        while (k < above.len && lines[above_end - 1 - k] == lines[block_end - 1 - k]) ++k;
        if (k == 0) break;
        block.old_pos -= k;
        block.new_pos -= k;
        above.len -= k;
        move_equal_below(i, k);  // may reallocate: index only from here
        if (nodes_[prev].run.len != 0) break;
        unlink(prev);
      }
    }
    return i;
  }

  // Moves the block at `i` down as far as it goes; returns its node.
  int slide_down(int i) {
    const RunKind kind = nodes_[i].run.kind;
    const LineId* lines = lines_of(kind);
    for (int next = nodes_[i].next; next != kNone; next = nodes_[i].next) {
      Run& below = nodes_[next].run;
      if (below.kind == kind) {  // absorb the block below
        nodes_[i].run.len += below.len;
        unlink(next);
      } else if (below.kind != RunKind::kEqual) {
        swap_adjacent(i, next);
        i = next;
      } else {
        Run& block = nodes_[i].run;
        const size_t below_start = pos_in(below, kind);
        const size_t block_start = pos_in(block, kind);
        size_t k = 0;
        while (k < below.len && lines[block_start + k] == lines[below_start + k]) ++k;
        if (k == 0) break;
        const size_t left_old = block.old_pos, left_new = block.new_pos;
        block.old_pos += k;
        block.new_pos += k;
        below.old_pos += k;
        below.new_pos += k;
        below.len -= k;
        const bool below_used_up = below.len == 0;
        move_equal_above(i, left_old, left_new, k);  // may reallocate: no references below
        if (!below_used_up) break;
        unlink(next);
      }
    }
    return i;
  }

  // After a block moved up by k lines: those k lines now form an equal run
  // directly below it.
  void move_equal_below(int i, size_t k) {
    const Run& block = nodes_[i].run;
    const size_t o = block.old_pos + block.old_len(), n = block.new_pos + block.new_len();
    int next = nodes_[i].next;
    if (next != kNone && nodes_[next].run.kind == RunKind::kEqual) {
      Run& eq = nodes_[next].run;
      eq.old_pos -= k;
      eq.new_pos -= k;
      eq.len += k;
    } else {
      insert_after(i, Run{RunKind::kEqual, o, n, k});
    }
  }

  // After a block moved down by k lines from (old_pos, new_pos): the k lines
  // it left form an equal run directly above it.
  void move_equal_above(int i, size_t old_pos, size_t new_pos, size_t k) {
    int prev = nodes_[i].prev;
    if (prev != kNone && nodes_[prev].run.kind == RunKind::kEqual) {
      nodes_[prev].run.len += k;
    } else {
      insert_before(i, Run{RunKind::kEqual, old_pos, new_pos, k});
    }
  }

  const LineId* a_;
  const LineId* b_;
  std::vector<Node> nodes_;
  int head_ = kNone, tail_ = kNone;
};

}  // namespace

std::vector<Opcode> blame_diff(std::span<const std::string_view> old_lines,
                               std::span<const std::string_view> new_lines) {
  // Every line gets an id, the common prefix and suffix too: sliding may
  // move edit blocks into them.
  LineInterner interner(old_lines.size() + new_lines.size());
  const std::vector<LineId> a = interner.intern_all(old_lines);
  const std::vector<LineId> b = interner.intern_following(new_lines, old_lines, a);

  std::vector<Run> runs;
  MyersDiff(a.data(), a.size(), b.data(), b.size(), runs).diff(0, a.size(), 0, b.size());
  Compactor compactor(runs, a.data(), b.data());
  compactor.run();
  return compactor.opcodes();
}

std::vector<Opcode> blame_diff(const std::vector<std::string>& old_lines,
                               const std::vector<std::string>& new_lines) {
  const std::vector<std::string_view> a(old_lines.begin(), old_lines.end());
  const std::vector<std::string_view> b(new_lines.begin(), new_lines.end());
  return blame_diff(a, b);
}

}  // namespace kestrix
