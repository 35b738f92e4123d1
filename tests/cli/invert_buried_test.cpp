// Buried electrodes through the commands: a crosshole panel over a conductive block, its mesh from
// quelby-mesh --z, inverted by quelby-invert --z with the default options on the mesh it makes for
// the survey, to the target misfit, with the block in the model; quelby-forward --z writing what
// --z reads back.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/inversion/crosshole_fixture.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::RunResult;
using testing::TempFolder;
using testing::Transcript;

RunResult run(const std::string& program, const TempFolder& folder,
              const std::vector<std::string>& arguments) {
  return testing::run_command(program, folder.path(), arguments, folder.file("stdout.capture"),
                              folder.file("stderr.capture"));
}

// The last data misfit and the target of a history file (its last rows: the target misfit, then
// the number of data).
std::pair<double, double> final_misfit(const std::string& name) {
  std::istringstream in(read_file(name));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  double misfit = 0, target = 0;
  int number = 0;
  std::istringstream(lines.at(lines.size() - 3)) >> number >> misfit;
  std::istringstream(lines.at(lines.size() - 2)) >> target;
  return {misfit, target};
}

TEST(InvertBuried, ACrossholePanelInvertsToItsTargetAndShowsTheBlockBetweenTheHoles) {
  TempFolder folder;
  Transcript t;
  const testing::CrossholeShape shape;
  const testing::CrossholeSurvey survey = testing::write_crosshole_survey(t.io(), folder, shape);

  const RunResult meshed = run(QUELBY_MESH_BINARY, folder, {"--z", "panel_dc.dat", "panel.msh"});
  ASSERT_EQ(meshed.status, 0) << meshed.out << meshed.err;
  const RunResult inverted =
      run(QUELBY_INVERT_BINARY, folder, {"--z", "--data", "panel_dc.dat", "--out", "out"});
  ASSERT_EQ(inverted.status, 0) << inverted.out << inverted.err;
  EXPECT_EQ(inverted.err, "");
  EXPECT_NE(inverted.out.find("DC inversion: reached the target misfit"), std::string::npos)
      << inverted.out;
  // The mesh the inversion made for the survey is quelby-mesh's.
  EXPECT_EQ(read_file(folder.file("out/mesh.msh")), read_file(folder.file("panel.msh")));

  const auto [misfit, target] = final_misfit(folder.file("out/history.txt"));
  EXPECT_EQ(target, survey.ndat);
  EXPECT_LE(misfit, target);
  Mesh mesh;
  load_mesh(t.io(), folder.file("out/parameters.msh"), mesh);  // the grid the models fill
  Model model(mesh.nx, mesh.nz);
  read_model(t.io(), mesh, folder.file("out/model.mod"), "final", model);
  const auto [block, background] = testing::block_and_background(mesh, model.values(), shape);
  // A 10 ohm-m block in 100 ohm-m, smoothed by the regularisation: the block's geometric mean
  // below 0.7 of the background's (0.59 when written), which stays within a factor of 1.5 of the
  // truth.
  EXPECT_LT(block, 0.7 * background);
  EXPECT_GT(background, shape.background / 1.5);
  EXPECT_LT(background, shape.background * 1.5);

  // The predicted data keep the electrodes' z positions and read back with them.
  SurveyData observed, predicted;
  read_data_file(t.io(), survey.dc_file, false, true, true, observed);
  read_data_file(t.io(), folder.file("out/predicted.dat"), false, true, true, predicted);
  EXPECT_EQ(predicted.za_cur, observed.za_cur);
  EXPECT_EQ(predicted.zb_cur, observed.zb_cur);
  EXPECT_EQ(predicted.zm, observed.zm);
  EXPECT_EQ(predicted.zn, observed.zn);
  EXPECT_EQ(predicted.xm, observed.xm);
  EXPECT_EQ(predicted.dstd, observed.dstd);
}

// A borehole beside a surface line on rising ground, every electrode given with its z (the
// topography's reference elevation minus its elevation): the surface electrodes given on the
// ground, above the mesh's stepped surface where it rounds down, stand on it; the commands run
// through with the topography, and the data of a uniform earth invert at once to their target.
TEST(InvertBuried, SurfaceAndBuriedElectrodesUnderATopographyRunThroughTheCommands) {
  TempFolder folder;
  const double reference = 103;
  const auto z_of = [&](double x, double depth) { return reference - (100 + 3 * x / 40) + depth; };
  const auto point = [&](double x, double depth) {
    std::ostringstream text;
    text << x << ' ' << z_of(x, depth);
    return text.str();
  };
  // Hole dipoles read at the surface, surface dipoles read in the hole.
  int count = 0;
  std::ostringstream body;
  for (int k = 1; k + 1 <= 10; k += 3) {
    body << point(12, k) << ' ' << point(12, k + 1) << " 8\n";
    for (int e = 0; e < 8; ++e) body << point(5 * e, 0) << ' ' << point(5 * e + 5, 0) << " 1 1\n";
    ++count;
  }
  for (int e = 0; e < 8; e += 2) {
    body << point(5 * e, 0) << ' ' << point(5 * e + 5, 0) << " 3\n";
    for (int k = 2; k + 1 <= 10; k += 3)
      body << point(12, k) << ' ' << point(12, k + 1) << " 1 1\n";
    ++count;
  }
  folder.write("mixed.dat", "COMMON_CURRENT\n" + std::to_string(count) + "\n" + body.str());
  folder.write("rise.topo", "4 103\n-1000 100\n0 100\n40 103\n1000 103\n");

  const RunResult meshed =
      run(QUELBY_MESH_BINARY, folder, {"--z", "--topography", "rise.topo", "mixed.dat", "m.msh"});
  ASSERT_EQ(meshed.status, 0) << meshed.out << meshed.err;
  Transcript t;
  Mesh mesh;
  load_mesh(t.io(), folder.file("m.msh"), mesh);
  std::string uniform = std::to_string(mesh.nx) + " " + std::to_string(mesh.nz) + "\n";
  for (std::int64_t c = 0; c < std::int64_t{mesh.nx} * mesh.nz; ++c) uniform += "100\n";
  folder.write("uniform.mod", uniform);
  const RunResult forward =
      run(QUELBY_FORWARD_BINARY, folder,
          {"--z", "--topography", "rise.topo", "m.msh", "uniform.mod", "mixed.dat", "d.dat"});
  ASSERT_EQ(forward.status, 0) << forward.out << forward.err;
  const RunResult inverted = run(QUELBY_INVERT_BINARY, folder,
                                 {"--z", "--mesh", "m.msh", "--topography", "rise.topo", "--data",
                                  "d.dat", "--error", "3", "--out", "out"});
  ASSERT_EQ(inverted.status, 0) << inverted.out << inverted.err;
  EXPECT_NE(inverted.out.find("DC inversion: reached the target misfit after 0 iterations"),
            std::string::npos)
      << inverted.out;
  const std::string log = read_file(folder.file("out/run.log"));
  EXPECT_NE(log.find(" given above the ground surface of the mesh, by "), std::string::npos) << log;
}

}  // namespace
}  // namespace quelby
