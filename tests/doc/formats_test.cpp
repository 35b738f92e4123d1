// Every example file of doc/formats.md is read by its reader (or, for written files, written and
// compared), and the examples that are files of examples/ are those files byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/sensitivity_file.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/inversion/control_file.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/dipping.hpp"
#include "quelby/report/inversion_report.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/data_writer.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

// The fenced blocks opened by "```text file=NAME", by name.
std::map<std::string, std::string> example_files(const std::string& markdown) {
  const std::string opening = "```text file=";
  std::map<std::string, std::string> files;
  std::size_t at = 0;
  while ((at = markdown.find(opening, at)) != std::string::npos) {
    const std::size_t name_end = markdown.find('\n', at);
    const std::string name = markdown.substr(at + opening.size(), name_end - at - opening.size());
    const std::size_t close = markdown.find("\n```", name_end);
    files[name] = markdown.substr(name_end + 1, close - name_end);
    at = close + 4;
  }
  return files;
}

// The bytes as `od -A d -t x1 -v` shows them: 7-digit decimal offsets, 16 bytes a line in hex,
// and the length on a line of its own.
std::string octal_dump(const std::string& bytes) {
  std::string text;
  char field[32];
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    std::snprintf(field, sizeof field, "%07zu", at);
    text += field;
    for (std::size_t b = at; b < bytes.size() && b < at + 16; ++b) {
      std::snprintf(field, sizeof field, " %02x", static_cast<unsigned char>(bytes[b]));
      text += field;
    }
    text += '\n';
  }
  std::snprintf(field, sizeof field, "%07zu\n", bytes.size());
  return text + field;
}

TEST(FormatsReference, EveryExampleFileIsReadByItsReader) {
  const std::filesystem::path source(QUELBY_SOURCE_DIR);
  const auto files = example_files(read_file((source / "doc" / "formats.md").string()));
  std::vector<std::string> names;
  for (const auto& entry : files) names.push_back(entry.first);
  // A new example needs its reader below.
  ASSERT_EQ(names, (std::vector<std::string>{
                       "block.inv", "forward.dat", "history.txt", "line.dat", "section.act",
                       "section.dip", "section.msh", "section.topo", "section.wgt", "short.msh",
                       "small.j.od", "small.mod", "small.msh", "survey.dat", "survey_cc.dat",
                       "top.wgt"}));
  TempFolder folder;
  for (const auto& [name, text] : files) {
    folder.write(name, text);
    const std::filesystem::path bundled = source / "examples" / name;
    if (std::filesystem::exists(bundled)) {
      EXPECT_EQ(text, read_file(bundled.string())) << name;
    }
  }

  Transcript transcript;
  const Io& io = transcript.io();
  try {
    Mesh mesh;
    Topography topography;
    load_mesh_and_topography(io, folder.file("section.msh"), folder.file("section.topo"), true,
                             mesh, topography);
    ASSERT_EQ(mesh.nx, 80);
    ASSERT_EQ(mesh.nz, 30);
    ActiveCells cells;
    read_active_cells(io, mesh, topography, folder.file("section.act"), cells);
    // Every cell but the bottom row's and the air cells (67 along the surface) is a parameter.
    std::int32_t air = 0;
    for (const std::int32_t count : topography.air_cells) air += count;
    EXPECT_EQ(air, 67);
    EXPECT_EQ(cells.npar, 2400 - 80 - air);

    CellArray s(80, 30), x(80, 30), z(80, 30);
    set_weights(io, mesh, 1, {folder.file("section.wgt"), "", ""}, s, x, z);
    EXPECT_EQ(z(0, 0), 4.0);
    EXPECT_EQ(z(0, 1), 1.0);
    CellArray top(80, 30);
    top.fill(1.0);
    read_weight_file(io, folder.file("top.wgt"), s_weights_label, top);
    EXPECT_EQ(top(79, 0), 10.0);
    EXPECT_EQ(top(79, 1), 5.0);
    EXPECT_EQ(top(0, 2), 1.0);

    std::vector<std::int32_t> zone_idx(80 * 30);
    std::int32_t nzone = 0;
    DippingZones zones;
    read_dipping(io, mesh, {1, 1, 1}, 1, folder.file("section.dip"), zone_idx, nzone, zones);
    EXPECT_EQ(nzone, 2);

    Mesh small;
    load_mesh(io, folder.file("small.msh"), small);
    Model model(small.nx, small.nz);
    read_model(io, small, folder.file("small.mod"), "model", model);
    write_model(io, small, folder.file("written.mod"), model);
    EXPECT_EQ(read_file(folder.file("written.mod")), files.at("small.mod"));

    SurveyData general;
    read_data_file(io, folder.file("survey.dat"), false, false, false, general);
    EXPECT_EQ(general.sorted_pos, (std::vector<std::int32_t>{4, 1, 3, 2}));
    EXPECT_EQ(general.idat_idx, (std::vector<std::int32_t>{1, 3, 5}));
    EXPECT_EQ(general.iptype, (std::vector<std::int32_t>{1, 2, 1, 1}));
    EXPECT_EQ(general.xa_cur, (std::vector<double>{-30, 0}));
    EXPECT_FALSE(general.std_missing);
    SurveyData common;
    read_data_file(io, folder.file("survey_cc.dat"), false, true, true, common);
    EXPECT_EQ(common.ncur, 2);
    EXPECT_EQ(common.ndat, 3);
    EXPECT_EQ(common.zm, (std::vector<double>{2, 2, 5}));

    // The written files of the forward-modelling commands: each is what its writer writes.
    SurveyData line;
    read_data_file(io, folder.file("line.dat"), true, false, true, line);
    SurveyMeshOptions short_mesh;
    short_mesh.cell_width = 2.5;
    short_mesh.padding_cells = 2;
    write_mesh(io, folder.file("written.msh"), mesh_for_survey(io, line, short_mesh));
    EXPECT_EQ(read_file(folder.file("written.msh")), files.at("short.msh"));
    Mesh short_read;
    load_mesh(io, folder.file("short.msh"), short_read);
    EXPECT_EQ(short_read.nx, 18 + 4);
    EXPECT_EQ(short_read.nz, 6 + 2);
    SurveyData forward;
    read_data_file(io, folder.file("forward.dat"), false, false, true, forward);
    EXPECT_TRUE(forward.std_missing);
    EXPECT_EQ(forward.sorted_pos, line.sorted_pos);
    write_general_data(io, folder.file("written.dat"), trim_trailing_blanks(forward.header_line),
                       forward, forward.dobs);
    EXPECT_EQ(read_file(folder.file("written.dat")), files.at("forward.dat"));
    const double jacobian[] = {0.5, -0.25, 1, 2, 0, -1};
    const std::size_t rows[] = {0, 1};
    write_sensitivity_file(io, folder.file("written.j"), 2, 3, jacobian, rows);
    EXPECT_EQ(octal_dump(read_file(folder.file("written.j"))), files.at("small.j.od"));
    // The control file names the bundled example's files, which exist beside it.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(source / "examples");
    const InversionRun run = read_control_file(io, folder.file("block.inv"));
    std::filesystem::current_path(previous);
    EXPECT_EQ(run.mesh_file, "block.msh");
    EXPECT_EQ(run.data_file, "block_dc.dat");
    EXPECT_EQ(run.ip_data_file, "block_ip.dat");
    EXPECT_EQ(run.topography_file, "block.topo");
    EXPECT_EQ(run.active_file, "");
    EXPECT_EQ(run.starting.kind, ModelChoice::Kind::automatic);
    EXPECT_EQ(run.alpha.mode, 3);
    EXPECT_EQ(run.alpha.lengths, (std::array<double, 2>{5, 5}));
    EXPECT_EQ(run.weights.weight_input, 0);
    EXPECT_EQ(run.dipping.dip_input, 0);
    EXPECT_EQ(run.settings.chifact, 1);
    EXPECT_EQ(run.settings.max_iterations, 20);
    EXPECT_EQ(run.invert, InversionTargets::both);
    EXPECT_EQ(run.output_folder, "block_out");
    ASSERT_TRUE(run.ip_alpha.has_value());
    EXPECT_EQ(run.ip_alpha->lengths, (std::array<double, 2>{5, 5}));

    const double misfit = 2400.0, norm = 1314.52, beta = 10.0;
    write_iteration_history(io, folder.file("written.txt"), 0, {&misfit, 1}, {&norm, 1}, {&beta, 1},
                            2400.0, 2400);
    EXPECT_EQ(read_file(folder.file("written.txt")), files.at("history.txt"));
  } catch (const Stop&) {
    FAIL() << transcript.console() << transcript.error();
  }
  EXPECT_EQ(transcript.console(), "");
}

}  // namespace
}  // namespace quelby
