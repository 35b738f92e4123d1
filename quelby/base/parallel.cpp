#include "quelby/base/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace quelby {

namespace {

constexpr int max_threads = 64;

// The floating-point control state that decides results (flush-to-zero, denormals-are-zero,
// rounding), carried from the caller to the workers.
struct FloatingPointControl {
#if defined(__x86_64__) || defined(__i386__)
  unsigned csr = 0;
  static FloatingPointControl capture() {
    return {_mm_getcsr()};
  }
  void apply() const {
    if (_mm_getcsr() != csr) _mm_setcsr(csr);
  }
#elif defined(__aarch64__)
  unsigned long fpcr = 0;
  static FloatingPointControl capture() {
    FloatingPointControl control;
    asm volatile("mrs %0, fpcr" : "=r"(control.fpcr));
    return control;
  }
  void apply() const {
    asm volatile("msr fpcr, %0" : : "r"(fpcr));
  }
#else
  static FloatingPointControl capture() {
    return {};
  }
  void apply() const {}
#endif
};

int usable_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  int count = 0;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) count = CPU_COUNT(&set);
  if (count <= 0) count = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(count, 1, max_threads);
}

class WorkerPool {
 public:
  WorkerPool() { start_workers(usable_cores()); }

  ~WorkerPool() { stop_workers(); }

  int thread_count() const noexcept { return thread_count_; }

  // Replaces the workers by count - 1 new ones once no loop is running.
  int resize(int count) {
    count = std::clamp(count, 1, max_threads);
    for (bool idle = false; !busy_.compare_exchange_weak(idle, true); idle = false) {
      std::this_thread::yield();
    }
    if (count != thread_count_) {
      stop_workers();
      start_workers(count);
    }
    const int result = thread_count_;
    busy_.store(false);
    return result;
  }

  // Runs body on the parts of [0, count); false when the pool is busy with another caller.
  bool run(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>& body) {
    bool idle = false;
    if (!busy_.compare_exchange_strong(idle, true)) return false;
    count_ = count;
    body_ = &body;
    control_ = FloatingPointControl::capture();
    pending_.store(thread_count_ - 1);
    generation_.fetch_add(1);
    generation_.notify_all();
    run_part(0);
    for (int left = pending_.load(); left != 0; left = pending_.load()) pending_.wait(left);
    body_ = nullptr;
    busy_.store(false);
    return true;
  }

 private:
  void start_workers(int count) {
    stopping_.store(false);
    // A new worker waits for the next generation, not one already run.
    const std::uint32_t seen = generation_.load();
    try {
      for (int worker = 1; worker < count; ++worker) {
        threads_.emplace_back([this, worker, seen] { work(worker, seen); });
      }
    } catch (...) {
      // Fewer threads than cores is still correct.
    }
    thread_count_ = static_cast<int>(threads_.size()) + 1;
  }

  void stop_workers() {
    stopping_.store(true);
    generation_.fetch_add(1);
    generation_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  void run_part(int part) const {
    const std::int64_t begin = count_ * part / thread_count_;
    const std::int64_t end = count_ * (part + 1) / thread_count_;
    if (begin < end) (*body_)(begin, end);
  }

  void work(int part, std::uint32_t seen) {
    for (;;) {
      generation_.wait(seen);
      seen = generation_.load();
      if (stopping_.load()) return;
      control_.apply();
      run_part(part);
      if (pending_.fetch_sub(1) == 1) pending_.notify_one();
    }
  }

  std::atomic<int> thread_count_{1};  // read without the pool's lock by parallel_for
  std::vector<std::thread> threads_;
  std::atomic<bool> busy_{false};  // also refuses a parallel loop nested in another
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<int> pending_{0};
  std::atomic<bool> stopping_{false};
  std::int64_t count_ = 0;
  const std::function<void(std::int64_t, std::int64_t)>* body_ = nullptr;
  FloatingPointControl control_;
};

WorkerPool& pool() {
  static WorkerPool instance;
  return instance;
}

}  // namespace

int parallel_thread_count() noexcept {
  return pool().thread_count();
}

int set_parallel_thread_count(int count) {
  return pool().resize(count);
}

void parallel_for(std::int64_t count, std::int64_t min_parallel_count,
                  const std::function<void(std::int64_t, std::int64_t)>& body) {
  if (count <= 0) return;
  if (count < min_parallel_count || pool().thread_count() < 2 || !pool().run(count, body)) {
    body(0, count);
  }
}

}  // namespace quelby
