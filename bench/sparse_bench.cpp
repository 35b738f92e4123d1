// The sparse operations on the first-difference operators of a square grid of cells, as the model
// objective builds them: Wx and Wz have two entries per row (-v at the cell, +v at its x or z
// neighbour; the last cell of a line pairs backward with the one before it). The fast versions run
// on 10^4 to 10^6 rows, the scanning reference versions of tests/sparse on 10^3 and 10^4 rows.
// The counter s_per_entry is the time per stored entry of the (first) input matrix; outputs are
// fresh matrices in every iteration, as in a real set-up.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "quelby/sparse/csr.hpp"
#include "tests/sparse/csr_literal.hpp"

namespace {

using quelby::CsrMatrix;

enum class Direction { x, z };

CsrMatrix first_difference(std::int32_t g, Direction direction) {
  const std::int32_t n = g * g;
  const std::int32_t step = direction == Direction::x ? 1 : g;
  CsrMatrix w;
  w.values.reserve(2 * static_cast<std::size_t>(n));
  w.columns.reserve(2 * static_cast<std::size_t>(n));
  w.row_start.reserve(static_cast<std::size_t>(n) + 1);
  for (std::int32_t k = 0; k < g; ++k) {
    for (std::int32_t i = 0; i < g; ++i) {
      const std::int32_t cell = k * g + i;
      const bool last = (direction == Direction::x ? i : k) == g - 1;
      const std::int32_t first = last ? cell - step : cell;
      const double v = 1.0 + 0.125 * (cell % 7);
      w.row_start.push_back(static_cast<std::int32_t>(w.values.size()));
      w.columns.insert(w.columns.end(), {first, first + step});
      w.values.insert(w.values.end(), {-v, v});
    }
  }
  w.row_start.push_back(static_cast<std::int32_t>(w.values.size()));
  return w;
}

struct Grid {
  std::int32_t n;
  CsrMatrix wx;
  CsrMatrix wz;
  CsrMatrix wx_transposed;
  std::vector<double> x;
  std::vector<double> weights;

  explicit Grid(std::int64_t rows) {
    const auto g = static_cast<std::int32_t>(std::lround(std::sqrt(static_cast<double>(rows))));
    n = g * g;
    wx = first_difference(g, Direction::x);
    wz = first_difference(g, Direction::z);
    quelby::csr_transpose(wx, n, wx_transposed);
    for (std::int32_t i = 0; i < n; ++i) {
      x.push_back(std::sin(0.001 * i));
      weights.push_back(0.5 + 0.25 * (i % 5));
    }
  }
};

void count_entries(benchmark::State& state, const CsrMatrix& a) {
  state.counters["rows"] = static_cast<double>(quelby::csr_row_count(a));
  state.counters["s_per_entry"] = benchmark::Counter(
      static_cast<double>(a.row_start.back()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// What memory speed means here: one pass reading the bytes csr_multiply reads (values, columns,
// row starts and x) and writing y, with nothing in the way of vectorising.
void memory_pass(benchmark::State& state) {
  const Grid grid(state.range(0));
  const CsrMatrix& a = grid.wx;
  std::vector<double> y(grid.x.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < y.size(); ++i) {
      y[i] = a.values[2 * i] + a.values[2 * i + 1] + grid.x[i] +
             static_cast<double>(a.columns[2 * i] + a.columns[2 * i + 1] + a.row_start[i]);
    }
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  count_entries(state, a);
}

void multiply(benchmark::State& state) {
  const Grid grid(state.range(0));
  std::vector<double> y(grid.x.size());
  for (auto _ : state) {
    quelby::csr_multiply(grid.wx, grid.x, y);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  count_entries(state, grid.wx);
}

void multiply_transposed(benchmark::State& state) {
  const Grid grid(state.range(0));
  std::vector<double> y(grid.x.size());
  for (auto _ : state) {
    quelby::csr_multiply_transposed(grid.wx, grid.x, y);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  count_entries(state, grid.wx);
}

void quadratic_form(benchmark::State& state) {
  const Grid grid(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(quelby::csr_quadratic_form(grid.wx, grid.x));
  count_entries(state, grid.wx);
}

template <bool scanning>
void transpose(benchmark::State& state) {
  const Grid grid(state.range(0));
  for (auto _ : state) {
    CsrMatrix t;
    if constexpr (scanning) {
      quelby::literal::transpose(grid.wx, grid.n, t);
    } else {
      quelby::csr_transpose(grid.wx, grid.n, t);
    }
    benchmark::DoNotOptimize(t.values.data());
  }
  count_entries(state, grid.wx);
}

// Wx^T diag(weights) B, with B = Wx or B = Wz (the cross term of the objective).
template <bool scanning, Direction b_direction>
void scaled_product(benchmark::State& state) {
  const Grid grid(state.range(0));
  const CsrMatrix& b = b_direction == Direction::x ? grid.wx : grid.wz;
  for (auto _ : state) {
    CsrMatrix c;
    if constexpr (scanning) {
      quelby::literal::scaled_product(grid.wx_transposed, grid.weights, b, grid.n, c);
    } else {
      quelby::csr_scaled_product(grid.wx_transposed, grid.weights, b, grid.n, c);
    }
    benchmark::DoNotOptimize(c.values.data());
  }
  count_entries(state, grid.wx_transposed);
}

// Wx^T diag(weights) Wx; the copy of Wx that the product rewrites is made outside the timing.
template <bool scanning>
void weighted_gram(benchmark::State& state) {
  const Grid grid(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    CsrMatrix a = grid.wx;
    CsrMatrix g;
    state.ResumeTiming();
    if constexpr (scanning) {
      quelby::literal::weighted_gram(a, grid.weights, grid.n, g);
    } else {
      quelby::csr_weighted_gram(a, grid.weights, grid.n, g);
    }
    benchmark::DoNotOptimize(g.values.data());
    state.PauseTiming();
    a = {};
    g = {};
    state.ResumeTiming();
  }
  count_entries(state, grid.wx);
}

void fast_sizes(benchmark::internal::Benchmark* b) {
  b->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
}

void scanning_sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(memory_pass)->Apply(fast_sizes);
BENCHMARK(multiply)->Apply(fast_sizes);
BENCHMARK(multiply_transposed)->Apply(fast_sizes);
BENCHMARK(quadratic_form)->Apply(fast_sizes);
BENCHMARK(transpose<false>)->Name("transpose")->Apply(fast_sizes);
BENCHMARK(scaled_product<false, Direction::x>)->Name("scaled_product_WxT_Wx")->Apply(fast_sizes);
BENCHMARK(scaled_product<false, Direction::z>)->Name("scaled_product_WxT_Wz")->Apply(fast_sizes);
BENCHMARK(weighted_gram<false>)->Name("weighted_gram")->Apply(fast_sizes);
BENCHMARK(transpose<true>)->Name("scanning_transpose")->Apply(scanning_sizes);
BENCHMARK(scaled_product<true, Direction::x>)
    ->Name("scanning_scaled_product_WxT_Wx")
    ->Apply(scanning_sizes);
BENCHMARK(weighted_gram<true>)->Name("scanning_weighted_gram")->Apply(scanning_sizes);

BENCHMARK_MAIN();
