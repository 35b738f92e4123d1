// Dense products through the system's BLAS, on column-major matrices. Every call runs the BLAS on
// the calling thread alone: an OpenBLAS in the process has its own threads held at one while any
// call of this module is under way (and given back after), because its threaded routines give
// other bits for other thread counts and stall when a core is busy.
#pragma once

#include <cstddef>

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

// The lower triangle of C = alpha A A^T + beta C, A n x k (dsyrk, no transpose); the upper
// triangle is not touched. O(n^2 k).
void syrk(std::size_t n, std::size_t k, double alpha, const double* a, std::size_t lda, double beta,
          double* c, std::size_t ldc);

}  // namespace quelby::dense
