// Compressed-row sparse matrices and their products: matrix-vector products, the quadratic form,
// the transpose, A diag(e) B, the weighted Gram product A^T diag(b) A, and the index heapsort
// that orders the columns of a row. Plain functions without state; all indices are 0-based.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quelby {

// Row i holds the positions row_start[i] .. row_start[i+1]-1 of `values` and `columns` (none
// when row_start[i+1] <= row_start[i]); the number of rows is row_start.size() - 1. `values` and
// `columns` may be longer than the stored entries (capacity). A column outside 0..n-1 names no
// column (the objective uses -1 for a partner cell that is not a parameter).
//
// Preconditions of every function: row ranges lie within `values` and `columns` (asserted in
// debug builds). Argument sizes that contradict each other throw std::invalid_argument; an
// output that would need more than 2^31 - 1 entries throws std::length_error. An output matrix
// must not be one of the inputs, nor be the workspace's. Output `values`/`columns` grow to fit and
// never shrink below their size on entry; output `row_start` gets exactly n + 1 elements, starting
// at 0.
struct CsrMatrix {
  std::vector<double> values;
  std::vector<std::int32_t> columns;
  std::vector<std::int32_t> row_start;
};

// Working arrays of the transpose and the products, kept by a caller that makes several of them so
// that each reuses the memory of the one before instead of touching fresh pages (each overload
// without one uses a workspace of its own). Contents between calls are of no meaning; the
// products hold their transpose in `transposed`, which csr_transpose may also be given as its
// output.
struct CsrWorkspace {
  struct ColumnSum {
    double sum;
    std::int64_t stamp;
  };
  CsrMatrix transposed;
  std::vector<ColumnSum> sums;
  std::vector<std::int32_t> marks;
  std::vector<std::int32_t> touched;
};

// Number of rows: row_start.size() - 1, or 0 for an empty row_start.
std::int32_t csr_row_count(const CsrMatrix& a);

// y = A x over n = y.size() rows; columns must lie in 0..x.size()-1 (others are skipped).
void csr_multiply(const CsrMatrix& a, std::span<const double> x, std::span<double> y);

// y = A^T x over the first x.size() rows of A, all of y cleared first; columns in 0..y.size()-1.
void csr_multiply_transposed(const CsrMatrix& a, std::span<const double> x, std::span<double> y);

// x^T A x over the first x.size() rows of A, as the sum of (A x)[i] * x[i]; no work vector.
double csr_quadratic_form(const CsrMatrix& a, std::span<const double> x);

// t = A^T with n rows: first entry per column of a row, columns outside 0..n-1 dropped, rows of t
// ascending. O(rows of A + n + entries).
void csr_transpose(const CsrMatrix& a, std::int32_t n, CsrMatrix& t);
void csr_transpose(const CsrMatrix& a, std::int32_t n, CsrMatrix& t, CsrWorkspace& work);

// c = A diag(e) B, n by n; exactly-zero sums are left out, NaN kept. O(n + products + row sorts).
void csr_scaled_product(const CsrMatrix& a, std::span<const double> e, const CsrMatrix& b,
                        std::int32_t n, CsrMatrix& c);
void csr_scaled_product(const CsrMatrix& a, std::span<const double> e, const CsrMatrix& b,
                        std::int32_t n, CsrMatrix& c, CsrWorkspace& work);

// g = A^T diag(b) A, n by n, zero sums kept; `a` comes back as A^T. O(n + products + row sorts).
void csr_weighted_gram(CsrMatrix& a, std::span<const double> b, std::int32_t n, CsrMatrix& g);
void csr_weighted_gram(CsrMatrix& a, std::span<const double> b, std::int32_t n, CsrMatrix& g,
                       CsrWorkspace& work);

// index = the 0-based permutation listing the keys in ascending order, ties in heap order.
// n = keys.size() = index.size(); O(n log n).
void index_heapsort(std::span<const std::int32_t> keys, std::span<std::int32_t> index);

}  // namespace quelby
