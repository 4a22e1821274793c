// The process-wide worker pool, created on first use: one thread fewer than
// the available CPUs, since the calling thread of a loop works on its tasks
// too (so a task may itself use the pool without deadlock).  parallel_map()
// runs one task per index and returns the results in index order.  Tasks
// must not touch Python objects.  After fork() the child gets a fresh pool on
// its first use, of the size held in the parent.  hold_threads() sets that
// size, for processes that share a host's CPUs with others of their kind.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace kestrix {

// Runs fn(i) for every i in [0, n), spread over the pool; returns when all
// have finished.  fn must not throw.
void parallel_for(size_t n, const std::function<void(size_t)>& fn);

// Runs work(i) for every i in [0, n) on the pool, and consume(i) on the
// calling thread in index order, each as soon as work(i) has finished, so
// that consuming early results overlaps working on later ones.  Work runs
// only a few indexes (twice the pool's size) ahead of consume, so results
// awaiting consumption stay few however slow consume is.  The calling
// thread works too while it would otherwise wait.  Neither may throw.
void parallel_for_ordered(size_t n, const std::function<void(size_t)>& work,
                          const std::function<void(size_t)>& consume);

// Number of threads that work on a loop, the calling thread included.
size_t pool_size();

// Holds the pool to `threads` threads working on a loop, the calling thread
// included (at most kMaxThreads); 0 returns to one per CPU.  Returns the
// number of threads loops use from now on.  Safe before the pool exists,
// which is then created at that size, and while loops run: a thread leaves
// only between two loops, so a running loop keeps its threads to its end
// and no task is lost; loops begun after the call use the new size.
size_t hold_threads(size_t threads);
inline constexpr size_t kMaxThreads = 1024;

// The number hold_threads() holds the pool to, or 0 when it is not held.
size_t held_threads();

template <typename R, typename Fn>
std::vector<R> parallel_map(size_t n, Fn&& fn) {
  std::vector<R> results(n);
  parallel_for(n, [&](size_t i) { results[i] = fn(i); });
  return results;
}

}  // namespace kestrix
