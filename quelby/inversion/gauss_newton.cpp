#include "quelby/inversion/gauss_newton.hpp"

#include <unistd.h>
#include <algorithm>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/parallel.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/dense.hpp"
#include "quelby/inversion/blocky.hpp"
#include "quelby/inversion/model_solver.hpp"
#include "quelby/inversion/robust_misfit.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "quelby/report/inversion_report.hpp"

namespace quelby {
namespace {

// The largest eigenvalue of a symmetric positive semi-definite operator by power iteration from a
// fixed start (30 steps: a curvature scale, not a precise value).
template <typename Apply>
double largest_eigenvalue(std::size_t n, Apply&& apply) {
  std::vector<double> x(n), y(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = 1 + 0.5 * std::sin(static_cast<double>(i));
  double lambda = 0;
  for (int step = 0; step < 30; ++step) {
    double norm = 0;
    for (const double value : x) norm += value * value;
    norm = std::sqrt(norm);
    if (norm == 0) return 0;
    for (double& value : x) value /= norm;
    apply(x, y);
    lambda = 0;
    for (std::size_t i = 0; i < n; ++i) lambda += x[i] * y[i];
    x.swap(y);
  }
  return lambda;
}

// The linearised misfit of beta: sum_i (beta / (lambda_i + beta))^2 c_i^2.
double predicted_misfit(std::span<const double> lambda, std::span<const double> c, double beta) {
  double sum = 0;
  for (std::size_t i = 0; i < lambda.size(); ++i) {
    const double f = beta / (std::max(lambda[i], 0.0) + beta);
    sum += f * f * c[i] * c[i];
  }
  return sum;
}

// The scaled sensitivities G = diag(sqrt(w) / dstd) J kept column-major (ndat x npar, G_ip at
// [i + p * ndat]): the layout of the half solves' right-hand sides, parameter by parameter.
void scale_sensitivities(std::span<const double> jacobian, std::span<const std::size_t> rows,
                         std::span<const double> row_scale, std::size_t npar,
                         std::span<double> gt) {
  const std::size_t ndat = rows.size();
  // In blocks of parameters, so that each row of J is read in runs of the block.
  constexpr std::size_t block = 64;
  const std::size_t blocks = (npar + block - 1) / block;
  parallel_for_rethrowing(
      static_cast<std::int64_t>(blocks), 2, [&](std::int64_t begin, std::int64_t end) {
        for (auto b = static_cast<std::size_t>(begin); b < static_cast<std::size_t>(end); ++b) {
          const std::size_t first = b * block;
          const std::size_t last = std::min(npar, first + block);
          for (std::size_t i = 0; i < ndat; ++i) {
            const double* row = jacobian.data() + rows[i] * npar;
            for (std::size_t p = first; p < last; ++p) gt[p * ndat + i] = row[p] * row_scale[i];
          }
        }
      });
}

// Data of one class share their sensitivities: a step sees each class once, as a row of J
// scaled by sqrt(W), W the sum of the class's weights a_i = w_i / dstd_i^2, against the
// weighted mean e of its data's residuals d_i - dobs_i. Their weighted misfit is then
// sum over classes of W (J dm + e)^2 plus the constant sum a_i (d_i - dobs_i - e)^2.
struct Classes {
  std::size_t count = 0;
  std::vector<std::size_t> of;    // per datum its class
  std::vector<std::size_t> rows;  // per class the datum whose row of J stands for it
  std::vector<double> scale;      // sqrt(W) per class
  std::vector<double> mean;       // the weighted mean residual e per class
  double constant = 0;

  Classes(std::span<const std::int32_t> given, std::size_t ndat) : of(ndat) {
    if (given.size() != ndat) {
      for (std::size_t i = 0; i < ndat; ++i) of[i] = i;
    } else {
      for (std::size_t i = 0; i < ndat; ++i) of[i] = static_cast<std::size_t>(given[i]);
    }
    for (const std::size_t c : of) count = std::max(count, c + 1);
    rows.assign(count, ndat);
    for (std::size_t i = 0; i < ndat; ++i) rows[of[i]] = std::min(rows[of[i]], i);
  }
  // The classes' weights and means for the residuals `e` = d - dobs.
  void weigh(std::span<const double> e, std::span<const double> dstd,
             std::span<const double> weights) {
    std::vector<double> total(count, 0.0), sum(count, 0.0);
    for (std::size_t i = 0; i < e.size(); ++i) {
      const double a = weights[i] / (dstd[i] * dstd[i]);
      total[of[i]] += a;
      sum[of[i]] += a * e[i];
    }
    scale.resize(count);
    mean.resize(count);
    for (std::size_t c = 0; c < count; ++c) {
      scale[c] = std::sqrt(total[c]);
      mean[c] = sum[c] / total[c];
    }
    constant = 0;
    for (std::size_t i = 0; i < e.size(); ++i) {
      const double spread = e[i] - mean[of[i]];
      constant += weights[i] / (dstd[i] * dstd[i]) * spread * spread;
    }
  }
};

// The scaled sensitivities G, a row sqrt(W) J_i per class, as an operator: held (column-major,
// as scale_sensitivities leaves them) or through the problem's products with J.
class ScaledSensitivities {
 public:
  ScaledSensitivities(std::span<const double> gt, std::size_t rows, std::size_t npar)
      : gt_(gt), ndat_(rows), npar_(npar) {}
  ScaledSensitivities(const Io& io, InversionProblem& problem, std::span<const double> m,
                      const Classes& classes)
      : io_(&io),
        problem_(&problem),
        m_(m),
        classes_(&classes),
        ndat_(classes.count),
        npar_(problem.parameter_count()) {}
  bool held() const { return problem_ == nullptr; }
  std::span<const double> matrix() const { return gt_; }
  // out = G v (ndat values).
  void times(std::span<const double> v, std::span<double> out) const {
    if (held()) {
      dense::parallel_gemv(false, ndat_, npar_, gt_.data(), ndat_, v, out);
      return;
    }
    std::vector<double> all(problem_->data_count());
    problem_->jacobian_times(*io_, m_, v, all);
    for (std::size_t c = 0; c < ndat_; ++c) out[c] = all[classes_->rows[c]] * classes_->scale[c];
  }
  // out = G^T u (npar values).
  void transpose_times(std::span<const double> u, std::span<double> out) const {
    if (held()) {
      dense::parallel_gemv(true, ndat_, npar_, gt_.data(), ndat_, u, out);
      return;
    }
    std::vector<double> scaled(problem_->data_count(), 0.0);
    for (std::size_t c = 0; c < ndat_; ++c) scaled[classes_->rows[c]] = u[c] * classes_->scale[c];
    problem_->jacobian_transpose_times(*io_, m_, scaled, out);
  }

 private:
  std::span<const double> gt_;
  const Io* io_ = nullptr;
  InversionProblem* problem_ = nullptr;
  std::span<const double> m_;
  const Classes* classes_ = nullptr;
  std::size_t ndat_, npar_;
};

// The step of every beta at once for min ||c + G x||^2 + beta ||x||^2_WTW: a spectrum lambda_i
// with the components ct_i of c, so that the linearised weighted misfit of beta is
// sum (beta / (lambda_i + beta))^2 ct_i^2, the step x of beta, and the linearised residual
// c + G x of beta datum by datum.
class StepSpectrum {
 public:
  virtual ~StepSpectrum() = default;
  const std::vector<double>& eigenvalues() const { return lambda_; }
  const std::vector<double>& components() const { return components_; }
  virtual void step(double beta, std::span<double> x) const = 0;
  virtual void residual(double beta, std::span<double> out) const = 0;

 protected:
  std::vector<double> lambda_, components_;
};

// In data space, exactly: with H = D^-1/2 L^-1 P G^T (WTW = P^T L D L^T P),
// K = G WTW^-1 G^T = H^T H = Q diag(lambda) Q^T and ct = Q^T c; the step of beta is
// x = -WTW^-1 G^T Q (Lambda + beta)^-1 ct and the residual Q (beta / (Lambda + beta)) ct.
class DataSpaceSpectrum : public StepSpectrum {
 public:
  // The lower triangle of K; `half` (npar * ndat) is the memory H is made in.
  static std::vector<double> matrix(const ModelSolver& solver, const ScaledSensitivities& g,
                                    std::size_t ndat, std::span<double> half,
                                    const std::function<void()>& solved) {
    solver.half_solve(g.matrix(), ndat, half);
    solved();
    std::vector<double> kernel(ndat * ndat);
    dense::lower_gram(ndat, solver.size(), half.data(), ndat, kernel.data(), ndat);
    return kernel;
  }
  // Decomposes K (overwritten).
  DataSpaceSpectrum(std::vector<double>& kernel, std::size_t ndat, const ModelSolver& solver,
                    const ScaledSensitivities& g)
      : ndat_(ndat), solver_(solver), g_(g) {
    eigen_.decompose(kernel, ndat);
    lambda_ = eigen_.values();
  }
  void set_right_hand_side(std::span<const double> c) {
    components_.assign(ndat_, 0.0);
    eigen_.to_eigenbasis(c, components_);
  }
  void step(double beta, std::span<double> x) const override {
    std::vector<double> scaled(ndat_), z(ndat_);
    for (std::size_t j = 0; j < ndat_; ++j)
      scaled[j] = components_[j] / (std::max(lambda_[j], 0.0) + beta);
    eigen_.from_eigenbasis(scaled, z);
    g_.transpose_times(z, x);
    solver_.solve(x, 1);
    for (double& value : x) value = -value;
  }
  void residual(double beta, std::span<double> out) const override {
    std::vector<double> scaled(ndat_);
    for (std::size_t j = 0; j < ndat_; ++j)
      scaled[j] = components_[j] * (beta / (std::max(lambda_[j], 0.0) + beta));
    eigen_.from_eigenbasis(scaled, out);
  }

 private:
  std::size_t ndat_;
  const ModelSolver& solver_;
  const ScaledSensitivities& g_;
  dense::SymmetricEigen eigen_;
};

// In data space from a low-rank factor: dependent data (overlapping arrays of one line) leave K
// of a rank r well below its size, and Cholesky with complete pivoting finds K = B B^T (B
// ndat x r) in O(ndat^2 r) where the full eigen-decomposition costs O(ndat^3). The eigenpairs of
// the small B^T B = V diag(lambda) V^T give K's nonzero ones, U = B V diag(lambda)^-1/2; the part
// of c outside U's span stands at lambda 0 (one component, its length). Eigenvalues left out lie
// below 1e-14 of the largest diagonal entry times ndat, far below any beta the search tries.
class LowRankSpectrum : public StepSpectrum {
 public:
  // Null when K's rank exceeds half its size (the full decomposition is then cheaper);
  // `kernel` (K's lower triangle) is overwritten either way.
  static std::unique_ptr<LowRankSpectrum> make(std::vector<double>& kernel, std::size_t ndat,
                                               const ModelSolver& solver,
                                               const ScaledSensitivities& g) {
    std::vector<double> b;
    const std::size_t rank = dense::pivoted_cholesky(kernel, ndat, 1e-14, ndat / 2, b);
    if (rank > ndat / 2) return nullptr;
    auto spectrum = std::unique_ptr<LowRankSpectrum>(new LowRankSpectrum(ndat, solver, g));
    if (rank == 0) return spectrum;
    std::vector<double> small(rank * rank, 0.0);
    dense::gemm(true, false, rank, rank, ndat, 1.0, b.data(), ndat, b.data(), ndat, 0.0,
                small.data(), rank);
    dense::SymmetricEigen eigen;
    eigen.decompose(small, rank);
    const std::vector<double>& values = eigen.values();
    const double largest = values.empty() ? 0.0 : values.back();
    std::vector<double> vectors = eigen.vectors();
    // Keep the eigenpairs clear of rounding; scale each kept vector by lambda^-1/2.
    std::vector<double> kept_vectors;
    for (std::size_t j = 0; j < rank; ++j) {
      if (!(values[j] > 1e-13 * largest)) continue;
      spectrum->range_.push_back(values[j]);
      const double scale = 1 / std::sqrt(values[j]);
      for (std::size_t i = 0; i < rank; ++i) kept_vectors.push_back(vectors[j * rank + i] * scale);
    }
    const std::size_t kept = spectrum->range_.size();
    spectrum->u_.assign(ndat * kept, 0.0);
    if (kept > 0) {
      dense::gemm(false, false, ndat, kept, rank, 1.0, b.data(), ndat, kept_vectors.data(), rank,
                  0.0, spectrum->u_.data(), ndat);
    }
    return spectrum;
  }
  // Eigenvalues at 0: the size less the eigenpairs kept.
  std::size_t null_count() const { return ndat_ - range_.size(); }
  void set_right_hand_side(std::span<const double> c) {
    c_.assign(c.begin(), c.end());
    const std::size_t kept = range_.size();
    std::vector<double> ct(kept, 0.0);
    if (kept > 0) dense::gemv(true, ndat_, kept, 1.0, u_.data(), ndat_, c.data(), 0.0, ct.data());
    double total = 0, reached = 0;
    for (const double value : c) total += value * value;
    for (const double value : ct) reached += value * value;
    lambda_ = range_;
    components_ = ct;
    lambda_.push_back(0.0);
    components_.push_back(std::sqrt(std::max(total - reached, 0.0)));
  }
  void step(double beta, std::span<double> x) const override {
    const std::size_t kept = range_.size();
    std::vector<double> scaled(kept), z(ndat_, 0.0);
    for (std::size_t j = 0; j < kept; ++j) scaled[j] = components_[j] / (range_[j] + beta);
    if (kept > 0)
      dense::gemv(false, ndat_, kept, 1.0, u_.data(), ndat_, scaled.data(), 0.0, z.data());
    g_.transpose_times(z, x);
    solver_.solve(x, 1);
    for (double& value : x) value = -value;
  }
  void residual(double beta, std::span<double> out) const override {
    // c less its part that the step of beta fits: c - U diag(lambda / (lambda + beta)) U^T c.
    const std::size_t kept = range_.size();
    std::vector<double> scaled(kept);
    for (std::size_t j = 0; j < kept; ++j)
      scaled[j] = -components_[j] * (range_[j] / (range_[j] + beta));
    std::copy(c_.begin(), c_.end(), out.begin());
    if (kept > 0)
      dense::gemv(false, ndat_, kept, 1.0, u_.data(), ndat_, scaled.data(), 1.0, out.data());
  }

 private:
  LowRankSpectrum(std::size_t ndat, const ModelSolver& solver, const ScaledSensitivities& g)
      : ndat_(ndat), solver_(solver), g_(g) {}
  std::size_t ndat_;
  const ModelSolver& solver_;
  const ScaledSensitivities& g_;
  std::vector<double> range_;  // the eigenvalues kept, ascending
  std::vector<double> u_;      // their eigenvectors, ndat x kept
  std::vector<double> c_;
};

// Without J: the Golub-Kahan bidiagonalisation of G in the WTW inner product from c
// (G V_k = U_{k+1} B_k, V_k^T WTW V_k = I, U orthonormal; full reorthogonalisation), one product
// with J, one with J^T and one solve with WTW a step; then the same spectrum from the singular
// values of the small B_k = P diag(sigma) R^T: lambda = sigma^2 with ct = P^T ||c|| e_1 (and
// one component of c the Krylov space does not reach, at lambda 0); the step of beta is
// x = -V_k R diag(sigma / (sigma^2 + beta)) ct. It steps on until the linearised misfits of the
// betas of the grid settle, the space is exhausted, or `max_steps`. `after_step` (if any) is
// called with the number of steps made after each.
class KrylovSpectrum : public StepSpectrum {
 public:
  KrylovSpectrum(const ModelSolver& solver, const ScaledSensitivities& g, std::span<const double> c,
                 std::size_t ndat, std::size_t npar, std::size_t max_steps,
                 std::span<const double> betas,
                 const std::function<void(std::size_t)>& after_step = {})
      : ndat_(ndat), npar_(npar) {
    double norm_c = 0;
    for (const double value : c) norm_c += value * value;
    norm_c = std::sqrt(norm_c);
    std::vector<double> u(c.begin(), c.end()), w(npar), z(npar), mz(npar), p(ndat);
    if (norm_c == 0) {
      lambda_.assign(1, 0.0);
      components_.assign(1, 0.0);
      return;
    }
    for (double& value : u) value /= norm_c;
    u_.insert(u_.end(), u.begin(), u.end());
    std::vector<double> alphas, betas_below;  // B's diagonal and subdiagonal
    std::vector<double> previous_misfits;
    const double scale_c = norm_c;
    for (std::size_t k = 0; k < max_steps; ++k) {
      // z = WTW^-1 G^T u_k - beta_k v_{k-1}, reorthogonalised against V in the WTW product.
      g.transpose_times(std::span<const double>(u_.data() + k * ndat, ndat), w);
      mz = w;
      z = w;
      solver.solve(z, 1);
      if (k > 0) {
        const double b = betas_below.back();
        for (std::size_t q = 0; q < npar; ++q) {
          z[q] -= b * v_[(k - 1) * npar + q];
          mz[q] -= b * mv_[(k - 1) * npar + q];
        }
      }
      for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t j = 0; j < k; ++j) {
          double h = 0;
          for (std::size_t q = 0; q < npar; ++q) h += mv_[j * npar + q] * z[q];
          for (std::size_t q = 0; q < npar; ++q) {
            z[q] -= h * v_[j * npar + q];
            mz[q] -= h * mv_[j * npar + q];
          }
        }
      }
      double alpha = 0;
      for (std::size_t q = 0; q < npar; ++q) alpha += z[q] * mz[q];
      alpha = std::sqrt(std::max(alpha, 0.0));
      if (!(alpha > 1e-13 * scale_c * (alphas.empty() ? 1.0 : alphas.front()))) break;
      for (std::size_t q = 0; q < npar; ++q) {
        v_.push_back(z[q] / alpha);
        mv_.push_back(mz[q] / alpha);
      }
      alphas.push_back(alpha);
      // p = G v_k - alpha_k u_k, reorthogonalised against U.
      g.times(std::span<const double>(v_.data() + k * npar, npar), p);
      for (std::size_t i = 0; i < ndat; ++i) p[i] -= alpha * u_[k * ndat + i];
      for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t j = 0; j <= k; ++j) {
          double h = 0;
          for (std::size_t i = 0; i < ndat; ++i) h += u_[j * ndat + i] * p[i];
          for (std::size_t i = 0; i < ndat; ++i) p[i] -= h * u_[j * ndat + i];
        }
      }
      double beta_next = 0;
      for (const double value : p) beta_next += value * value;
      beta_next = std::sqrt(beta_next);
      betas_below.push_back(beta_next);
      const bool exhausted = !(beta_next > 1e-13 * alphas.front()) || k + 1 >= ndat;
      for (std::size_t i = 0; i < ndat; ++i) u_.push_back(exhausted ? 0.0 : p[i] / beta_next);
      steps_ = k + 1;
      if (after_step) after_step(steps_);
      decompose(alphas, betas_below, norm_c);
      // Settled: the linearised misfits of the grid's betas moved by less than 1e-4 of the
      // largest over the last five steps.
      std::vector<double> misfits;
      if (betas.empty()) {  // no beta yet: a grid about the largest eigenvalue so far
        const double largest = *std::max_element(lambda_.begin(), lambda_.end());
        for (int t = 0; t <= 20; ++t) {
          const double tried = largest * std::pow(10.0, 3.0 - 7.0 * t / 20);
          misfits.push_back(predicted_misfit(lambda_, components_, tried));
        }
      }
      for (const double tried : betas)
        misfits.push_back(predicted_misfit(lambda_, components_, tried));
      if (exhausted) break;
      if (steps_ % 5 == 0) {
        if (!previous_misfits.empty()) {
          double change = 0, largest = 0;
          for (std::size_t t = 0; t < misfits.size(); ++t) {
            change = std::max(change, std::abs(misfits[t] - previous_misfits[t]));
            largest = std::max(largest, misfits[t]);
          }
          if (change <= 1e-4 * largest) break;
        }
        previous_misfits = misfits;
      }
    }
    if (steps_ == 0) {  // G^T c = 0: no step reaches any of c
      left_.assign(1, 1.0);
      lambda_.assign(1, 0.0);
      components_.assign(1, norm_c);
    }
  }
  std::size_t steps() const { return steps_; }
  void step(double beta, std::span<double> x) const override {
    // x = -V_k y with y = R diag(sigma / (sigma^2 + beta)) ct: the minimiser of
    // ||c + G V y||^2 + beta ||y||^2.
    std::vector<double> y(steps_, 0.0);
    for (std::size_t i = 0; i < steps_; ++i) {
      const double f = sigma_[i] / (sigma_[i] * sigma_[i] + beta) * components_[i];
      for (std::size_t j = 0; j < steps_; ++j) y[j] += right_[i * steps_ + j] * f;
    }
    std::fill(x.begin(), x.end(), 0.0);
    for (std::size_t j = 0; j < steps_; ++j) {
      for (std::size_t q = 0; q < npar_; ++q) x[q] -= v_[j * npar_ + q] * y[j];
    }
  }
  void residual(double beta, std::span<double> out) const override {
    // U_{k+1} P f with f_i = beta / (sigma_i^2 + beta) ct_i, f_{k+1} = ct_{k+1}.
    const std::size_t rows = steps_ + 1;
    std::vector<double> f(rows), h(rows, 0.0);
    for (std::size_t i = 0; i < rows; ++i) {
      f[i] = i < steps_ ? beta / (sigma_[i] * sigma_[i] + beta) * components_[i] : components_[i];
    }
    for (std::size_t i = 0; i < rows; ++i) {
      for (std::size_t r = 0; r < rows; ++r) h[r] += left_[i * rows + r] * f[i];
    }
    std::fill(out.begin(), out.end(), 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t i = 0; i < ndat_; ++i) out[i] += u_[r * ndat_ + i] * h[r];
    }
  }

 private:
  // The singular values of B ((k+1) x k lower bidiagonal) and the spectrum from them.
  void decompose(const std::vector<double>& alphas, const std::vector<double>& below,
                 double norm_c) {
    const std::size_t k = alphas.size(), rows = k + 1;
    std::vector<double> b(rows * k, 0.0), vt;
    for (std::size_t j = 0; j < k; ++j) {
      b[j + j * rows] = alphas[j];
      b[j + 1 + j * rows] = below[j];
    }
    std::vector<double> u;
    dense::singular_values(rows, k, b, sigma_, u, vt);
    // left_[i * rows + r] = P(r, i): column i of P; right_[i * k + j] = R(j, i) = vt(i, j).
    left_.assign(rows * rows, 0.0);
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t r = 0; r < rows; ++r) left_[i * rows + r] = u[r + i * rows];
    right_.assign(k * k, 0.0);
    for (std::size_t i = 0; i < k; ++i)
      for (std::size_t j = 0; j < k; ++j) right_[i * k + j] = vt[i + j * k];
    lambda_.assign(rows, 0.0);
    components_.assign(rows, 0.0);
    for (std::size_t i = 0; i < rows; ++i) {
      lambda_[i] = i < k ? sigma_[i] * sigma_[i] : 0.0;
      components_[i] = norm_c * left_[i * rows + 0];
    }
  }

  std::size_t ndat_, npar_, steps_ = 0;
  std::vector<double> u_, v_, mv_;  // U by columns (ndat each), V and WTW V (npar each)
  std::vector<double> sigma_, left_, right_;
};

// Why the data of a trial cannot be taken: the first datum (1-based, grouped order) that is not
// finite, or "".
std::string non_finite_data(std::span<const double> d) {
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (!std::isfinite(d[i])) {
      return "the predicted datum " + std::to_string(i + 1) + " is " + shortest(d[i]);
    }
  }
  return {};
}

// Adds the seconds since the last call (or the start) to a phase's account.
class PhaseClock {
 public:
  void charge(double& account) {
    const auto now = std::chrono::steady_clock::now();
    account += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

void log_line(const Io& io, const std::string& text) {
  write_message(io, Order::log_only, text + "\n");
}

std::string exponent(double value) {
  char field[16];
  format_exponent(value, 12, 5, field);
  return std::string(field, 12);
}

// A size in MiB, three digits below 100 MiB.
std::string mebibytes(double bytes) {
  const double value = bytes / 1048576;
  char text[32];
  if (value >= 100) {
    std::snprintf(text, sizeof text, "%.0f", std::round(value));
  } else {
    std::snprintf(text, sizeof text, "%.3g", value);
  }
  return text;
}

// Seconds as a reader takes them: seconds, minutes or hours.
std::string duration(double seconds) {
  char text[48];
  if (seconds < 120) {
    std::snprintf(text, sizeof text, "%.3g s", seconds);
  } else if (seconds < 7200) {
    std::snprintf(text, sizeof text, "%.0f s (%.0f min)", seconds, seconds / 60);
  } else {
    std::snprintf(text, sizeof text, "%.0f s (%.1f h)", seconds, seconds / 3600);
  }
  return text;
}

// The memory of the dense step in bytes: J (ndat x npar), the scaled sensitivities G (a row per
// class) and the data-space matrix with its decomposition (three nclass x nclass: the matrix,
// whose memory keeps the Householder reflectors, the eigenvectors of the tridiagonal matrix, and
// the divide-and-conquer workspace). The half solves are made in J's memory.
struct DenseStepMemory {
  double jacobian, scaled, data_space;
  DenseStepMemory(std::size_t ndat, std::size_t nclass, std::size_t npar)
      : jacobian(8.0 * static_cast<double>(ndat) * static_cast<double>(npar)),
        scaled(8.0 * static_cast<double>(nclass) * static_cast<double>(npar)),
        data_space(24.0 * static_cast<double>(nclass) * static_cast<double>(nclass)) {}
  double total() const { return (jacobian + scaled) + data_space; }
  std::string parts() const {
    return "J " + mebibytes(jacobian) + " MiB, the scaled sensitivities " + mebibytes(scaled) +
           " MiB, the data-space matrix and its decomposition " + mebibytes(data_space) +
           " MiB: " + mebibytes(total()) + " MiB in all";
  }
};

// States, before the first iteration, the dense step's memory against the budget and the step
// taken: in the run log; for the step from products also on the console, with the budget that
// would take the dense step.
void state_step_memory(const Io& io, const DenseStepMemory& dense, double budget, bool given,
                       bool held, std::int32_t krylov_steps) {
  const std::string against = " the memory budget of " + mebibytes(budget) + " MiB (" +
                              (given ? "given" : "half of the memory available") + ")";
  if (held) {
    const bool within = dense.total() <= budget;
    log_line(io, " data-space step: dense, the sensitivities held: " + dense.parts() +
                     (within ? ", within" + against
                             : ", beyond" + against +
                                   ", held all the same: the problem gives no products with J"));
    return;
  }
  std::string text =
      "data-space step: from products with the sensitivities (matrix-free: at most " +
      std::to_string(krylov_steps) +
      " Krylov steps an iteration, each a product with J and one with J^T), as "
      "the dense step would take " +
      dense.parts() + ", beyond" + against + "\n";
  const double needed = std::max(1.0, std::ceil(dense.total() / 1048576));
  if (needed <= static_cast<double>(largest_memory_budget_mib)) {
    char mib[32];
    std::snprintf(mib, sizeof mib, "%.0f", needed);
    text += std::string("a memory budget of ") + mib +
            " MiB or more takes the dense step (--memory-budget " + mib +
            ", the control line memory_budget " + mib + ", or memory_budget=" + mib +
            " in Python)\n";
  }
  write_message(io, Order::console_then_log, text);
}

// The normalised residuals of d.
void residuals(std::span<const double> d, std::span<const double> dobs,
               std::span<const double> dstd, std::vector<double>& r) {
  r.resize(d.size());
  for (std::size_t i = 0; i < d.size(); ++i) r[i] = (d[i] - dobs[i]) / dstd[i];
}

void check_data(const Io& io, std::span<const double> dobs, std::span<const double> dstd) {
  for (std::size_t i = 0; i < dobs.size(); ++i) {
    if (!std::isfinite(dobs[i]) || !(dstd[i] > 0) || !std::isfinite(dstd[i])) {
      stop_with(io, Order::console_then_log,
                "\nError: datum " + std::to_string(i + 1) + " (grouped order) has the value " +
                    shortest(dobs[i]) + " and the standard deviation " + shortest(dstd[i]) +
                    ": both must be finite, the standard deviation positive\n");
    }
  }
}

}  // namespace

std::optional<std::size_t> memory_budget_bytes(double mib) noexcept {
  if (!(mib > 0) || !(mib <= static_cast<double>(largest_memory_budget_mib))) return std::nullopt;
  // Exact: mib * 2^20 is a scaling by a power of two, at most 2^60.
  const double bytes = std::ceil(mib * 1048576);
  if (!(bytes <= static_cast<double>(std::numeric_limits<std::size_t>::max() / 2)))
    return std::nullopt;
  return static_cast<std::size_t>(bytes);
}

std::optional<std::size_t> parse_memory_budget(std::string_view text) noexcept {
  double mib = 0;
  if (text.empty() || parse_real(text, mib) != ReadErrorKind::none) return std::nullopt;
  return memory_budget_bytes(mib);
}

std::string memory_budget_range() {
  return "a number of MiB above 0 and at most " + std::to_string(largest_memory_budget_mib) +
         " (2^40)";
}

const char* stop_reason_text(StopReason reason) {
  switch (reason) {
    case StopReason::target_reached:
      return "reached the target misfit";
    case StopReason::iteration_limit:
      return "reached the iteration limit";
    case StopReason::misfit_stalled:
      return "the misfit no longer falls";
    case StopReason::no_descent:
      return "no step lowers the objective function";
  }
  return "";
}

double model_norm(const ModelObjective& objective, std::span<const double> m,
                  std::span<const double> m_ref) {
  double phi[4] = {0, 0, 0, 0};
  term_norms(objective, m, m_ref, phi);
  return ((phi[0] + phi[1]) + phi[2]) + phi[3];
}

InversionResult gauss_newton(const Io& io, InversionProblem& problem,
                             const ModelObjective& objective, std::span<const double> dobs,
                             std::span<const double> dstd, std::span<const double> m0,
                             std::span<const double> m_ref, const InversionSettings& settings,
                             const IterationObserver& observer) {
  const std::size_t ndat = problem.data_count();
  const std::size_t npar = problem.parameter_count();
  if (dobs.size() != ndat || dstd.size() != ndat || m0.size() != npar || m_ref.size() != npar ||
      static_cast<std::size_t>(csr_row_count(objective.WTW)) != npar) {
    internal_check_failed(io, "gauss_newton: data, models and objective differ in size");
  }
  check_data(io, dobs, dstd);
  if (settings.robust && !sound_robust_threshold(settings.robust_threshold)) {
    stop_with(io, Order::console_then_log,
              "\nError: the robust threshold " + shortest(settings.robust_threshold) +
                  " is out of its range: " + robust_threshold_range() + "\n");
  }
  const dense::SingleThreadedBlas single_threaded_blas;
  // The objective of this iteration: the one given, or its blocky reweighting.
  std::unique_ptr<BlockyObjective> blocky;
  if (settings.blocky) blocky = std::make_unique<BlockyObjective>(io, objective);
  const ModelObjective* current = &objective;
  std::unique_ptr<ModelSolver> unbounded = std::make_unique<ModelSolver>(io, objective, npar);

  InversionResult result;
  result.target_misfit = settings.chifact * static_cast<double>(ndat);
  result.m.assign(m0.begin(), m0.end());
  problem.project(result.m);
  if (const std::string why = problem.inadmissible(result.m); !why.empty()) {
    stop_with(io, Order::console_then_log,
              "\nError: the starting model cannot be taken: " + why + "\n");
  }
  InversionResult::Seconds& seconds = result.seconds;
  PhaseClock clock;
  result.predicted.resize(ndat);
  problem.predict(io, result.m, result.predicted);
  clock.charge(seconds.line_search);
  if (const std::string why = non_finite_data(result.predicted); !why.empty()) {
    stop_with(io, Order::console_then_log,
              "\nError: the data of the starting model are not finite: " + why + "\n");
  }
  std::vector<double> r;
  residuals(result.predicted, dobs, dstd, r);
  DataWeights weights = data_weights(r, settings.robust, settings.robust_threshold);
  double misfit = reported_misfit(r, weights, settings.robust_threshold);
  double norm = model_norm(*current, result.m, m_ref);
  result.misfit_history.push_back(misfit);
  result.norm_history.push_back(norm);
  result.beta_history.push_back(0);

  // J is held when the problem cannot give products with it or when the dense step fits the
  // memory budget; otherwise the step is found from products with J alone. The budget alone
  // decides: given, it makes the choice (and so the bits of the run) the same every time.
  Classes classes(problem.sensitivity_classes(), ndat);
  const std::size_t nclass = classes.count;
  if (nclass < ndat) {
    log_line(io, " data-space step: " + std::to_string(ndat) + " data in " +
                     std::to_string(nclass) +
                     " classes of the same sensitivities (readings repeated or reciprocal)");
  }
  const DenseStepMemory dense(ndat, nclass, npar);
  const bool given = settings.memory_budget > 0;
  const double budget = given ? static_cast<double>(settings.memory_budget)
                              : 0.5 * static_cast<double>(available_memory());
  const bool held = !problem.has_jacobian_products() || dense.total() <= budget;
  state_step_memory(io, dense, budget, given, held, std::max(settings.krylov_steps, 1));
  std::vector<double> jacobian(held ? ndat * npar : 0), d(ndat), g(npar), step0(npar),
      gt(held ? nclass * npar : 0), c(nclass), e(ndat), step(npar), trial(npar), trial_data(ndat),
      trial_r(ndat);
  double beta = 0;
  // How far the last accepted step's misfit stayed above its linearised prediction: the next
  // aim at the target is lowered by as much, so that a nonlinear problem lands on the target
  // rather than just above it, step after step.
  double overshoot = 1;
  std::int32_t slow_iterations = 0;
  // The iteration of the lowest misfit so far (the later on ties) with its model and data.
  std::int32_t best_iteration = 0;
  double best_misfit = misfit;
  std::vector<double> best_m(result.m), best_predicted(result.predicted);
  result.stop = StopReason::iteration_limit;
  for (std::int32_t iteration = 1;; ++iteration) {
    if (misfit <= result.target_misfit) {
      result.stop = StopReason::target_reached;
      break;
    }
    if (iteration > settings.max_iterations) break;
    if (blocky) {
      blocky->reweight(io, result.m, m_ref);
      current = &blocky->objective();
      unbounded = std::make_unique<ModelSolver>(io, *current, npar);
      norm = model_norm(*current, result.m, m_ref);
    }
    clock.charge(seconds.steps);
    if (held) {
      problem.jacobian(io, result.m, jacobian, d);
    } else {
      d = result.predicted;
    }
    clock.charge(seconds.sensitivities);
    residuals(d, dobs, dstd, r);
    weights = data_weights(r, settings.robust, settings.robust_threshold);
    // G, a row sqrt(W) J per class, and the classes' weighted residuals b = sqrt(W) e.
    for (std::size_t i = 0; i < ndat; ++i) e[i] = d[i] - dobs[i];
    classes.weigh(e, dstd, weights.weights);
    if (held) scale_sensitivities(jacobian, classes.rows, classes.scale, npar, gt);
    const ScaledSensitivities g_operator =
        held ? ScaledSensitivities(gt, nclass, npar)
             : ScaledSensitivities(io, problem, result.m, classes);
    std::vector<double> b(nclass);
    for (std::size_t k = 0; k < nclass; ++k) b[k] = classes.scale[k] * classes.mean[k];
    wtw_times_model(*current, result.m, m_ref, g);

    // With a lower bound, the parameters on it that phi would push below it are held this step.
    std::unique_ptr<ModelSolver> bounded;
    if (problem.has_lower_bound()) {
      std::vector<double> data_gradient(npar);
      g_operator.transpose_times(b, data_gradient);
      std::vector<char> held_parameters(npar, 0);
      bool any = false;
      const double bound = problem.lower_bound();
      for (std::size_t p = 0; p < npar; ++p) {
        if (result.m[p] > bound) continue;
        // beta of the last iteration (the first: the gradient of the data alone).
        if (beta * g[p] + data_gradient[p] > 0) held_parameters[p] = any = 1;
      }
      if (any) {
        bounded = std::make_unique<ModelSolver>(io, *current, npar, held_parameters,
                                                1e8 * largest_diagonal(current->WTW));
      }
    }
    const ModelSolver& solver = bounded ? *bounded : *unbounded;
    for (std::size_t p = 0; p < npar; ++p) step0[p] = -g[p];
    solver.solve(step0, 1);  // dm0 = -WTW^-1 g: the step of the model term alone
    // c = b + G dm0.
    g_operator.times(step0, c);
    for (std::size_t k = 0; k < nclass; ++k) c[k] += b[k];
    clock.charge(seconds.steps);
    std::unique_ptr<StepSpectrum> spectrum;
    std::size_t null_eigenvalues = 0;
    if (held) {
      // jacobian's memory takes H: J itself is done with.
      std::vector<double> kernel = DataSpaceSpectrum::matrix(
          solver, g_operator, nclass, jacobian, [&] { clock.charge(seconds.half_solves); });
      clock.charge(seconds.data_space_matrix);
      // Dependent data: the low-rank factor, else the full decomposition of a copy kept.
      std::vector<double> copy(kernel);
      auto low_rank = LowRankSpectrum::make(copy, nclass, solver, g_operator);
      copy = std::vector<double>();
      if (low_rank) {
        low_rank->set_right_hand_side(c);
        null_eigenvalues = low_rank->null_count();
        if (iteration == 1) {
          log_line(io, " data-space matrix of rank " + std::to_string(nclass - null_eigenvalues) +
                           " of " + std::to_string(nclass) + ": steps from its low-rank factor");
        }
        spectrum = std::move(low_rank);
      } else {
        auto data_space = std::make_unique<DataSpaceSpectrum>(kernel, nclass, solver, g_operator);
        data_space->set_right_hand_side(c);
        spectrum = std::move(data_space);
      }
    } else {
      const double centre = iteration == 1 ? 0.0 : beta;
      std::vector<double> grid_betas;
      for (std::int32_t t = 0; t < std::max(settings.beta_trials, 2) && centre > 0; ++t)
        grid_betas.push_back(centre * std::pow(10.0, 3.0 - 7.0 * t / (settings.beta_trials - 1)));
      // The first Krylov step of the run measures what the steps may take.
      const auto krylov_start = std::chrono::steady_clock::now();
      const auto estimate = [&](std::size_t steps) {
        if (iteration != 1 || steps != 1) return;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - krylov_start).count();
        const double most = seconds * std::max(settings.krylov_steps, 1) * settings.max_iterations;
        write_message(io, Order::console_then_log,
                      "matrix-free step: its first Krylov step (a product with J^T, a solve with "
                      "WTW and a product with J) took " +
                          duration(seconds) + "; at most " +
                          std::to_string(std::max(settings.krylov_steps, 1)) +
                          " Krylov steps in each of at most " +
                          std::to_string(settings.max_iterations) + " iterations may take " +
                          duration(most) +
                          " beside the line searches (fewer when the Krylov space settles)\n");
      };
      auto krylov = std::make_unique<KrylovSpectrum>(
          solver, g_operator, c, nclass, npar,
          static_cast<std::size_t>(std::max(settings.krylov_steps, 1)), grid_betas, estimate);
      log_line(io, " Krylov steps: " + std::to_string(krylov->steps()));
      spectrum = std::move(krylov);
    }
    clock.charge(seconds.decomposition);
    const std::vector<double>& ct = spectrum->components();
    const std::vector<double>& lambda = spectrum->eigenvalues();
    if (iteration == 1) {
      // The first beta: the largest ratio of the curvatures of phi_d and phi_m, the largest
      // eigenvalue of the data-space matrix.
      const double largest = *std::max_element(lambda.begin(), lambda.end());
      beta = largest;
      if (!(beta > 0) || !std::isfinite(beta)) beta = 1.0;
      result.beta_history[0] = beta;
      if (held) {
        // A low-rank spectrum holds its null space as one value at 0.
        std::size_t negligible = null_eigenvalues > 0 ? null_eigenvalues - 1 : 0;
        for (const double value : lambda) negligible += value <= 1e-12 * largest;
        log_line(io, " data-space matrix: " + std::to_string(negligible) + " of " +
                         std::to_string(nclass) +
                         " eigenvalues below 1e-12 of the largest (dependent data)");
      }
    }
    // Two linearised misfits of beta. The weighted one, which the step minimises, comes from the
    // spectrum alone; it measures progress. The reported one (least squares: the same) is
    // compared with the target; robust, it comes from every datum's linearised residual in terms
    // of its class, (Q (beta / (Lambda + beta)) Q^T c / sqrt(W) + d - dobs - e) / dstd, so that
    // fitting a reading weighted down does not stand for fitting the others.
    std::vector<double> linear_classes(nclass), linear(ndat);
    const auto weighted_linearised = [&](double tried) {
      return predicted_misfit(lambda, ct, tried) + classes.constant;
    };
    const auto linearised = [&](double tried) {
      if (!settings.robust) return weighted_linearised(tried);
      spectrum->residual(tried, linear_classes);
      for (std::size_t i = 0; i < ndat; ++i) {
        const std::size_t k = classes.of[i];
        linear[i] = (linear_classes[k] / classes.scale[k] + e[i] - classes.mean[k]) / dstd[i];
      }
      return reported_misfit(linear, weights, settings.robust_threshold);
    };
    // Betas on a log grid from 1e3 above the last to 1e-4 below it. The step aims at a fraction
    // of the present weighted misfit, but not below a hair under the target (so that a step that
    // lands on its aim ends the inversion): of the two betas that reach these aims, the larger.
    IterationReport report;
    report.iteration = iteration;
    report.first_beta = result.beta_history[0];
    report.previous_misfit = misfit;
    report.down_weighted = weights.down_weighted;
    const std::int32_t trials = std::max(settings.beta_trials, 2);
    std::vector<double> tried_weighted;
    for (std::int32_t t = 0; t < trials; ++t) {
      const double exponent_of_ten = 3.0 - 7.0 * t / (trials - 1);
      const double tried = beta * std::pow(10.0, exponent_of_ten);
      report.tried_betas.push_back(tried);
      report.tried_misfits.push_back(linearised(tried));
      tried_weighted.push_back(weighted_linearised(tried));
    }
    // The beta whose misfit is `aim`, the misfit growing with beta: bracketed on the grid
    // (descending betas), then by bisection in log beta.
    const auto beta_for = [&](const std::vector<double>& grid, auto&& misfit_of, double aim) {
      const std::vector<double>& betas = report.tried_betas;
      if (grid.front() <= aim) return betas.front();
      if (grid[grid.size() - 1] >= aim) return betas[grid.size() - 1];
      std::size_t above = 0;
      while (above + 1 < grid.size() && grid[above + 1] >= aim) ++above;
      double high = std::log(betas[above]), low = std::log(betas[above + 1]);
      for (int bisection = 0; bisection < 60; ++bisection) {
        const double middle = (high + low) / 2;
        if (misfit_of(std::exp(middle)) > aim) {
          high = middle;
        } else {
          low = middle;
        }
      }
      return std::exp((high + low) / 2);
    };
    // Readings that contradict each other (a spoiled reading and its reciprocal) leave a floor
    // that no beta goes below: the progress aimed at is then a fraction of the way down to it,
    // not to nothing, lest the smallest beta throw the model away.
    const double present_weighted = weighted_misfit(r, weights);
    const double floor = std::min(tried_weighted.back(), present_weighted);
    const double for_progress =
        beta_for(tried_weighted, weighted_linearised,
                 floor + settings.misfit_fraction * (present_weighted - floor));
    const double for_target =
        beta_for(report.tried_misfits, linearised, 0.99 * result.target_misfit / overshoot);
    double chosen = std::max(for_progress, for_target);
    if (std::find(report.tried_betas.begin(), report.tried_betas.end(), chosen) ==
        report.tried_betas.end()) {
      report.tried_betas.push_back(chosen);
      report.tried_misfits.push_back(linearised(chosen));
    }
    if (settings.robust) {
      log_line(io, " robust misfit: " + std::to_string(weights.down_weighted) + " of " +
                       std::to_string(ndat) + " data weighted down (threshold" +
                       exponent(weights.threshold) + " standard deviations)");
    }

    // The line search on phi = (robust) phi_d + beta phi_m, halving the step until phi falls; when
    // no length does, the step of a ten times larger beta (a shorter, smoother one), twice.
    const double data_term = weighted_misfit(r, weights);
    bool accepted = false;
    double length = 1, trial_misfit = 0, trial_norm = 0;
    std::string last_trials;
    for (int retry = 0; retry < 3 && !accepted; ++retry, chosen *= 10) {
      if (retry > 0) {
        log_line(io,
                 " no step length lowered phi: the step of beta" + exponent(chosen) + " is tried");
      }
      beta = chosen;
      spectrum->step(beta, step);
      for (std::size_t p = 0; p < npar; ++p) step[p] += step0[p];
      double largest = 0;
      for (const double value : step) largest = std::max(largest, std::abs(value));
      double scale = 1;
      if (settings.max_step > 0 && largest > settings.max_step) {
        scale = settings.max_step / largest;
        log_line(io, " step bounded: its largest change" + exponent(largest) +
                         " is scaled down to" + exponent(settings.max_step));
      }
      const double phi = data_term + beta * norm;
      length = scale;
      for (std::int32_t halving = 0; halving <= settings.max_step_halvings;
           ++halving, length /= 2) {
        for (std::size_t p = 0; p < npar; ++p) trial[p] = result.m[p] + length * step[p];
        problem.project(trial);
        std::string why = problem.inadmissible(trial);
        double trial_phi = 0;
        if (why.empty()) {
          clock.charge(seconds.steps);
          problem.predict(io, trial, trial_data);
          clock.charge(seconds.line_search);
          why = non_finite_data(trial_data);
        }
        if (why.empty()) {
          residuals(trial_data, dobs, dstd, trial_r);
          trial_norm = model_norm(*current, trial, m_ref);
          trial_phi = weighted_misfit(trial_r, weights) + beta * trial_norm;
          if (trial_phi < phi) {
            trial_misfit = reported_misfit(trial_r, weights, settings.robust_threshold);
            accepted = true;
            break;
          }
          why = "phi" + exponent(trial_phi) + " is not below" + exponent(phi);
        }
        ++report.rejected_trials;
        last_trials = " trial of step length" + exponent(length) + " rejected: " + why;
        log_line(io, last_trials);
      }
    }
    if (!accepted) {
      result.stop = StopReason::no_descent;
      log_line(io, " no step lowers the objective function; the last trial:" + last_trials);
      break;
    }
    const double previous = misfit;
    result.m.swap(trial);
    result.predicted.swap(trial_data);
    misfit = trial_misfit;
    report.beta = beta;
    report.predicted_misfit = linearised(beta);
    report.model_norm_change = trial_norm - norm;
    norm = trial_norm;
    report.misfit = misfit;
    report.model_norm = norm;
    report.step_length = length;
    double least_squares = 0, weighted = 0;
    for (std::size_t i = 0; i < ndat; ++i) {
      least_squares += trial_r[i] * trial_r[i];
      weighted += weights.weights[i] * trial_r[i] * trial_r[i];
    }
    report.least_squares_misfit = least_squares;
    if (settings.robust) {
      log_line(io, " misfit: robust" + exponent(misfit) + ", least squares" +
                       exponent(least_squares) + ", weighted" + exponent(weighted) +
                       ", step length" + exponent(length));
    }
    result.iterations = iteration;
    result.misfit_history.push_back(misfit);
    result.norm_history.push_back(norm);
    result.beta_history.push_back(beta);
    if (misfit <= best_misfit) {
      best_iteration = iteration;
      best_misfit = misfit;
      best_m.assign(result.m.begin(), result.m.end());
      best_predicted.assign(result.predicted.begin(), result.predicted.end());
    }
    overshoot =
        report.predicted_misfit > 0 ? std::clamp(misfit / report.predicted_misfit, 1.0, 1.1) : 1.0;
    BetaChoice choice{beta, result.target_misfit, misfit, previous, norm, report.model_norm_change};
    report_beta_choice(io, choice, BetaTrials{report.tried_betas, report.tried_misfits});
    report_term_norms(io, *current, result.m, m_ref);
    if (observer) observer(report, result.m, result.predicted);
    // A stall: two accepted iterations in a row that lowered the misfit by less than the stall
    // fraction, short of the target.
    slow_iterations =
        previous - misfit < settings.stall_fraction * previous ? slow_iterations + 1 : 0;
    if (misfit > result.target_misfit && slow_iterations >= 2) {
      result.stop = StopReason::misfit_stalled;
      break;
    }
  }
  clock.charge(seconds.steps);
  // An earlier iteration that fitted better than the last (a reweighting or a stall raised the
  // misfit at the end) is the result.
  result.kept_iteration = best_iteration;
  if (best_iteration != result.iterations) {
    result.m.swap(best_m);
    result.predicted.swap(best_predicted);
    write_message(io, Order::console_then_log,
                  "the model of iteration " + std::to_string(best_iteration) +
                      (best_iteration == 0 ? " (the starting model)" : "") + ", misfit" +
                      exponent(best_misfit) + ", is kept: the last iteration's misfit" +
                      exponent(result.misfit_history.back()) + " is larger\n");
  }
  residuals(result.predicted, dobs, dstd, r);
  result.data_weights = data_weights(r, settings.robust, settings.robust_threshold).weights;
  return result;
}

}  // namespace quelby
