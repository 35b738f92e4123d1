#include "quelby/forward/spd_solver.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

#include "quelby/base/parallel.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/cholesky.hpp"

namespace quelby {
namespace {

std::string scientific(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 2);
  return std::string(text, end.ptr);
}

// Runs `work`, turning the solver libraries' failures into stops with their messages.
template <typename Work>
void stopping_on_failure(const Io& io, Work&& work) {
  try {
    work();
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  } catch (const std::invalid_argument& failure) {
    internal_check_failed(io, failure.what());
  } catch (const Stop&) {
    throw;
  } catch (const std::runtime_error& failure) {
    stop_with(io, Order::console_then_log, std::string("\nError: ") + failure.what() + "\n");
  }
}

}  // namespace

struct SpdSolver::Impl {
  std::int32_t n = 0;
  SpdSolverOptions options;
  // Direct: the upper triangle in compressed columns, which for a symmetric matrix is its lower
  // triangle in compressed rows: column j holds the leading entries (columns <= j) of row j.
  std::vector<std::int32_t> row_starts;  // the caller's, to pick the triangle out of new values
  std::vector<std::int32_t> upper_starts, upper_rows;
  std::vector<double> upper_values;
  std::unique_ptr<CholeskyPattern> pattern;
  std::unique_ptr<CholeskyFactor> factor;
  // Multigrid.
  std::unique_ptr<MultigridSolver> multigrid;

  void take_upper_values(std::span<const double> values) {
    for (std::int32_t j = 0; j < n; ++j) {
      const auto column = static_cast<std::size_t>(j);
      const std::int32_t length = upper_starts[column + 1] - upper_starts[column];
      std::copy_n(values.begin() + row_starts[column], length,
                  upper_values.begin() + upper_starts[column]);
    }
  }

  // r = b - A x for `count` right-hand sides node by node, from the upper triangle: each entry
  // (i, j), i < j, acts on row i and on row j; then ||r_c|| / ||b_c|| for each c.
  std::vector<SpdSolveReport> residuals(std::span<const double> b, std::span<const double> x,
                                        std::size_t count) const {
    std::vector<double> r(b.begin(), b.end());
    for (std::size_t j = 0; j < static_cast<std::size_t>(n); ++j) {
      const double* xj = x.data() + j * count;
      double* rj = r.data() + j * count;
      for (std::int32_t at = upper_starts[j]; at < upper_starts[j + 1]; ++at) {
        const auto i = static_cast<std::size_t>(upper_rows[static_cast<std::size_t>(at)]);
        const double a = upper_values[static_cast<std::size_t>(at)];
        double* ri = r.data() + i * count;
        for (std::size_t c = 0; c < count; ++c) ri[c] -= a * xj[c];
        if (i == j) continue;
        const double* xi = x.data() + i * count;
        for (std::size_t c = 0; c < count; ++c) rj[c] -= a * xi[c];
      }
    }
    std::vector<double> rr(count, 0.0), bb(count, 0.0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
      for (std::size_t c = 0; c < count; ++c) {
        rr[c] += r[i * count + c] * r[i * count + c];
        bb[c] += b[i * count + c] * b[i * count + c];
      }
    }
    std::vector<SpdSolveReport> reports(count);
    for (std::size_t c = 0; c < count; ++c)
      reports[c].relative_residual = bb[c] > 0 ? std::sqrt(rr[c] / bb[c]) : std::sqrt(rr[c]);
    return reports;
  }

  // The direct solves, with their residuals, of a contiguous group of right-hand sides per thread
  // (each in blocks of its own); every right-hand side gets the same bits on any split.
  std::vector<SpdSolveReport> solve_direct(std::span<const double> b, std::span<double> x,
                                           std::size_t count) const {
    const auto size = static_cast<std::size_t>(n);
    const std::size_t parts =
        std::min<std::size_t>(count, static_cast<std::size_t>(parallel_thread_count()));
    std::vector<SpdSolveReport> reports(count);
    if (parts <= 1) {
      std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(size * count), x.begin());
      factor->solve(x, count);
      return residuals(b, x, count);
    }
    parallel_for_rethrowing(
        static_cast<std::int64_t>(parts), 2, [&](std::int64_t first, std::int64_t last) {
          for (auto part = static_cast<std::size_t>(first); part < static_cast<std::size_t>(last);
               ++part) {
            const std::size_t begin = count * part / parts;
            const std::size_t width = count * (part + 1) / parts - begin;
            std::vector<double> rhs(size * width), block(size * width);
            for (std::size_t i = 0; i < size; ++i)
              std::copy_n(b.data() + i * count + begin, width, rhs.data() + i * width);
            block = rhs;
            factor->solve(block, width);
            for (std::size_t i = 0; i < size; ++i)
              std::copy_n(block.data() + i * width, width, x.data() + i * count + begin);
            const std::vector<SpdSolveReport> own = residuals(rhs, block, width);
            std::copy(own.begin(), own.end(), reports.begin() + static_cast<std::ptrdiff_t>(begin));
          }
        });
    return reports;
  }
};

SpdSolver::SpdSolver(const Io& io, std::int32_t n, std::span<const std::int32_t> row_starts,
                     std::span<const std::int32_t> columns, std::span<const double> values,
                     const SpdSolverOptions& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.n = n;
  s.options = options;
  if (n < 1 || row_starts.size() != static_cast<std::size_t>(n) + 1 || row_starts[0] != 0 ||
      columns.size() < static_cast<std::size_t>(row_starts.back()) ||
      values.size() < static_cast<std::size_t>(row_starts.back()))
    internal_check_failed(io, "sparse solver: the matrix's arrays do not agree");
  const bool direct = options.kind == SpdSolverKind::direct ||
                      (options.kind == SpdSolverKind::automatic && n <= options.direct_limit);
  stopping_on_failure(io, [&] {
    if (!direct) {
      s.multigrid =
          std::make_unique<MultigridSolver>(n, row_starts, columns, values, options.multigrid,
                                            options.relative_tolerance, options.max_iterations);
      return;
    }
    const auto size = static_cast<std::size_t>(n);
    s.row_starts.assign(row_starts.begin(), row_starts.end());
    s.upper_starts.assign(size + 1, 0);
    for (std::size_t i = 0; i < size; ++i) {
      std::int32_t at = row_starts[i];
      while (at < row_starts[i + 1] &&
             columns[static_cast<std::size_t>(at)] <= static_cast<std::int32_t>(i))
        s.upper_rows.push_back(columns[static_cast<std::size_t>(at++)]);
      s.upper_starts[i + 1] = static_cast<std::int32_t>(s.upper_rows.size());
    }
    s.upper_values.resize(s.upper_rows.size());
    s.take_upper_values(values);
    s.pattern =
        std::make_unique<CholeskyPattern>(n, s.upper_starts, s.upper_rows, CholeskyKind::automatic);
    s.factor = std::make_unique<CholeskyFactor>(*s.pattern, s.upper_values);
  });
}

SpdSolver::~SpdSolver() = default;
SpdSolver::SpdSolver(SpdSolver&&) noexcept = default;
SpdSolver& SpdSolver::operator=(SpdSolver&&) noexcept = default;

bool SpdSolver::direct() const noexcept {
  return impl_->multigrid == nullptr;
}

std::int32_t SpdSolver::size() const noexcept {
  return impl_->n;
}

std::vector<SpdSolveReport> SpdSolver::solve(const Io& io, std::span<const double> b,
                                             std::span<double> x, std::size_t count) const {
  const Impl& s = *impl_;
  const std::size_t values = static_cast<std::size_t>(s.n) * count;
  if (b.size() < values || x.size() < values)
    internal_check_failed(io, "sparse solver: the right-hand sides do not match the matrix");
  if (count == 0) return {};
  std::vector<SpdSolveReport> reports;
  stopping_on_failure(io, [&] {
    if (!s.multigrid) {
      reports = s.solve_direct(b, x, count);
      return;
    }
    const auto size = static_cast<std::size_t>(s.n);
    std::vector<double> one_b(size), one_x(size);
    reports.resize(count);
    for (std::size_t c = 0; c < count; ++c) {
      for (std::size_t i = 0; i < size; ++i) {
        one_b[i] = b[i * count + c];
        one_x[i] = x[i * count + c];
      }
      bool converged = false;
      reports[c] = s.multigrid->solve(one_b, one_x, converged);
      for (std::size_t i = 0; i < size; ++i) x[i * count + c] = one_x[i];
      if (!converged) {
        // The right-hand side's number is 1-based.
        stop_with(io, Order::console_then_log,
                  "\nError: conjugate gradients with multigrid did not converge for right-hand "
                  "side " +
                      std::to_string(c + 1) + " of " + std::to_string(count) + ": " +
                      std::to_string(reports[c].iterations) + " iterations, relative residual " +
                      scientific(reports[c].relative_residual) + " (tolerance " +
                      scientific(s.options.relative_tolerance) + ")\n");
      }
    }
  });
  return reports;
}

void SpdSolver::update(const Io& io, std::span<const double> values) {
  Impl& s = *impl_;
  stopping_on_failure(io, [&] {
    if (s.multigrid) {
      s.multigrid->update(values);
      return;
    }
    if (values.size() < static_cast<std::size_t>(s.row_starts.back()))
      throw std::invalid_argument("sparse solver: the new values do not match the pattern");
    s.take_upper_values(values);
    s.factor->refactor(s.upper_values);
  });
}

double SpdSolver::memory_bytes() const {
  const Impl& s = *impl_;
  if (s.multigrid) return s.multigrid->memory_bytes();
  // The factor, the pattern's and this object's copies of the triangle, the row starts.
  const double entries = static_cast<double>(s.upper_rows.size());
  return s.pattern->factor_bytes() + entries * (2 * sizeof(std::int32_t) + sizeof(double)) +
         static_cast<double>(s.n + 1) * 4 * sizeof(std::int32_t);
}

int SpdSolver::multigrid_levels() const {
  return impl_->multigrid ? impl_->multigrid->levels() : 0;
}

double SpdSolver::operator_complexity() const {
  return impl_->multigrid ? impl_->multigrid->operator_complexity() : 0;
}

}  // namespace quelby
