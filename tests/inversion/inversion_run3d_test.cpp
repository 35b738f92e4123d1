// The 3-D inversion driver on a small synthetic survey: a conductive block under a grid of
// electrodes, its data made by the 3-D forward model on a finer mesh of its own with 2 % noise,
// inverted on the mesh and grid the driver makes: the target misfit reached, the block and the
// background recovered, the files written and reading back to what the run returned; IP data of
// a uniform chargeability give that chargeability back; the descriptions it refuses.
#include "quelby/inversion/inversion_run3d.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/model3d.hpp"
#include "quelby/survey/survey3d_file.hpp"
#include "quelby/survey/survey3d_writer.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::Transcript;

// 6 x 4 electrodes 1 m apart; dipole-dipole along the lines and across them, n = 1..3.
Survey3D grid_survey() {
  Survey3D survey;
  const int nx = 6, ny = 4;
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i < nx; ++i) survey.electrodes.push_back({i * 1.0, j * 1.0, 0});
  }
  auto add = [&](int a, int b, int m, int n) {
    survey.a.push_back(a);
    survey.b.push_back(b);
    survey.m.push_back(m);
    survey.n.push_back(n);
    survey.iptype.push_back(0);
    ++survey.ndat;
  };
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i + 3 < nx; ++i) {
      for (int n = 1; i + 2 + n < nx && n <= 3; ++n) {
        add(j * nx + i, j * nx + i + 1, j * nx + i + 1 + n, j * nx + i + 2 + n);
      }
    }
  }
  for (int i = 0; i < nx; ++i) {
    add(i, nx + i, 2 * nx + i, 3 * nx + i);
    if (i + 1 < nx) add(i, i + 1, 3 * nx + i, 3 * nx + i + 1);
  }
  return survey;
}

double block_rho(double x, double y, double z) {
  return (x > 1.5 && x < 3.5 && y > 0.5 && y < 2.5 && z > 0.5 && z < 1.5) ? 10.0 : 100.0;
}

struct Synthetic {
  Survey3D survey;
  std::vector<double> clean;
};

Synthetic synthetic(const Io& io) {
  Synthetic s{grid_survey(), {}};
  // A finer mesh of its own, nodes on the block's faces.
  auto nodes = [](double lo, double hi, double width, int pads) {
    std::vector<double> v;
    for (int i = 0; lo + i * width <= hi + 1e-9; ++i) v.push_back(lo + i * width);
    double w = width;
    for (int p = 0; p < pads; ++p) {
      w *= 1.5;
      v.push_back(v.back() + w);
      v.insert(v.begin(), v.front() - w);
    }
    return v;
  };
  std::vector<double> z;
  for (int k = 0; k <= 12; ++k) z.push_back(k * 0.25);
  for (double w = 0.25; z.size() < 26;) z.push_back(z.back() + (w *= 1.5));
  const Mesh3D mesh = make_mesh3d(io, nodes(-1, 6, 0.25, 12), nodes(-1, 4, 0.25, 12), z);
  std::vector<double> rho(mesh.cell_count());
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t j = 0; j < mesh.ny; ++j) {
      for (std::int32_t i = 0; i < mesh.nx; ++i) {
        rho[mesh.cell(i, j, k)] =
            block_rho(mesh.x_centres[i], mesh.y_centres[j], mesh.z_centres[k]);
      }
    }
  }
  ForwardModel3D forward(io, mesh, {}, s.survey);
  s.clean = forward.data(io, rho);
  std::mt19937 random(17);
  std::normal_distribution<double> noise(0, 0.02);
  s.survey.has_values = true;
  for (const double d : s.clean) {
    s.survey.dobs.push_back(d * (1 + noise(random)));
    s.survey.dstd.push_back(0.02 * std::fabs(d));
  }
  return s;
}

TEST(InversionRun3D, RecoversABlockAndWritesItsFiles) {
  Transcript t;
  TempFolder folder;
  const Synthetic s = synthetic(t.io());
  const std::string data_file = (folder.path() / "block3d.dat").string();
  write_survey3d(t.io(), data_file, s.survey);
  ASSERT_TRUE(is_survey3d_file(data_file));

  InversionRun3D run;
  run.data_file = data_file;
  run.cell_budget = 20000;
  run.output_folder = (folder.path() / "out").string();
  const InversionOutcome3D outcome = run_inversion3d(t.io(), run);
  ASSERT_TRUE(outcome.dc);
  EXPECT_EQ(outcome.dc->result.stop, StopReason::target_reached) << t.console();

  // Geometric means of the block's cells and of the cells near the surface around it.
  const Mesh3D& grid = outcome.grid.mesh;
  double block_log = 0, background_log = 0;
  int block_count = 0, background_count = 0;
  for (std::int32_t k = 0; k < grid.nz; ++k) {
    for (std::int32_t j = 0; j < grid.ny; ++j) {
      for (std::int32_t i = 0; i < grid.nx; ++i) {
        const double value = outcome.dc->model[grid.cell(i, j, k)];
        const double x = grid.x_centres[i], y = grid.y_centres[j], z = grid.z_centres[k];
        if (!std::isfinite(value)) continue;
        if (x > 1.75 && x < 3.25 && y > 0.75 && y < 2.25 && z > 0.6 && z < 1.4) {
          block_log += std::log(value), ++block_count;
        } else if (x > -0.5 && x < 5.5 && y > -0.5 && y < 3.5 && z < 3 &&
                   block_rho(x, y, z) == 100 && (z < 0.4 || z > 2 || x < 1 || x > 4)) {
          background_log += std::log(value), ++background_count;
        }
      }
    }
  }
  ASSERT_GT(block_count, 0);
  ASSERT_GT(background_count, 0);
  const double block = std::exp(block_log / block_count);
  const double background = std::exp(background_log / background_count);
  // The truth: 10 and 100 ohm-m (measured 10.3 and 92).
  EXPECT_GT(block, 5.0);
  EXPECT_LT(block, 20.0);
  EXPECT_NEAR(background, 100.0, 12.0);

  // The files: the grid, the final model and the predicted data read back.
  Mesh3D written_grid;
  load_mesh3d(t.io(), (fs::path(run.output_folder) / "parameters.msh").string(), written_grid);
  EXPECT_EQ(written_grid.x_nodes, grid.x_nodes);
  std::vector<double> model;
  read_model3d(t.io(), written_grid, (fs::path(run.output_folder) / "model.mod").string(), "model",
               model);
  for (std::size_t c = 0; c < model.size(); c += 97) {
    if (std::isfinite(outcome.dc->model[c])) {
      EXPECT_NEAR(model[c], outcome.dc->model[c], 1e-5 * outcome.dc->model[c]);
    }
  }
  Survey3D predicted;
  read_survey3d(t.io(), (fs::path(run.output_folder) / "predicted.dat").string(), false, predicted);
  EXPECT_EQ(predicted.ndat, s.survey.ndat);
  for (const char* name : {"mesh.msh", "model.vtr", "history.txt", "model_1.mod"}) {
    EXPECT_TRUE(fs::exists(fs::path(run.output_folder) / name)) << name;
  }

  // IP data of a uniform chargeability of 20 on the DC model give it back.
  Survey3D ip = s.survey;
  ip.dobs.assign(static_cast<std::size_t>(ip.ndat), 20.0);
  ip.dstd.assign(static_cast<std::size_t>(ip.ndat), 0.5);
  ip.iptype.assign(static_cast<std::size_t>(ip.ndat), 1);
  InversionRun3D both = run;
  both.ip_data = ip;
  both.invert = InversionTargets::both;
  both.output_folder = (folder.path() / "both").string();
  both.settings.max_iterations = 8;
  const InversionOutcome3D with_ip = run_inversion3d(t.io(), both);
  ASSERT_TRUE(with_ip.ip);
  EXPECT_LT(with_ip.ip->result.misfit_history.back(), ip.ndat) << t.console();
}

TEST(InversionRun3D, RobustAndBlockyRunsFitTheBlock) {
  Transcript t;
  TempFolder folder;
  const Synthetic s = synthetic(t.io());
  for (const bool blocky : {false, true}) {
    InversionRun3D run;
    run.data = s.survey;
    run.data_file = "block3d.dat";
    run.cell_budget = 20000;
    run.settings.robust = true;
    run.settings.blocky = blocky;
    run.output_folder = (folder.path() / (blocky ? "blocky" : "robust")).string();
    // The blocky run is given the mesh the first run made: its folder keeps a copy of it.
    if (blocky) run.mesh_file = (folder.path() / "robust" / "mesh.msh").string();
    const InversionOutcome3D outcome = run_inversion3d(t.io(), run);
    ASSERT_TRUE(outcome.dc);
    EXPECT_EQ(outcome.dc->result.stop, StopReason::target_reached) << t.console();
    EXPECT_EQ(outcome.dc->result.data_weights.size(), s.survey.dobs.size());
  }
  EXPECT_EQ(testing::read_file(folder.file("blocky/mesh.msh")),
            testing::read_file(folder.file("robust/mesh.msh")));
}

TEST(InversionRun3D, RefusesWhatItCannotRun) {
  TempFolder folder;
  Transcript ok;
  Survey3D survey = grid_survey();
  survey.has_values = true;
  survey.dobs.assign(static_cast<std::size_t>(survey.ndat), 1.0);
  survey.dstd.assign(static_cast<std::size_t>(survey.ndat), 0.1);
  struct Case {
    std::function<void(InversionRun3D&)> change;
    const char* text;
  };
  const std::vector<Case> cases = {
      {[](InversionRun3D& r) {
         r.data.reset();
         r.data_file.clear();
       },
       "a DC inversion needs a DC data file"},
      {[](InversionRun3D& r) { r.invert = InversionTargets::both; },
       "an IP inversion needs an IP data file"},
      {[&](InversionRun3D& r) {
         Survey3D other = survey;
         other.a[0] = other.b[0];
         r.ip_data = other;
         r.invert = InversionTargets::both;
       },
       "the IP data must be read on the DC data's electrodes"},
  };
  for (const Case& c : cases) {
    Transcript t;
    InversionRun3D run;
    run.data = survey;
    run.data_file = "grid.dat";
    run.output_folder = (folder.path() / "refused").string();
    c.change(run);
    EXPECT_THROW(run_inversion3d(t.io(), run), Stop);
    EXPECT_NE(t.console().find(c.text), std::string::npos) << t.console();
  }
}

}  // namespace
}  // namespace quelby
