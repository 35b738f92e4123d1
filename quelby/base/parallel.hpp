// Splitting a loop between the cores: a persistent pool of worker threads that sleep while idle
// (a spinning wait would take a shared machine's cores from other work). A range is cut into one
// contiguous part per thread, so every element is computed by exactly the same code wherever it
// runs; the caller's floating-point environment is applied in every worker for each run.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

namespace quelby {

// Number of threads a parallel loop uses (the caller's plus the workers'): at first the count of
// cores the process may run on (its CPU affinity), or what set_parallel_thread_count set.
int parallel_thread_count() noexcept;

// Makes later parallel loops use `count` threads (clamped to 1..64), so that several processes
// sharing a machine (one inversion each) do not oversubscribe its cores; returns the count now in
// force, which may be smaller when the system refuses new threads. Waits for a loop that is
// running to end (never call it from a loop's body); results are the same bits on any count.
int set_parallel_thread_count(int count);

// Calls body(begin, end) on disjoint contiguous ranges covering [0, count), in parallel when
// count >= min_parallel_count and no other parallel loop is running; otherwise body(0, count) on
// the calling thread. Returns when every part is done. `body` must not throw.
void parallel_for(std::int64_t count, std::int64_t min_parallel_count,
                  const std::function<void(std::int64_t, std::int64_t)>& body);

// parallel_for for a body that may throw: every part runs to its end or its exception, and the
// first exception of any part is rethrown on the calling thread once all have returned.
template <typename Body>
void parallel_for_rethrowing(std::int64_t count, std::int64_t min_parallel_count, Body&& body) {
  std::exception_ptr failure;
  std::mutex failure_mutex;
  parallel_for(count, min_parallel_count, [&](std::int64_t begin, std::int64_t end) {
    try {
      body(begin, end);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quelby
