// Worker pool: threads wait on a queue of jobs; a parallel_for posts one job
// per thread that claims indexes from a shared counter, and the caller claims
// indexes too, so the loop finishes even if no worker ever runs (e.g. in a
// child process after fork).
#include "pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrix {

namespace {

// What the pool's threads run.
struct Job {
  virtual ~Job() = default;
  virtual void work() = 0;
};

struct Loop : Job {
  size_t n;
  const std::function<void(size_t)>* fn;
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::mutex mu;
  std::condition_variable finished;

  // Claims and runs indexes until none are left.
  void work() override {
    for (;;) {
      size_t i = next.fetch_add(1);
      if (i >= n) return;
      (*fn)(i);
      if (done.fetch_add(1) + 1 == n) {
        std::lock_guard<std::mutex> lock(mu);
        finished.notify_all();
      }
    }
  }
};

class Pool {
 public:
  explicit Pool(size_t threads) { resize(threads); }

  // Starts threads up to `threads`, or lets those beyond it leave once they
  // are idle.  A loop never waits for a posted job (its caller claims every
  // index left over), so jobs still queued when the last thread leaves are
  // dropped unharmed.
  void resize(size_t threads) {
    std::lock_guard<std::mutex> lock(mu_);
    target_ = threads;
    for (; live_ < target_; ++live_) std::thread([this] { run(); }).detach();
    if (target_ == 0) jobs_.clear();
    cv_.notify_all();
  }

  void post(std::shared_ptr<Job> loop) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs_.push_back(std::move(loop));
    }
    cv_.notify_one();
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return target_;
  }

 private:
  void run() {
    for (;;) {
      std::shared_ptr<Job> loop;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return !jobs_.empty() || live_ > target_; });
        if (live_ > target_) {
          --live_;
          return;
        }
        loop = std::move(jobs_.front());
        jobs_.pop_front();
      }
      loop->work();
    }
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Job>> jobs_;
  size_t target_ = 0;  // threads wanted
  size_t live_ = 0;    // threads started and not yet left
};

std::mutex g_pool_mu;
Pool* g_pool = nullptr;  // intentionally leaked: threads outlive static destruction
size_t g_held = 0;       // hold_threads(); 0: one thread per CPU

void forget_pool_in_child() { g_pool = nullptr; }

// Threads working on a loop, the caller included.  (One more than the CPUs
// kept a thread waiting for a CPU at every loop's end.)
size_t wanted_threads() {
  return g_held ? g_held : std::max<size_t>(2, std::thread::hardware_concurrency());
}

Pool& pool() {
  std::lock_guard<std::mutex> lock(g_pool_mu);
  if (!g_pool) {
    static bool registered = [] {
      pthread_atfork(nullptr, nullptr, forget_pool_in_child);
      return true;
    }();
    (void)registered;
    g_pool = new Pool(wanted_threads() - 1);  // the caller works on its loops too
  }
  return *g_pool;
}

// A loop whose results the calling thread takes in index order while the
// pool's threads still work on later indexes.  Indexes are claimed at most
// `window` ahead of the one being consumed, so results waiting to be
// consumed stay few however slow the consumer is.
struct OrderedLoop : Job {
  size_t n;
  size_t window;
  const std::function<void(size_t)>* fn;
  std::mutex mu;
  std::condition_variable progress;
  size_t next = 0;      // guarded by mu, as are the two below
  size_t consumed = 0;
  std::vector<char> done;

  OrderedLoop(size_t count, size_t ahead) : n(count), window(ahead), done(count, 0) {}

  bool claimable() const { return next < n && next < consumed + window; }

  // Runs index i, claimed under the lock, which is released meanwhile.
  void run(size_t i, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    (*fn)(i);
    lock.lock();
    done[i] = 1;
    progress.notify_all();
  }
  void work() override {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      progress.wait(lock, [&] { return next >= n || claimable(); });
      if (next >= n) return;
      run(next++, lock);
    }
  }
  // On the calling thread: until index k is done, helps with the work left
  // or waits for the threads.
  void await(size_t k) {
    std::unique_lock<std::mutex> lock(mu);
    while (!done[k]) {
      if (claimable()) run(next++, lock);
      else progress.wait(lock, [&] { return done[k] || claimable(); });
    }
  }
  void consume_done() {
    {
      std::lock_guard<std::mutex> lock(mu);
      ++consumed;
    }
    progress.notify_all();
  }
};

}  // namespace

size_t pool_size() { return pool().size() + 1; }

size_t hold_threads(size_t threads) {
  std::lock_guard<std::mutex> lock(g_pool_mu);
  g_held = std::min(threads, kMaxThreads);
  if (g_pool) g_pool->resize(wanted_threads() - 1);
  return wanted_threads();
}

size_t held_threads() {
  std::lock_guard<std::mutex> lock(g_pool_mu);
  return g_held;
}

void parallel_for_ordered(size_t n, const std::function<void(size_t)>& work,
                          const std::function<void(size_t)>& consume) {
  if (n == 0) return;
  Pool& p = pool();
  auto loop = std::make_shared<OrderedLoop>(n, 2 * (p.size() + 1));
  loop->fn = &work;
  for (size_t i = 0; i < std::min(n, p.size()); ++i) p.post(loop);
  for (size_t k = 0; k < n; ++k) {
    loop->await(k);
    consume(k);
    loop->consume_done();
  }
}

void parallel_for(size_t n, const std::function<void(size_t)>& fn) {
  if (n == 0) return;
  if (n == 1) {
    fn(0);
    return;
  }
  auto loop = std::make_shared<Loop>();
  loop->n = n;
  loop->fn = &fn;
  Pool& p = pool();
  size_t helpers = std::min(n - 1, p.size());
  for (size_t i = 0; i < helpers; ++i) p.post(loop);
  loop->work();
  std::unique_lock<std::mutex> lock(loop->mu);
  loop->finished.wait(lock, [&] { return loop->done.load() == n; });
}

}  // namespace kestrix
