// Formatting of the model write: the fast exact path, the std::to_chars path it falls back on, and
// the snprintf baseline, over one million typical model values (log-normal around 100 ohm-m).
#include "quelby/base/fixed_format.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr std::size_t n_values = 1000000;
// The write streams through a reused block of whole lines rather than a model-sized buffer.
constexpr std::size_t values_per_block = 1 << 16;

const std::vector<double>& model_values() {
  static const std::vector<double> values = [] {
    std::mt19937_64 generator(7);
    std::normal_distribution<double> logarithm(4.6, 1.5);
    std::vector<double> drawn(n_values);
    for (double& value : drawn) {
      value = std::exp(logarithm(generator));
    }
    return drawn;
  }();
  return values;
}

template <typename Format>
void format_all(benchmark::State& state, const Format format) {
  const std::vector<double>& values = model_values();
  std::vector<char> block(values_per_block * quelby::e13_5_width + 16);
  for (auto _ : state) {
    std::size_t in_block = 0;
    for (const double value : values) {
      format(value, block.data() + in_block * quelby::e13_5_width);
      if (++in_block == values_per_block) {
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
        in_block = 0;
      }
    }
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_value"] = benchmark::Counter(
      static_cast<double>(values.size()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void fast_path(benchmark::State& state) {
  format_all(state, [](const double value, char* out) { quelby::format_e13_5(value, out); });
}

void to_chars_path(benchmark::State& state) {
  format_all(state,
             [](const double value, char* out) { quelby::format_e13_5_reference(value, out); });
}

void snprintf_path(benchmark::State& state) {
  // snprintf writes a terminator after the 13 characters, which the block's slack absorbs.
  format_all(state, [](const double value, char* out) { std::snprintf(out, 14, "%13.5E", value); });
}

BENCHMARK(fast_path)->Unit(benchmark::kMillisecond);
BENCHMARK(to_chars_path)->Unit(benchmark::kMillisecond);
BENCHMARK(snprintf_path)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
