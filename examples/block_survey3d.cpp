// A synthetic 3-D survey for trying a 3-D inversion: a grid of 28 x 14 electrodes 0.2 m apart
// read with dipole-dipole along the lines and across them (424 current dipoles, 2849 readings)
// over a conductive block (10 ohm-m in 100: 1.4 m x 1.0 m x 0.4 m, 0.2 m below the ground under the
// grid's middle), the data made with the 3-D forward model on a mesh of its own with Gaussian noise
// of the given percent and its standard deviations. Writes PREFIX.dat (a 3-D survey file),
// PREFIX_true.msh and PREFIX_true.mod (the truth on its mesh).
// With --check OUTDIR it reads an inversion's parameters.msh and model.mod from OUTDIR and prints
// the geometric means of the cells inside the block and of the background cells under the grid
// (those more than one grid cell from the block, down to 1.5 m) against the truth.
//
// Usage: block_survey3d [--noise PERCENT] [--seed N] [--cells N] PREFIX
//        block_survey3d --check OUTDIR
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/forward/forward3d.hpp"
#include "quelby/forward/survey_mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/model3d.hpp"
#include "quelby/survey/survey3d_writer.hpp"

namespace {

constexpr double block_x0 = 2.0, block_x1 = 3.4, block_y0 = 0.8, block_y1 = 1.8;
constexpr double block_z0 = 0.2, block_z1 = 0.6;

bool in_block(double x, double y, double z) {
  return x > block_x0 && x < block_x1 && y > block_y0 && y < block_y1 && z > block_z0 &&
         z < block_z1;
}

quelby::Survey3D grid_survey() {
  const int nx = 28, ny = 14;
  const double a = 0.2;
  quelby::Survey3D survey;
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i < nx; ++i) survey.electrodes.push_back({i * a, j * a, 0});
  }
  auto id = [&](int i, int j) { return j * nx + i; };
  struct Dipole {
    int a, b, di, dj;
  };
  std::vector<Dipole> dipoles;
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i + 1 < nx; ++i) dipoles.push_back({id(i, j), id(i + 1, j), 1, 0});
  }
  for (int i = 0; i < nx && dipoles.size() < 424; i += 3) {
    for (int j = 0; j + 1 < ny && dipoles.size() < 424; j += 3) {
      dipoles.push_back({id(i, j), id(i, j + 1), 0, 1});
    }
  }
  for (const Dipole& d : dipoles) {
    const int i0 = d.a % nx, j0 = d.a / nx;
    for (int n = 1; n <= 12 && survey.ndat < 2849; ++n) {
      const int im = i0 + d.di * (1 + n), jm = j0 + d.dj * (1 + n);
      if (im + d.di >= nx || jm + d.dj >= ny) break;
      survey.a.push_back(d.a);
      survey.b.push_back(d.b);
      survey.m.push_back(id(im, jm));
      survey.n.push_back(id(im + d.di, jm + d.dj));
      survey.iptype.push_back(0);
      ++survey.ndat;
    }
  }
  return survey;
}

int check(const quelby::Io& io, const std::string& folder) {
  quelby::Mesh3D grid;
  quelby::load_mesh3d(io, folder + "/parameters.msh", grid);
  std::vector<double> model;
  quelby::read_model3d(io, grid, folder + "/model.mod", "model", model);
  double block_log = 0, background_log = 0;
  int block_count = 0, background_count = 0;
  for (std::int32_t k = 0; k < grid.nz; ++k) {
    for (std::int32_t j = 0; j < grid.ny; ++j) {
      for (std::int32_t i = 0; i < grid.nx; ++i) {
        const double value = model[grid.cell(i, j, k)];
        if (!(value > 0)) continue;
        const double x = grid.x_centres[i], y = grid.y_centres[j], z = grid.z_centres[k];
        const double margin = std::max({grid.dx[i], grid.dy[j], grid.dz[k]});
        if (in_block(x, y, z)) {
          block_log += std::log(value), ++block_count;
        } else if (x > 0 && x < 5.4 && y > 0 && y < 2.6 && z < 1.5 &&
                   !(x > block_x0 - margin && x < block_x1 + margin && y > block_y0 - margin &&
                     y < block_y1 + margin && z < block_z1 + margin)) {
          background_log += std::log(value), ++background_count;
        }
      }
    }
  }
  const double block = std::exp(block_log / std::max(1, block_count));
  const double background = std::exp(background_log / std::max(1, background_count));
  std::printf("block: %d cells, geometric mean %.3g ohm-m (truth 10, ratio %.2f)\n", block_count,
              block, block / 10);
  std::printf("background: %d cells, geometric mean %.4g ohm-m (truth 100, %+.1f %%)\n",
              background_count, background, (background / 100 - 1) * 100);
  const bool recovered = block_count > 0 && block / 10 < 2 && block / 10 > 0.5 &&
                         std::fabs(background / 100 - 1) < 0.1;
  std::printf("%s\n", recovered ? "recovered: block within a factor of 2, background within 10 %"
                                : "not recovered");
  return recovered ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  double noise = 2;
  unsigned seed = 1;
  std::int64_t cells = 300000;
  std::string prefix;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--check" && i + 1 < argc) return check(io, argv[i + 1]);
      if (arg == "--noise" && i + 1 < argc) {
        noise = std::atof(argv[++i]);
      } else if (arg == "--seed" && i + 1 < argc) {
        seed = static_cast<unsigned>(std::atoi(argv[++i]));
      } else if (arg == "--cells" && i + 1 < argc) {
        cells = std::atoll(argv[++i]);
      } else {
        prefix = arg;
      }
    }
    if (prefix.empty()) {
      std::cerr << "usage: block_survey3d [--noise PERCENT] [--seed N] [--cells N] PREFIX\n"
                   "       block_survey3d --check OUTDIR\n";
      return 2;
    }
    quelby::Survey3D survey = grid_survey();
    quelby::SurveyMesh3DOptions options;
    options.cell_budget = cells;
    const quelby::Mesh3D mesh = quelby::survey_mesh3d(io, survey, options);
    std::vector<double> rho(static_cast<std::size_t>(mesh.cell_count()));
    for (std::int32_t k = 0; k < mesh.nz; ++k) {
      for (std::int32_t j = 0; j < mesh.ny; ++j) {
        for (std::int32_t i = 0; i < mesh.nx; ++i) {
          rho[mesh.cell(i, j, k)] =
              in_block(mesh.x_centres[i], mesh.y_centres[j], mesh.z_centres[k]) ? 10.0 : 100.0;
        }
      }
    }
    quelby::ForwardModel3D forward(io, mesh, {}, survey);
    const std::vector<double> clean = forward.data(io, rho);
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0, noise / 100);
    survey.has_values = true;
    for (const double d : clean) {
      survey.dobs.push_back(d * (1 + normal(random)));
      survey.dstd.push_back(noise / 100 * std::fabs(d));
    }
    quelby::write_survey3d(
        io, prefix + ".dat", survey, {}, {},
        "a conductive block under a 28 x 14 grid, " + std::to_string(noise) + " % noise");
    quelby::write_mesh3d(io, prefix + "_true.msh", mesh);
    quelby::write_model3d(io, mesh, prefix + "_true.mod", rho);
    std::printf("%d readings on a mesh of %lld cells written to %s.dat\n", survey.ndat,
                static_cast<long long>(mesh.cell_count()), prefix.c_str());
  } catch (const quelby::Stop& stop) {
    return stop.status();
  }
  return 0;
}
