// A blocky model by iteratively reweighted least squares on the model objective's derivative
// terms: every iteration weighs each cell's rotated gradient q (q^2 its share of the derivative
// terms) by eps / sqrt(q^2 + eps^2), so that the terms approach eps times the sum of |q| (an L1
// measure, Farquharson and Oldenburg 1998) and sharp boundaries cost less than smooth ones.
// eps follows the gradients: their median magnitude (a tiny floor while the model is flat).
#pragma once

#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/regularization/objective.hpp"

namespace quelby {

class BlockyObjective {
 public:
  // `base` must keep its factors (ObjectiveOptions::keep_factors); it is referred to, not copied.
  BlockyObjective(const Io& io, const ModelObjective& base);
  // Reweights the derivative terms for the parameters m (and the reference m_ref).
  void reweight(const Io& io, std::span<const double> m, std::span<const double> m_ref);
  const ModelObjective& objective() const noexcept { return reweighted_; }
  const std::vector<double>& row_weights() const noexcept { return weights_; }

 private:
  const ModelObjective& base_;
  ModelObjective reweighted_;
  std::vector<double> weights_;
};

// The weights of the gradients' magnitudes q: eps / sqrt(q^2 + eps^2), eps their median (at least
// 1e-3 of the largest and a tiny floor).
std::vector<double> blocky_weights(std::span<const double> q);

}  // namespace quelby
