// Eigenvalues and eigenvectors of a dense real symmetric matrix: Householder reduction to
// tridiagonal form, then the implicit QL iteration with shifts. The data-space Gauss-Newton step
// takes one decomposition per iteration and then has the predicted misfit of every beta at once.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quelby {

// Decomposes the n x n symmetric matrix `a` (row-major; only its lower triangle is read):
// a = V diag(values) V^T. On return `values` holds the n eigenvalues in ascending order and
// `vectors` the eigenvectors as columns (vectors[i * n + j] is component i of vector j), each of
// unit length. Throws std::runtime_error if the iteration does not converge (it does in practice
// within 30 sweeps per eigenvalue). O(n^3).
void symmetric_eigen(std::span<const double> a, std::size_t n, std::vector<double>& values,
                     std::vector<double>& vectors);

}  // namespace quelby
