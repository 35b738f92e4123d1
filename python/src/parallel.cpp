// The worker pool's thread count for Python: how many threads the library's parallel loops use in
// this process, set per process so that several inversions sharing a machine (Dask's workers, one
// inversion each) do not oversubscribe its cores.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "quelby/base/parallel.hpp"

namespace quelby::python {

void bind_parallel(py::module_& module) {
  module.def(
      "thread_count", [] { return parallel_thread_count(); },
      "thread_count() -> int\n\nThe number of threads the library's parallel loops use in this "
      "process (the caller's and the pool's workers): at first the count of cores the process "
      "may run on (its CPU affinity), or what set_thread_count set.");
  module.def(
      "set_thread_count",
      [](int count) {
        const py::gil_scoped_release released;
        return set_parallel_thread_count(count);
      },
      py::arg("count"),
      "set_thread_count(count) -> int\n\nMakes the library's later parallel loops in this process "
      "use `count` threads (clamped to 1..64) and returns the count in force; waits for a loop "
      "that is running to end. Results are the same bits on any count. quelby.invert_many sets "
      "it in each of Dask's worker processes (threads_per_run), so that the workers of one "
      "machine together use no more threads than it has cores. BLAS threads (OpenBLAS, used by "
      "CHOLMOD and LAPACK) are set apart from it, by OPENBLAS_NUM_THREADS before the process "
      "starts.");
}

}  // namespace quelby::python
