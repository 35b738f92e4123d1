#include "quelby/forward/dense.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "quelby/base/parallel.hpp"

// The Fortran interfaces of BLAS and LAPACK, with the hidden lengths of character arguments that
// gfortran-compiled routines expect last.
extern "C" {
void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
            const double* beta, double* c, const int* ldc, std::size_t, std::size_t);
void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
            const int* lda, const double* x, const int* incx, const double* beta, double* y,
            const int* incy, std::size_t);
void dtrsm_(const char* side, const char* uplo, const char* transa, const char* diag, const int* m,
            const int* n, const double* alpha, const double* a, const int* lda, double* b,
            const int* ldb, std::size_t, std::size_t, std::size_t, std::size_t);
void dsyrk_(const char* uplo, const char* trans, const int* n, const int* k, const double* alpha,
            const double* a, const int* lda, const double* beta, double* c, const int* ldc,
            std::size_t, std::size_t);
void dsytrd_(const char* uplo, const int* n, double* a, const int* lda, double* d, double* e,
             double* tau, double* work, const int* lwork, int* info, std::size_t);
void dstedc_(const char* compz, const int* n, double* d, double* e, double* z, const int* ldz,
             double* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t);
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info, std::size_t, std::size_t);
void dpstrf_(const char* uplo, const int* n, double* a, const int* lda, int* piv, int* rank,
             const double* tol, double* work, int* info, std::size_t);
void dormtr_(const char* side, const char* uplo, const char* trans, const int* m, const int* n,
             const double* a, const int* lda, const double* tau, double* c, const int* ldc,
             double* work, const int* lwork, int* info, std::size_t, std::size_t, std::size_t);
}

namespace quelby::dense {
namespace {

int as_int(std::size_t value) {
  if (value > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
  return static_cast<int>(value);
}

// OpenBLAS's thread-count controls, when an OpenBLAS is what the process's BLAS is.
struct OpenBlasControls {
  using Set = void (*)(int);
  using Get = int (*)();
  Set set = nullptr;
  Get get = nullptr;
  OpenBlasControls() {
    set = reinterpret_cast<Set>(::dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
    get = reinterpret_cast<Get>(::dlsym(RTLD_DEFAULT, "openblas_get_num_threads"));
    if (!set || !get) set = nullptr, get = nullptr;
  }
};

// The holders of SingleThreadedBlas in this process and the count to give back: OpenBLAS's thread
// count is one setting of the process, so its holders must be counted process-wide.
struct Holders {
  std::mutex mutex;
  int count = 0;
  int saved = 1;
};

Holders& holders() {
  static Holders instance;
  return instance;
}

const OpenBlasControls& controls() {
  static const OpenBlasControls instance;
  return instance;
}

// Fixed tile size of the parallel products: tiles, not threads, decide every element's sums.
constexpr std::size_t tile = 256;

void check_info(const char* routine, int info) {
  if (info != 0) {
    throw std::runtime_error(std::string("LAPACK ") + routine + " failed (info " +
                             std::to_string(info) + ")");
  }
}

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() {
  const OpenBlasControls& blas = controls();
  if (!blas.set) return;
  Holders& h = holders();
  const std::lock_guard<std::mutex> lock(h.mutex);
  if (h.count++ == 0) {
    h.saved = blas.get();
    if (h.saved != 1) blas.set(1);
  }
}

SingleThreadedBlas::~SingleThreadedBlas() {
  const OpenBlasControls& blas = controls();
  if (!blas.set) return;
  Holders& h = holders();
  const std::lock_guard<std::mutex> lock(h.mutex);
  if (--h.count == 0 && h.saved != 1) blas.set(h.saved);
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

void solve_right_lower(bool transpose, std::size_t m, std::size_t n, const double* l,
                       std::size_t lda, double* b, std::size_t ldb) {
  if (m == 0 || n == 0) return;
  const SingleThreadedBlas single;
  const double one = 1;
  const int im = as_int(m), in = as_int(n), ilda = as_int(std::max<std::size_t>(lda, 1)),
            ildb = as_int(std::max<std::size_t>(ldb, 1));
  dtrsm_("R", "L", transpose ? "T" : "N", "N", &im, &in, &one, l, &ilda, b, &ildb, 1, 1, 1, 1);
}

void gemv(bool transpose, std::size_t m, std::size_t n, double alpha, const double* a,
          std::size_t lda, const double* x, double beta, double* y) {
  if ((transpose ? n : m) == 0) return;
  const SingleThreadedBlas single;
  const int im = as_int(m), in = as_int(n), ilda = as_int(std::max<std::size_t>(lda, 1)), one = 1;
  dgemv_(transpose ? "T" : "N", &im, &in, &alpha, a, &ilda, x, &one, &beta, y, &one, 1);
}

void lower_gram(std::size_t n, std::size_t k, const double* a, std::size_t lda, double* c,
                std::size_t ldc) {
  if (n == 0) return;
  const SingleThreadedBlas single;
  const std::size_t blocks = (n + tile - 1) / tile;
  // Tiles on and below the diagonal, column of tiles by column of tiles.
  std::vector<std::pair<std::size_t, std::size_t>> tiles;
  for (std::size_t column = 0; column < blocks; ++column) {
    for (std::size_t row = column; row < blocks; ++row) tiles.emplace_back(row, column);
  }
  parallel_for_rethrowing(
      static_cast<std::int64_t>(tiles.size()), 2, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t t = begin; t < end; ++t) {
          const auto [row, column] = tiles[static_cast<std::size_t>(t)];
          const std::size_t r0 = row * tile, c0 = column * tile;
          const std::size_t rows = std::min(tile, n - r0), columns = std::min(tile, n - c0);
          double* target = c + r0 + c0 * ldc;
          if (row == column) {
            const double one = 1, zero = 0;
            const int in = as_int(rows), ik = as_int(k),
                      ilda = as_int(std::max<std::size_t>(lda, 1)), ildc = as_int(ldc);
            dsyrk_("L", "N", &in, &ik, &one, a + r0, &ilda, &zero, target, &ildc, 1, 1);
          } else {
            gemm(false, true, rows, columns, k, 1.0, a + r0, lda, a + c0, lda, 0.0, target, ldc);
          }
        }
      });
}

void parallel_gemv(bool transpose, std::size_t m, std::size_t n, const double* a, std::size_t lda,
                   std::span<const double> x, std::span<double> y) {
  const std::size_t outputs = transpose ? n : m;
  if (outputs == 0) return;
  const SingleThreadedBlas single;
  const std::size_t block = 16 * tile;
  const std::size_t blocks = (outputs + block - 1) / block;
  parallel_for_rethrowing(
      static_cast<std::int64_t>(blocks), 2, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t b = begin; b < end; ++b) {
          const std::size_t first = static_cast<std::size_t>(b) * block;
          const std::size_t size = std::min(block, outputs - first);
          if (transpose) {
            gemv(true, m, size, 1.0, a + first * lda, lda, x.data(), 0.0, y.data() + first);
          } else {
            gemv(false, size, n, 1.0, a + first, lda, x.data(), 0.0, y.data() + first);
          }
        }
      });
}

void singular_values(std::size_t m, std::size_t n, std::vector<double>& a, std::vector<double>& s,
                     std::vector<double>& u, std::vector<double>& vt) {
  const SingleThreadedBlas single;
  s.assign(std::min(m, n), 0.0);
  u.assign(m * m, 0.0);
  vt.assign(n * n, 0.0);
  if (m == 0 || n == 0) return;
  const int im = as_int(m), in = as_int(n);
  int info = 0, lwork = -1;
  double query = 0;
  dgesvd_("A", "A", &im, &in, a.data(), &im, s.data(), u.data(), &im, vt.data(), &in, &query,
          &lwork, &info, 1, 1);
  check_info("dgesvd", info);
  std::vector<double> work(static_cast<std::size_t>(query) + 1);
  lwork = as_int(work.size());
  dgesvd_("A", "A", &im, &in, a.data(), &im, s.data(), u.data(), &im, vt.data(), &in, work.data(),
          &lwork, &info, 1, 1);
  check_info("dgesvd", info);
}

void SymmetricEigen::decompose(std::vector<double>& a, std::size_t n) {
  const SingleThreadedBlas single;
  n_ = n;
  values_.assign(n, 0.0);
  tau_.assign(n, 0.0);
  tridiagonal_vectors_.clear();
  if (n == 0) {
    reflectors_.clear();
    return;
  }
  const int in = as_int(n);
  std::vector<double> off_diagonal(n, 0.0);
  int info = 0, lwork = -1;
  double query = 0;
  dsytrd_("L", &in, a.data(), &in, values_.data(), off_diagonal.data(), tau_.data(), &query, &lwork,
          &info, 1);
  check_info("dsytrd", info);
  std::vector<double> work(static_cast<std::size_t>(query) + 1);
  lwork = as_int(work.size());
  dsytrd_("L", &in, a.data(), &in, values_.data(), off_diagonal.data(), tau_.data(), work.data(),
          &lwork, &info, 1);
  check_info("dsytrd", info);
  reflectors_.swap(a);

  tridiagonal_vectors_.resize(n * n);
  int iquery = 0, liwork = -1;
  lwork = -1;
  dstedc_("I", &in, values_.data(), off_diagonal.data(), tridiagonal_vectors_.data(), &in, &query,
          &lwork, &iquery, &liwork, &info, 1);
  check_info("dstedc", info);
  work.assign(static_cast<std::size_t>(query) + 1, 0.0);
  std::vector<int> iwork(static_cast<std::size_t>(std::max(iquery, 1)));
  lwork = as_int(work.size());
  liwork = as_int(iwork.size());
  dstedc_("I", &in, values_.data(), off_diagonal.data(), tridiagonal_vectors_.data(), &in,
          work.data(), &lwork, iwork.data(), &liwork, &info, 1);
  check_info("dstedc", info);
}

namespace {

// x = Q x (transpose false) or Q^T x for the reflectors of dsytrd.
void apply_reduction(bool transpose, std::size_t n, const std::vector<double>& reflectors,
                     const std::vector<double>& tau, double* x) {
  const int in = as_int(n), one = 1;
  int info = 0, lwork = -1;
  double query = 0;
  dormtr_("L", "L", transpose ? "T" : "N", &in, &one, reflectors.data(), &in, tau.data(), x, &in,
          &query, &lwork, &info, 1, 1, 1);
  check_info("dormtr", info);
  std::vector<double> work(static_cast<std::size_t>(query) + 1);
  lwork = as_int(work.size());
  dormtr_("L", "L", transpose ? "T" : "N", &in, &one, reflectors.data(), &in, tau.data(), x, &in,
          work.data(), &lwork, &info, 1, 1, 1);
  check_info("dormtr", info);
}

}  // namespace

void SymmetricEigen::to_eigenbasis(std::span<const double> x, std::span<double> out) const {
  const SingleThreadedBlas single;
  std::vector<double> reduced(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n_));
  apply_reduction(true, n_, reflectors_, tau_, reduced.data());
  gemv(true, n_, n_, 1.0, tridiagonal_vectors_.data(), n_, reduced.data(), 0.0, out.data());
}

void SymmetricEigen::from_eigenbasis(std::span<const double> y, std::span<double> out) const {
  const SingleThreadedBlas single;
  gemv(false, n_, n_, 1.0, tridiagonal_vectors_.data(), n_, y.data(), 0.0, out.data());
  apply_reduction(false, n_, reflectors_, tau_, out.data());
}

std::vector<double> SymmetricEigen::vectors() const {
  const SingleThreadedBlas single;
  std::vector<double> result(tridiagonal_vectors_);
  if (n_ == 0) return result;
  const int in = as_int(n_);
  int info = 0, lwork = -1;
  double query = 0;
  dormtr_("L", "L", "N", &in, &in, reflectors_.data(), &in, tau_.data(), result.data(), &in, &query,
          &lwork, &info, 1, 1, 1);
  check_info("dormtr", info);
  std::vector<double> work(static_cast<std::size_t>(query) + 1);
  lwork = as_int(work.size());
  dormtr_("L", "L", "N", &in, &in, reflectors_.data(), &in, tau_.data(), result.data(), &in,
          work.data(), &lwork, &info, 1, 1, 1);
  check_info("dormtr", info);
  return result;
}

std::size_t pivoted_cholesky(std::vector<double>& a, std::size_t n, double tolerance,
                             std::size_t most, std::vector<double>& b) {
  const SingleThreadedBlas single;
  b.clear();
  if (n == 0) return 0;
  double largest = 0;
  for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, a[i * n + i]);
  if (!(largest > 0)) return 0;
  const int in = as_int(n);
  std::vector<int> pivot(n);
  std::vector<double> work(2 * n);
  int rank = 0, info = 0;
  const double tol = tolerance * largest;
  dpstrf_("L", &in, a.data(), &in, pivot.data(), &rank, &tol, work.data(), &info, 1);
  if (info < 0) check_info("dpstrf", info);
  const auto r = static_cast<std::size_t>(rank);
  if (r > most) return r;
  // B = P L: row pivot[i] of B is row i of L's first r columns.
  b.assign(n * r, 0.0);
  for (std::size_t j = 0; j < r; ++j) {
    for (std::size_t i = j; i < n; ++i)
      b[j * n + static_cast<std::size_t>(pivot[i] - 1)] = a[j * n + i];
  }
  return r;
}

}  // namespace quelby::dense
