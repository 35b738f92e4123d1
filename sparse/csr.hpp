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
// must not be one of the inputs. Output `values`/`columns` grow to fit and never shrink below
// their size on entry; output `row_start` gets exactly n + 1 elements, starting at 0.
struct CsrMatrix {
  std::vector<double> values;
  std::vector<std::int32_t> columns;
  std::vector<std::int32_t> row_start;
};

// Number of rows: row_start.size() - 1, or 0 for an empty row_start.
std::int32_t csr_row_count(const CsrMatrix& a);

// y = A x over n = y.size() rows (A needs at least n rows); a row without entries gives 0.
// Columns must lie in 0..x.size()-1: asserted, and skipped in release builds rather than read.
void csr_multiply(const CsrMatrix& a, std::span<const double> x, std::span<double> y);

// y = A^T x over the first x.size() rows of A; clears all of y first. Columns must lie in
// 0..y.size()-1: asserted, and skipped in release builds.
void csr_multiply_transposed(const CsrMatrix& a, std::span<const double> x, std::span<double> y);

// x^T A x over the first x.size() rows of A, summed row by row; no work vector. Columns as for
// csr_multiply.
double csr_quadratic_form(const CsrMatrix& a, std::span<const double> x);

// t = A^T with n rows (n = number of columns of A). Only the first entry of a column in a row of A
// is carried over, entries with a column outside 0..n-1 are dropped, and every row of t lists its
// columns in ascending order. Cost O(rows of A + n + entries).
void csr_transpose(const CsrMatrix& a, std::int32_t n, CsrMatrix& t);

// c = A diag(e) B, n by n (A and B need at least n rows, e at least n elements). For each j, row l
// of B contributes only its first entry in column j; entries of A or B with a column outside
// 0..n-1 contribute nothing. c(i, j) = 0 + sum over the entries k of row i of A, in order, of
// (A.values[k] * e[l]) * B(l, j); a sum that is exactly 0 is not stored, a NaN is. Columns of
// every row ascending. Cost O(n + products formed + sorting each output row).
void csr_scaled_product(const CsrMatrix& a, std::span<const double> e, const CsrMatrix& b,
                        std::int32_t n, CsrMatrix& c);

// g = A^T diag(b) A, n by n (b needs one element per row of A), and on return `a` holds T = A^T
// with n rows (as csr_transpose makes it). g(i, j) exists when rows i and j of T share a column,
// even when its value is 0, and is 0 + the sum over those columns h, ascending, of
// (T(j, h) * b[h]) * T(i, h). Columns of every row ascending. Cost O(n + entries + products
// formed + sorting each output row).
void csr_weighted_gram(CsrMatrix& a, std::span<const double> b, std::int32_t n, CsrMatrix& g);

// index = the permutation of 0..n-1 (n = keys.size() = index.size()) that lists the keys in
// ascending order, by the classic index heapsort: equal keys come out in heap order, not stably.
// O(n log n).
void index_heapsort(std::span<const std::int32_t> keys, std::span<std::int32_t> index);

}  // namespace quelby
