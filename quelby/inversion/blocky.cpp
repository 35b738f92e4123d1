#include "quelby/inversion/blocky.hpp"

#include <algorithm>
#include <cmath>

#include "quelby/base/stops.hpp"

namespace quelby {

BlockyObjective::BlockyObjective(const Io& io, const ModelObjective& base) : base_(base) {
  const auto n = static_cast<std::size_t>(csr_row_count(base.WTW));
  if (base.Bx.size() != n || base.Wx.row_start.empty() ||
      (base.three_dimensional && (base.By.size() != n || base.Wy.row_start.empty()))) {
    internal_check_failed(io, "BlockyObjective: the objective keeps no factors");
  }
  weights_.assign(n, 1.0);
}

std::vector<double> blocky_weights(std::span<const double> q) {
  std::vector<double> magnitude(q.begin(), q.end());
  double eps = 0;
  if (!magnitude.empty()) {
    const auto middle = magnitude.begin() + static_cast<std::ptrdiff_t>(magnitude.size() / 2);
    std::nth_element(magnitude.begin(), middle, magnitude.end());
    const double largest = *std::max_element(magnitude.begin(), magnitude.end());
    eps = std::max({*middle, 1e-3 * largest, 1e-12});
  }
  std::vector<double> weights(q.size());
  for (std::size_t p = 0; p < q.size(); ++p) weights[p] = eps / std::sqrt(q[p] * q[p] + eps * eps);
  return weights;
}

void BlockyObjective::reweight(const Io& io, std::span<const double> m,
                               std::span<const double> m_ref) {
  const std::size_t n = m.size();
  std::vector<double> u(m.begin(), m.end());
  if (base_.ref_in_derivatives) {
    for (std::size_t p = 0; p < n; ++p) u[p] -= m_ref[p];
  }
  std::vector<double> gx(n), gz(n), q(n);
  csr_multiply(base_.Wx, u, gx);
  csr_multiply(base_.Wz, u, gz);
  if (base_.three_dimensional) {
    // No cross term in 3-D; the y gradient takes its place.
    std::vector<double> gy(n);
    csr_multiply(base_.Wy, u, gy);
    for (std::size_t p = 0; p < n; ++p) {
      const double square =
          base_.Bx[p] * gx[p] * gx[p] + base_.By[p] * gy[p] * gy[p] + base_.Bz[p] * gz[p] * gz[p];
      q[p] = std::sqrt(std::max(square, 0.0));
    }
    weights_ = blocky_weights(q);
    reweight_derivative_terms(io, base_, weights_, reweighted_);
    return;
  }
  for (std::size_t p = 0; p < n; ++p) {
    const double square = base_.Bx[p] * gx[p] * gx[p] + base_.Bz[p] * gz[p] * gz[p] +
                          2 * base_.Bxz[p] * gx[p] * gz[p];
    q[p] = std::sqrt(std::max(square, 0.0));
  }
  weights_ = blocky_weights(q);
  reweight_derivative_terms(io, base_, weights_, reweighted_);
}

}  // namespace quelby
