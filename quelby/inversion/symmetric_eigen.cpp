#include "quelby/inversion/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace quelby {
namespace {

// Householder reduction of the symmetric z (row-major n x n, overwritten by the orthogonal
// transformation) to tridiagonal form: d the diagonal, e the subdiagonal in e[1..n-1].
void tridiagonalize(std::vector<double>& z, std::size_t n, std::vector<double>& d,
                    std::vector<double>& e) {
  auto at = [&](std::size_t i, std::size_t j) -> double& { return z[i * n + j]; };
  for (std::size_t i = n - 1; i > 0; --i) {
    const std::size_t l = i - 1;
    double h = 0;
    if (l > 0) {
      double scale = 0;
      for (std::size_t k = 0; k <= l; ++k) scale += std::abs(at(i, k));
      if (scale == 0) {
        e[i] = at(i, l);
      } else {
        for (std::size_t k = 0; k <= l; ++k) {
          at(i, k) /= scale;
          h += at(i, k) * at(i, k);
        }
        double f = at(i, l);
        const double g = f >= 0 ? -std::sqrt(h) : std::sqrt(h);
        e[i] = scale * g;
        h -= f * g;
        at(i, l) = f - g;
        f = 0;
        for (std::size_t j = 0; j <= l; ++j) {
          at(j, i) = at(i, j) / h;
          double sum = 0;
          for (std::size_t k = 0; k <= j; ++k) sum += at(j, k) * at(i, k);
          for (std::size_t k = j + 1; k <= l; ++k) sum += at(k, j) * at(i, k);
          e[j] = sum / h;
          f += e[j] * at(i, j);
        }
        const double hh = f / (h + h);
        for (std::size_t j = 0; j <= l; ++j) {
          f = at(i, j);
          const double gj = e[j] - hh * f;
          e[j] = gj;
          for (std::size_t k = 0; k <= j; ++k) at(j, k) -= f * e[k] + gj * at(i, k);
        }
      }
    } else {
      e[i] = at(i, l);
    }
    d[i] = h;
  }
  d[0] = 0;
  e[0] = 0;
  // Accumulate the transformations.
  for (std::size_t i = 0; i < n; ++i) {
    if (d[i] != 0) {
      for (std::size_t j = 0; j < i; ++j) {
        double g = 0;
        for (std::size_t k = 0; k < i; ++k) g += at(i, k) * at(k, j);
        for (std::size_t k = 0; k < i; ++k) at(k, j) -= g * at(k, i);
      }
    }
    d[i] = at(i, i);
    at(i, i) = 1;
    for (std::size_t j = 0; j < i; ++j) {
      at(j, i) = 0;
      at(i, j) = 0;
    }
  }
}

// The implicit QL iteration on the tridiagonal (d, e), applying the rotations to z's columns.
void tridiagonal_ql(std::vector<double>& d, std::vector<double>& e, std::vector<double>& z,
                    std::size_t n) {
  for (std::size_t i = 1; i < n; ++i) e[i - 1] = e[i];
  e[n - 1] = 0;
  for (std::size_t l = 0; l < n; ++l) {
    int sweeps = 0;
    std::size_t m;
    do {
      for (m = l; m + 1 < n; ++m) {
        const double dd = std::abs(d[m]) + std::abs(d[m + 1]);
        if (std::abs(e[m]) <= 1e-15 * dd) break;
      }
      if (m != l) {
        if (++sweeps > 60) throw std::runtime_error("symmetric_eigen: no convergence");
        double g = (d[l + 1] - d[l]) / (2 * e[l]);
        double r = std::hypot(g, 1.0);
        g = d[m] - d[l] + e[l] / (g + (g >= 0 ? std::abs(r) : -std::abs(r)));
        double s = 1, c = 1, p = 0;
        std::size_t i = m;
        bool underflow = false;
        while (i-- > l) {
          double f = s * e[i];
          const double b = c * e[i];
          r = std::hypot(f, g);
          e[i + 1] = r;
          if (r == 0) {
            d[i + 1] -= p;
            e[m] = 0;
            underflow = true;
            break;
          }
          s = f / r;
          c = g / r;
          g = d[i + 1] - p;
          r = (d[i] - g) * s + 2 * c * b;
          p = s * r;
          d[i + 1] = g + p;
          g = c * r - b;
          for (std::size_t k = 0; k < n; ++k) {
            f = z[k * n + i + 1];
            z[k * n + i + 1] = s * z[k * n + i] + c * f;
            z[k * n + i] = c * z[k * n + i] - s * f;
          }
        }
        if (underflow) continue;
        d[l] -= p;
        e[l] = g;
        e[m] = 0;
      }
    } while (m != l);
  }
}

}  // namespace

void symmetric_eigen(std::span<const double> a, std::size_t n, std::vector<double>& values,
                     std::vector<double>& vectors) {
  values.assign(n, 0.0);
  vectors.assign(n * n, 0.0);
  if (n == 0) return;
  std::vector<double> z(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      z[i * n + j] = a[i * n + j];
      z[j * n + i] = a[i * n + j];
    }
  }
  std::vector<double> d(n), e(n);
  if (n == 1) {
    values[0] = z[0];
    vectors[0] = 1;
    return;
  }
  tridiagonalize(z, n, d, e);
  tridiagonal_ql(d, e, z, n);
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return d[x] < d[y]; });
  for (std::size_t j = 0; j < n; ++j) {
    values[j] = d[order[j]];
    for (std::size_t i = 0; i < n; ++i) vectors[i * n + j] = z[i * n + order[j]];
  }
}

}  // namespace quelby
