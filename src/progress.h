// Progress of long operations for whoever watches them from another thread:
// the operation adds the bytes it has done to a counter that a
// ProgressScope installed on its thread, and the watcher reads that counter
// whenever it likes.  Without a scope, progress_add() does nothing, so an
// operation reports progress at the cost of one thread-local load.
#pragma once
#include <atomic>
#include <cstdint>

namespace kestrix {

// Makes `counter` the progress counter of the calling thread until the
// scope ends (scopes nest; the previous counter comes back).
class ProgressScope {
 public:
  explicit ProgressScope(std::atomic<uint64_t>& counter);
  ~ProgressScope();
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

 private:
  std::atomic<uint64_t>* previous_;
};

// Adds `bytes` to the calling thread's progress counter, if it has one.
void progress_add(uint64_t bytes);

}  // namespace kestrix
