// A crosshole panel from the field's files to its section: the forward model's panel written as a
// protocol file of numbered electrodes with an electrode table of the two boreholes (x, elevation,
// the buried flag), imported by quelby-import --electrodes, then inverted by quelby-invert --z
// with the default options: the import keeps every electrode's depth, and the inversion reaches its
// target with the block between the holes.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/inversion/crosshole_fixture.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

TEST(ImportBuried, ACrossholeProtocolWithItsElectrodeTableImportsAndInvertsToTheBlock) {
  TempFolder folder;
  Transcript t;
  const testing::CrossholeShape shape;
  const testing::CrossholeSurvey survey = testing::write_crosshole_survey(t.io(), folder, shape);
  SurveyData panel;
  read_data_file(t.io(), survey.dc_file, false, true, true, panel);

  // Number the electrodes by (x, depth); the ground is at elevation 120 m.
  const double ground = 120;
  std::map<std::pair<double, double>, int> number;
  const auto electrode = [&](double x, double z) {
    const auto [at, inserted] =
        number.emplace(std::make_pair(x, z), static_cast<int>(number.size()) + 1);
    return at->second;
  };
  std::string protocol = std::to_string(panel.ndat) + "\n";
  char line[200];
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(panel.ncur); ++pair) {
    for (std::size_t i = panel.data_begin(pair); i < panel.data_begin(pair + 1); ++i) {
      std::snprintf(line, sizeof line, "%zu %d %d %d %d %.17g %.17g\n", i + 1,
                    electrode(panel.xa_cur[pair], panel.za_cur[pair]),
                    electrode(panel.xb_cur[pair], panel.zb_cur[pair]),
                    electrode(panel.xm[i], panel.zm[i]), electrode(panel.xn[i], panel.zn[i]),
                    panel.dobs[i], panel.dstd[i]);
      protocol += line;
    }
  }
  // The holes' tops give the ground.
  std::string table = "electrode;x;z;buried\n1000;0;120;0\n1001;10;120;0\n";
  for (const auto& [place, k] : number) {
    std::snprintf(line, sizeof line, "%d;%.17g;%.17g;1\n", k, place.first, ground - place.second);
    table += line;
  }
  folder.write("protocol.dat", protocol);
  folder.write("holes.csv", table);

  const auto run = [&](const std::string& program, const std::vector<std::string>& arguments) {
    return testing::run_command(program, folder.path(), arguments, folder.file("out.capture"),
                                folder.file("err.capture"));
  };
  const testing::RunResult imported =
      run(QUELBY_IMPORT_BINARY, {"--electrodes", "holes.csv", "protocol.dat", "line"});
  ASSERT_EQ(imported.status, 0) << imported.out << imported.err;
  SurveyData data;
  read_data_file(t.io(), folder.file("line/data.dat"), false, true, true, data);
  ASSERT_EQ(data.ndat, panel.ndat);
  EXPECT_EQ(data.zm, panel.zm);  // the depths through elevations and back, to the bit
  const std::string log = testing::read_file(folder.file("line/import.log"));
  EXPECT_NE(log.find("buried electrodes"), std::string::npos) << log;

  const testing::RunResult inverted =
      run(QUELBY_INVERT_BINARY, {"--z", "--data", "line/data.dat", "--out", "out"});
  ASSERT_EQ(inverted.status, 0) << inverted.out << inverted.err;
  EXPECT_NE(inverted.out.find("DC inversion: reached the target misfit"), std::string::npos)
      << inverted.out;
  Mesh mesh;
  load_mesh(t.io(), folder.file("out/parameters.msh"), mesh);  // the grid the models fill
  Model model(mesh.nx, mesh.nz);
  read_model(t.io(), mesh, folder.file("out/model.mod"), "final", model);
  const auto [block, background] = testing::block_and_background(mesh, model.values(), shape);
  EXPECT_LT(block, 0.7 * background);
}

}  // namespace
}  // namespace quelby
