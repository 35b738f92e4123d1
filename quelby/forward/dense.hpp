// Dense linear algebra through LAPACK and the system's BLAS, on column-major matrices. Every call
// runs the BLAS on the calling thread alone: an OpenBLAS in the process has its own threads held
// at one while any call of this module is under way (and given back after), because its threaded
// LAPACK routines give other bits for other thread counts and stall when a core is busy. Work is
// split between our own threads in tiles that do not depend on the number of threads, so results
// are the same bits on any number of threads.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quelby::dense {

// Holds an OpenBLAS's own threads at one for its lifetime (nothing when the BLAS is another);
// nests, and may be held by several threads at once.
class SingleThreadedBlas {
 public:
  SingleThreadedBlas();
  ~SingleThreadedBlas();
  SingleThreadedBlas(const SingleThreadedBlas&) = delete;
  SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;
};

// C = alpha op(A) op(B) + beta C, op(A) m x k, op(B) k x n (dgemm). O(m n k).
void gemm(bool transpose_a, bool transpose_b, std::size_t m, std::size_t n, std::size_t k,
          double alpha, const double* a, std::size_t lda, const double* b, std::size_t ldb,
          double beta, double* c, std::size_t ldc);

// The lower triangle of C = alpha A A^T + beta C for A n x k (dsyrk) on the calling thread; the
// upper triangle is left as it was. O(n^2 k).
void syrk(std::size_t n, std::size_t k, double alpha, const double* a, std::size_t lda, double beta,
          double* c, std::size_t ldc);

// B = B L^-T (transpose true) or B = B L^-1 for a lower triangular L (n x n, leading dimension
// lda) and B m x n (leading dimension ldb): the right-hand triangular solve (dtrsm). O(m n^2).
void solve_right_lower(bool transpose, std::size_t m, std::size_t n, const double* l,
                       std::size_t lda, double* b, std::size_t ldb);

// y = alpha op(A) x + beta y, A m x n (dgemv). O(m n).
void gemv(bool transpose, std::size_t m, std::size_t n, double alpha, const double* a,
          std::size_t lda, const double* x, double beta, double* y);

// The lower triangle of C = A A^T (n x n) for A n x k with leading dimension lda, in tiles of the
// worker pool that do not depend on the thread count; the upper triangle is left as it was.
// O(n^2 k).
void lower_gram(std::size_t n, std::size_t k, const double* a, std::size_t lda, double* c,
                std::size_t ldc);

// y = A x (transpose false) or A^T x (true) for A m x n, split between the worker pool's threads
// in fixed blocks of the output. O(m n).
void parallel_gemv(bool transpose, std::size_t m, std::size_t n, const double* a, std::size_t lda,
                   std::span<const double> x, std::span<double> y);

// The singular value decomposition A = U diag(s) V^T of an m x n matrix (column-major, leading
// dimension m; overwritten): `s` the min(m, n) singular values descending, `u` m x m and `vt`
// n x n. Throws std::runtime_error if LAPACK reports a failure. O(m n min(m, n)).
void singular_values(std::size_t m, std::size_t n, std::vector<double>& a, std::vector<double>& s,
                     std::vector<double>& u, std::vector<double>& vt);

// A low-rank factor A = B B^T of a symmetric positive semi-definite n x n matrix (its lower
// triangle in `a`, column-major, overwritten) by Cholesky with complete pivoting (dpstrf): the
// factorisation stops once no remaining diagonal entry exceeds `tolerance` times the largest
// diagonal entry, which bounds what is left out by n times that. Returns the rank r and, when r is
// `most` or less, fills `b` (n x r, column-major). O(n^2 r).
std::size_t pivoted_cholesky(std::vector<double>& a, std::size_t n, double tolerance,
                             std::size_t most, std::vector<double>& b);

// The eigen-decomposition of a symmetric matrix in a form that applies it cheaply:
// A = Q V diag(values) V^T Q^T with Q the orthogonal reduction to tridiagonal form (Householder,
// kept as reflectors) and V the eigenvectors of the tridiagonal matrix (divide and conquer).
// Direct and backward stable: it never fails to converge on rank-deficient matrices, repeated
// rows or eigenvalues spread over many decades. O(n^3).
class SymmetricEigen {
 public:
  // Decomposes the n x n matrix whose lower triangle `a` holds (column-major, leading dimension n;
  // overwritten). Throws std::runtime_error if LAPACK reports a failure, std::bad_alloc.
  void decompose(std::vector<double>& a, std::size_t n);
  std::size_t size() const noexcept { return n_; }
  // Eigenvalues in ascending order.
  const std::vector<double>& values() const noexcept { return values_; }
  // out = (Q V)^T x: the components of x along the eigenvectors. O(n^2).
  void to_eigenbasis(std::span<const double> x, std::span<double> out) const;
  // out = (Q V) y: back from the eigenvector components. O(n^2).
  void from_eigenbasis(std::span<const double> y, std::span<double> out) const;
  // The eigenvectors as columns of an n x n matrix (column-major). O(n^3).
  std::vector<double> vectors() const;

 private:
  std::size_t n_ = 0;
  std::vector<double> reflectors_;  // dsytrd's lower triangle: the Householder vectors
  std::vector<double> tau_;
  std::vector<double> values_;
  std::vector<double> tridiagonal_vectors_;  // V, n x n
};

}  // namespace quelby::dense
