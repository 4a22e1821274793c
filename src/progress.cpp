// Per-thread progress counters (see progress.h).
#include "progress.h"

namespace kestrix {
namespace {

thread_local std::atomic<uint64_t>* t_counter = nullptr;

}  // namespace

ProgressScope::ProgressScope(std::atomic<uint64_t>& counter) : previous_(t_counter) {
  t_counter = &counter;
}

ProgressScope::~ProgressScope() { t_counter = previous_; }

void progress_add(uint64_t bytes) {
  if (t_counter != nullptr) t_counter->fetch_add(bytes, std::memory_order_relaxed);
}

}  // namespace kestrix
