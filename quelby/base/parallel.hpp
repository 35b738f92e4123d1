// Splitting a loop between the cores: a persistent pool of worker threads that sleep while idle
// (a spinning wait would take a shared machine's cores from other work). A range is cut into one
// contiguous part per thread, so every element is computed by exactly the same code wherever it
// runs; the caller's floating-point environment is applied in every worker for each run.
#pragma once

#include <cstdint>
#include <functional>

namespace quelby {

// Number of threads a parallel loop uses (the caller's plus the workers').
int parallel_thread_count() noexcept;

// Calls body(begin, end) on disjoint contiguous ranges covering [0, count), in parallel when
// count >= min_parallel_count and no other parallel loop is running; otherwise body(0, count) on
// the calling thread. Returns when every part is done. `body` must not throw.
void parallel_for(std::int64_t count, std::int64_t min_parallel_count,
                  const std::function<void(std::int64_t, std::int64_t)>& body);

}  // namespace quelby
