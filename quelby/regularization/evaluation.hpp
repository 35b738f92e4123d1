// Evaluation of the model objective function for a model m and a reference model m_ref (npar
// values each, 0-based parameter order): the product of its matrix with the model (the gradient
// direction) and the value of every term. Both are single passes over the stored entries.
#pragma once

#include <span>

#include "quelby/regularization/objective.hpp"

namespace quelby {

// g = the sum over the terms k of term_k u_k, with u_1 = m - m_ref and u_k = m - m_ref or m for
// the derivative terms as ref_in_derivatives says (then WTW (m - m_ref)). Each row sums its
// entries from 0 in stored order; the terms are added in their order. m, m_ref and g need npar
// elements (std::invalid_argument otherwise).
void wtw_times_model(const ModelObjective& objective, std::span<const double> m,
                     std::span<const double> m_ref, std::span<double> g);

// phi[k] = u_k^T term_k u_k for the n_terms terms, 0 for the further elements of phi; each dot
// product sums from 0 by increasing index. phi needs at least n_terms elements.
void term_norms(const ModelObjective& objective, std::span<const double> m,
                std::span<const double> m_ref, std::span<double> phi);

}  // namespace quelby
