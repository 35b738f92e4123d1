#include "quelby/forward/dense.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>

extern "C" {
void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
            const double* beta, double* c, const int* ldc, std::size_t, std::size_t);
void dsyrk_(const char* uplo, const char* trans, const int* n, const int* k, const double* alpha,
            const double* a, const int* lda, const double* beta, double* c, const int* ldc,
            std::size_t, std::size_t);
}

namespace quelby::dense {
namespace {

int as_int(std::size_t value) {
  if (value > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
  return static_cast<int>(value);
}

// OpenBLAS's thread-count controls when the process's BLAS is an OpenBLAS, and the holders of
// SingleThreadedBlas: the thread count is one setting of the process.
struct Controls {
  void (*set)(int) = nullptr;
  int (*get)() = nullptr;
  std::mutex mutex;
  int holders = 0;
  int saved = 1;
  Controls() {
    set = reinterpret_cast<void (*)(int)>(::dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
    get = reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "openblas_get_num_threads"));
    if (!set || !get) set = nullptr, get = nullptr;
  }
};

Controls& controls() {
  static Controls instance;
  return instance;
}

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() {
  Controls& c = controls();
  if (!c.set) return;
  const std::lock_guard<std::mutex> lock(c.mutex);
  if (c.holders++ == 0) {
    c.saved = c.get();
    if (c.saved != 1) c.set(1);
  }
}

SingleThreadedBlas::~SingleThreadedBlas() {
  Controls& c = controls();
  if (!c.set) return;
  const std::lock_guard<std::mutex> lock(c.mutex);
  if (--c.holders == 0 && c.saved != 1) c.set(c.saved);
}

void gemm(bool transpose_a, bool transpose_b, std::size_t m, std::size_t n, std::size_t k,
          double alpha, const double* a, std::size_t lda, const double* b, std::size_t ldb,
          double beta, double* c, std::size_t ldc) {
  if (m == 0 || n == 0) return;
  const SingleThreadedBlas single;
  const int im = as_int(m), in = as_int(n), ik = as_int(k),
            ilda = as_int(std::max<std::size_t>(lda, 1)),
            ildb = as_int(std::max<std::size_t>(ldb, 1)), ildc = as_int(ldc);
  dgemm_(transpose_a ? "T" : "N", transpose_b ? "T" : "N", &im, &in, &ik, &alpha, a, &ilda, b,
         &ildb, &beta, c, &ildc, 1, 1);
}

void syrk(std::size_t n, std::size_t k, double alpha, const double* a, std::size_t lda, double beta,
          double* c, std::size_t ldc) {
  if (n == 0) return;
  const SingleThreadedBlas single;
  const int in = as_int(n), ik = as_int(k), ilda = as_int(std::max<std::size_t>(lda, 1)),
            ildc = as_int(ldc);
  dsyrk_("L", "N", &in, &ik, &alpha, a, &ilda, &beta, c, &ildc, 1, 1);
}

}  // namespace quelby::dense
