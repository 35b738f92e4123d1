#include "quelby/inversion/model_solver.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "quelby/base/parallel.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

// What in the objective makes WTW fail to factorise: a value that is not finite, or a diagonal
// so small against the largest that the matrix is singular to rounding.
std::string why_not_positive_definite(const ModelObjective& objective, std::size_t npar) {
  const CsrMatrix& wtw = objective.WTW;
  double largest = 0, smallest = 0;
  std::size_t smallest_at = 0;
  bool first = true;
  for (std::size_t p = 0; p < npar; ++p) {
    double diagonal = 0;
    for (std::int32_t at = wtw.row_start[p]; at < wtw.row_start[p + 1]; ++at) {
      const double value = wtw.values[static_cast<std::size_t>(at)];
      if (!std::isfinite(value)) {
        return "its row " + std::to_string(p + 1) + " holds " +
               (std::isnan(value) ? "NaN" : shortest(value)) +
               ": the alpha coefficients, length scales or cell weights give values that are not "
               "finite numbers";
      }
      if (wtw.columns[static_cast<std::size_t>(at)] == static_cast<std::int32_t>(p))
        diagonal = value;
    }
    largest = std::max(largest, diagonal);
    if (first || diagonal < smallest) smallest = diagonal, smallest_at = p;
    first = false;
  }
  if (!(smallest > 1e-13 * largest)) {
    return "its diagonal entry of parameter " + std::to_string(smallest_at + 1) + " (" +
           shortest(smallest) + ") is negligible against the largest (" + shortest(largest) +
           "): the smallness coefficient alpha_s or the smallness weights are zero or too small "
           "against the derivative terms";
  }
  // The derivative terms vanish on a uniform model: the smallness term alone holds it.
  if (!objective.wtw_terms.empty()) {
    double smallness = 0;
    for (const double value : objective.wtw_terms[0].values) smallness = std::max(smallness, value);
    if (!(smallness > 1e-13 * largest)) {
      return "its smallness term (largest entry " + shortest(smallness) +
             ") is negligible against its derivative terms (largest diagonal " + shortest(largest) +
             "), which leave a uniform model free: raise the smallness coefficient alpha_s or "
             "lower the length scales";
    }
  }
  return "the alpha coefficients or the cell weights make it singular to rounding";
}

// body(begin, end) over contiguous parts of [0, count) on the pool; the first exception of a part
// is rethrown here.
template <typename Body>
void split(std::size_t count, Body&& body) {
  parallel_for_rethrowing(static_cast<std::int64_t>(count), 2,
                          [&](std::int64_t begin, std::int64_t end) {
                            body(static_cast<std::size_t>(begin), static_cast<std::size_t>(end));
                          });
}

// Runs `work` on the right-hand sides in two halves, each gathered into its own block, on the
// pool; `work(in, width, out)` maps `width` right-hand sides stored row by row.
template <typename Work>
void in_halves(std::size_t n, std::size_t count, std::span<const double> rhs, std::span<double> out,
               Work&& work) {
  const std::size_t half = count / 2;
  const std::size_t widths[2] = {half, count - half};
  const std::size_t offsets[2] = {0, half};
  std::vector<double> parts[2];
  split(2, [&](std::size_t begin, std::size_t end) {
    for (std::size_t part = begin; part < end; ++part) {
      if (widths[part] == 0) continue;
      std::vector<double> in(n * widths[part]);
      for (std::size_t p = 0; p < n; ++p) {
        std::copy_n(rhs.data() + p * count + offsets[part], widths[part],
                    in.data() + p * widths[part]);
      }
      parts[part].resize(n * widths[part]);
      work(in, widths[part], parts[part]);
    }
  });
  for (std::size_t part = 0; part < 2; ++part) {
    if (widths[part] == 0) continue;
    for (std::size_t p = 0; p < n; ++p) {
      std::copy_n(parts[part].data() + p * widths[part], widths[part],
                  out.data() + p * count + offsets[part]);
    }
  }
}

}  // namespace

double largest_diagonal(const CsrMatrix& matrix) {
  double largest = 0;
  const std::int32_t rows = csr_row_count(matrix);
  for (std::int32_t p = 0; p < rows; ++p) {
    for (std::int32_t at = matrix.row_start[static_cast<std::size_t>(p)];
         at < matrix.row_start[static_cast<std::size_t>(p) + 1]; ++at) {
      if (matrix.columns[static_cast<std::size_t>(at)] == p)
        largest = std::max(largest, matrix.values[static_cast<std::size_t>(at)]);
    }
  }
  return largest;
}

ModelSolver::ModelSolver(const Io& io, const ModelObjective& objective, std::size_t npar,
                         std::span<const char> held, double penalty, CholeskyKind kind)
    : n_(npar) {
  const CsrMatrix& wtw = objective.WTW;
  // The upper triangle in compressed columns: WTW is symmetric with each row's columns ascending,
  // so column j of the upper triangle is row j up to the diagonal.
  std::vector<std::int32_t> starts, rows;
  std::vector<double> values;
  for (std::size_t j = 0; j < npar; ++j) {
    starts.push_back(static_cast<std::int32_t>(rows.size()));
    for (std::int32_t at = wtw.row_start[j]; at < wtw.row_start[j + 1]; ++at) {
      const std::int32_t column = wtw.columns[static_cast<std::size_t>(at)];
      if (column < 0 || static_cast<std::size_t>(column) > j) continue;
      rows.push_back(column);
      values.push_back(
          wtw.values[static_cast<std::size_t>(at)] +
          (static_cast<std::size_t>(column) == j && !held.empty() && held[j] ? penalty : 0.0));
    }
  }
  starts.push_back(static_cast<std::int32_t>(rows.size()));
  // A constant model is the derivative terms' null space: its Rayleigh quotient 1^T WTW 1 / n
  // bounds the smallest eigenvalue, and one below 1e-13 of the largest diagonal entry leaves a
  // matrix that a factorisation may take but whose solves are rounding noise.
  double constant_quotient = 0;
  for (std::size_t j = 0; j < npar; ++j) {
    for (std::int32_t at = wtw.row_start[j]; at < wtw.row_start[j + 1]; ++at) {
      const std::int32_t column = wtw.columns[static_cast<std::size_t>(at)];
      if (column >= 0 && static_cast<std::size_t>(column) < npar)
        constant_quotient += wtw.values[static_cast<std::size_t>(at)];
    }
    if (!held.empty() && held[j]) constant_quotient += penalty;
  }
  constant_quotient /= static_cast<double>(std::max<std::size_t>(npar, 1));
  const bool singular = npar > 0 && constant_quotient < 1e-13 * largest_diagonal(wtw);
  try {
    if (singular) throw std::runtime_error("numerically singular");
    pattern_ =
        std::make_unique<CholeskyPattern>(static_cast<std::int32_t>(npar), starts, rows, kind);
    factor_ = std::make_unique<CholeskyFactor>(*pattern_, values);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  } catch (const std::exception&) {
    stop_with(io, Order::console_then_log,
              "\nError: the model objective's matrix WTW is not positive definite: " +
                  why_not_positive_definite(objective, npar) + "\n");
  }
}

ModelSolver::~ModelSolver() = default;

void ModelSolver::solve(std::span<double> rhs, std::size_t count) const {
  if (count < 8) {
    factor_->solve(rhs, count);
    return;
  }
  in_halves(n_, count, rhs, rhs,
            [&](std::vector<double>& in, std::size_t width, std::vector<double>& out) {
              factor_->solve(in, width);
              out.swap(in);
            });
}

void ModelSolver::half_solve(std::span<const double> rhs, std::size_t count,
                             std::span<double> y) const {
  in_halves(n_, count, rhs, y,
            [&](std::vector<double>& in, std::size_t width, std::vector<double>& out) {
              factor_->forward_dense(in, width, out);
            });
  split(n_, [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      const double scale = 1 / std::sqrt(factor_->pivot(j));
      double* row = y.data() + j * count;
      for (std::size_t c = 0; c < count; ++c) row[c] *= scale;
    }
  });
}

}  // namespace quelby
