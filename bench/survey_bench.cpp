// Reading survey data files: read_data_file on general-layout files (data lines in random order,
// 1 to 100 data per current pair, many ties in A and B, standard deviations present) and on
// common-current files, of 10^4, 10^5 and 10^6 data each; and, at 10^4 data, the literal exchange
// passes beside the ordering that replaces them. Compare the figures as ratios of one run: the
// time per datum ("per_datum") should stay flat from 10^4 to 10^6.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/exchange_order.hpp"
#include "tests/survey/exchange_literal.hpp"

namespace {

namespace fs = std::filesystem;

const quelby::Io& quiet_io = bench_support::quiet_io();

using bench_support::folder;

struct Datum {
  double a, b, m, n, value, deviation;
};

// A survey along a line of electrodes 5 m apart: current pairs from a few hundred positions (so
// that A and B repeat across pairs), 1 to 100 data per pair.
std::vector<Datum> make_survey(std::size_t ndat, std::mt19937_64& random) {
  std::uniform_int_distribution<int> electrode(0, 399);
  std::uniform_int_distribution<int> spacing(1, 8);
  std::uniform_int_distribution<int> per_pair(1, 100);
  std::uniform_real_distribution<double> value(0.001, 500.0);
  std::vector<Datum> data;
  data.reserve(ndat);
  while (data.size() < ndat) {
    const int a = electrode(random);
    const int b = a + spacing(random);
    const int count = std::min<int>(per_pair(random), static_cast<int>(ndat - data.size()));
    for (int d = 0; d < count; ++d) {
      const int m = b + 1 + d;
      const double observed = value(random);
      data.push_back({a * 5.0, b * 5.0, m * 5.0, (m + 1) * 5.0, observed, observed * 0.05});
    }
  }
  return data;
}

void append_line(std::string& text, std::initializer_list<double> values) {
  char buffer[64];
  bool first = true;
  for (const double value : values) {
    const int length = std::snprintf(buffer, sizeof buffer, first ? "%.6g" : " %.6g", value);
    text.append(buffer, static_cast<std::size_t>(length));
    first = false;
  }
  text += '\n';
}

std::string general_file(std::size_t ndat, const fs::path& where = folder()) {
  const fs::path path = where / ("general_" + std::to_string(ndat) + ".dat");
  if (!fs::exists(path)) {
    std::mt19937_64 random(ndat);
    std::vector<Datum> data = make_survey(ndat, random);
    std::shuffle(data.begin(), data.end(), random);
    std::string text = "general layout benchmark\n";
    for (const Datum& d : data) append_line(text, {d.a, d.b, d.m, d.n, d.value, d.deviation});
    std::ofstream(path, std::ios::binary) << text;
  }
  return path.string();
}

std::string common_current_file(std::size_t ndat, const fs::path& where = folder()) {
  const fs::path path = where / ("common_current_" + std::to_string(ndat) + ".dat");
  if (!fs::exists(path)) {
    std::mt19937_64 random(ndat + 1);
    const std::vector<Datum> data = make_survey(ndat, random);
    std::string body;
    std::size_t ncur = 0;
    for (std::size_t i = 0; i < data.size();) {
      std::size_t end = i;
      while (end < data.size() && data[end].a == data[i].a && data[end].b == data[i].b) ++end;
      append_line(body, {data[i].a, data[i].b, static_cast<double>(end - i)});
      for (; i < end; ++i)
        append_line(body, {data[i].m, data[i].n, data[i].value, data[i].deviation});
      ++ncur;
    }
    std::ofstream(path, std::ios::binary) << "COMMON_CURRENT\n" << ncur << '\n' << body;
  }
  return path.string();
}

void report(benchmark::State& state, std::size_t ndat) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ndat));
  state.counters["per_datum"] =
      benchmark::Counter(static_cast<double>(state.iterations() * ndat),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_GeneralLayout(benchmark::State& state) {
  const std::size_t ndat = static_cast<std::size_t>(state.range(0));
  const std::string path = general_file(ndat);
  for (auto _ : state) {
    quelby::SurveyData data;
    quelby::read_data_file(quiet_io, path, false, false, true, data);
    benchmark::DoNotOptimize(data.xm.data());
  }
  report(state, ndat);
}
BENCHMARK(BM_GeneralLayout)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

void BM_CommonCurrentLayout(benchmark::State& state) {
  const std::size_t ndat = static_cast<std::size_t>(state.range(0));
  const std::string path = common_current_file(ndat);
  for (auto _ : state) {
    quelby::SurveyData data;
    quelby::read_data_file(quiet_io, path, false, false, true, data);
    benchmark::DoNotOptimize(data.xm.data());
  }
  report(state, ndat);
}
BENCHMARK(BM_CommonCurrentLayout)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

// The positions of a general file in file order, for the two orderings.
void file_positions(std::size_t ndat, std::vector<double>& a, std::vector<double>& b) {
  std::mt19937_64 random(ndat);
  std::vector<Datum> data = make_survey(ndat, random);
  std::shuffle(data.begin(), data.end(), random);
  for (const Datum& d : data) {
    a.push_back(d.a);
    b.push_back(d.b);
  }
}

void BM_OrderFast(benchmark::State& state) {
  std::vector<double> a, b;
  file_positions(static_cast<std::size_t>(state.range(0)), a, b);
  for (auto _ : state) benchmark::DoNotOptimize(quelby::grouped_order(a, b).data());
  report(state, a.size());
}
BENCHMARK(BM_OrderFast)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_OrderLiteralPasses(benchmark::State& state) {
  std::vector<double> a, b;
  file_positions(static_cast<std::size_t>(state.range(0)), a, b);
  for (auto _ : state) {
    benchmark::DoNotOptimize(quelby::testing::literal_exchange_passes(a, b).data());
  }
  report(state, a.size());
}
BENCHMARK(BM_OrderLiteralPasses)->Arg(10'000)->Unit(benchmark::kMillisecond);

// The files of the first-read figures, in `where`: general_N.dat and common_current_N.dat for
// N = 10^4, 10^5 and 10^6.
int write_surveys(const fs::path& where) {
  fs::create_directories(where);
  for (const std::size_t ndat : {10'000, 100'000, 1'000'000}) {
    general_file(ndat, where);
    common_current_file(ndat, where);
  }
  return 0;
}

// One read of `path` in this process, as a program that reads its data once meets it.
int first_read(const std::string& path) {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const long faults_before = usage.ru_minflt;
  const auto start = std::chrono::steady_clock::now();
  quelby::SurveyData data;
  quelby::read_data_file(quiet_io, path, false, false, true, data);
  const auto end = std::chrono::steady_clock::now();
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("first_read ndat=%d ms=%.3f page_faults=%ld\n", data.ndat,
              std::chrono::duration<double, std::milli>(end - start).count(),
              usage.ru_minflt - faults_before);
  return 0;
}

}  // namespace

// `survey_bench --write_surveys=FOLDER` writes the benchmark's files there; `survey_bench
// --first_read=FILE` reads one of them once in this process and prints the time and the page
// faults it took (scripts/first_call.sh takes the median over fresh processes).
int main(int argc, char** argv) {
  if (argc == 2) {
    const std::string_view argument(argv[1]);
    constexpr std::string_view write_flag = "--write_surveys=";
    constexpr std::string_view read_flag = "--first_read=";
    if (argument.starts_with(write_flag)) return write_surveys(argument.substr(write_flag.size()));
    if (argument.starts_with(read_flag))
      return first_read(std::string(argument.substr(read_flag.size())));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
