// A plain reference implementation of the smoothing command, for the benchmarks only: iostream
// reading, printf formatting, one thread, and a copy of the smoothed model back into the working
// model after every pass. It assumes well-formed input (no repeat counts, nulls or slashes) and
// writes exponents of three digits the way printf does. Notes after a mesh line are skipped.
//
// Usage: quelby_reference mesh inmodel outmodel cycles
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

namespace {

bool read_direction(std::ifstream& in, std::vector<double>& widths) {
  int segments = 0;
  if (!(in >> segments)) return false;
  in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  double start = 0;
  for (int s = 0; s < segments; ++s) {
    double end = 0;
    int cells = 0;
    if (s == 0 && !(in >> start)) return false;
    if (!(in >> end >> cells)) return false;
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    const double width = (end - start) / cells;
    for (int c = 0; c < cells; ++c) widths.push_back(width);
    start = end;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cout << "\nUsage: quelby_reference  mesh inmodel outmodel cycles\n";
    return 2;
  }
  const int cycles = std::atoi(argv[4]);
  std::vector<double> dx;
  std::vector<double> dz;
  {
    std::ifstream mesh(argv[1]);
    if (!read_direction(mesh, dx) || !read_direction(mesh, dz)) {
      std::cout << "\nError reading the mesh file: " << argv[1] << '\n';
      return 1;
    }
  }
  const std::size_t nx = dx.size();
  const std::size_t nz = dz.size();
  std::vector<double> working(nx * nz);
  std::vector<double> smoothed(nx * nz);
  {
    std::ifstream model(argv[2]);
    std::size_t columns = 0;
    std::size_t rows = 0;
    model >> columns >> rows;
    if (columns != nx || rows != nz) {
      std::cout << "\nError: inconsistent dimension in " << argv[2] << '\n';
      return 1;
    }
    for (double& value : working) {
      if (!(model >> value)) {
        std::cout << "\nError reading model model file " << argv[2] << '\n';
        return 1;
      }
    }
  }
  for (double& value : working) value = std::log(value);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    for (std::size_t k = 0; k < nz; ++k) {
      for (std::size_t i = 0; i < nx; ++i) {
        const std::size_t i_lo = i > 0 ? i - 1 : 0;
        const std::size_t i_hi = i + 1 < nx ? i + 1 : nx - 1;
        const std::size_t k_lo = k > 0 ? k - 1 : 0;
        const std::size_t k_hi = k + 1 < nz ? k + 1 : nz - 1;
        double sum = 0;
        double weights = 0;
        for (std::size_t kk = k_lo; kk <= k_hi; ++kk) {
          for (std::size_t ii = i_lo; ii <= i_hi; ++ii) {
            const double w = dx[ii] * dz[kk];
            sum += working[kk * nx + ii] * w;
            weights += w;
          }
        }
        smoothed[k * nx + i] = sum / weights;
      }
    }
    working = smoothed;
  }
  for (double& value : smoothed) value = std::exp(value);
  std::FILE* out = std::fopen(argv[3], "w");
  if (out == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  std::fprintf(out, "%5zu%5zu\n", nx, nz);
  for (std::size_t k = 0; k < nz; ++k) {
    for (std::size_t i = 0; i < nx; ++i) std::fprintf(out, "%13.5E", smoothed[k * nx + i]);
    std::fputc('\n', out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
