// Every example file of doc/formats.md is read by its reader (or, for written files, written and
// compared), and the examples that are files of examples/ are those files byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "app/sensitivity_file.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/fielddata/electrode_table.hpp"
#include "quelby/forward/forward.hpp"
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

// A datum's four electrodes along x.
struct Quad {
  double a, b, m, n;
};

// The geometric factor of surface electrodes on flat ground, 2 pi / (1/AM - 1/AN - 1/BM + 1/BN).
double flat_factor(const Quad& q) {
  const double g = 1 / std::abs(q.m - q.a) - 1 / std::abs(q.n - q.a) - 1 / std::abs(q.m - q.b) +
                   1 / std::abs(q.n - q.b);
  return 2 * std::numbers::pi / g;
}

TEST(FormatsReference, EveryExampleFileIsReadByItsReader) {
  const std::filesystem::path source(QUELBY_SOURCE_DIR);
  const auto files = example_files(read_file((source / "doc" / "formats.md").string()));
  std::vector<std::string> names;
  for (const auto& entry : files) names.push_back(entry.first);
  // A new example needs its reader below.
  ASSERT_EQ(names, (std::vector<std::string>{
                       "block.inv", "electrodes.csv", "forward.dat", "history.txt", "line.dat",
                       "monitor.inv", "section.act", "section.dip", "section.msh", "section.topo",
                       "section.wgt", "short.msh", "small.j.od", "small.mod", "small.msh",
                       "survey.dat", "survey_cc.dat", "timelapse.txt", "top.wgt"}));
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
    const ElectrodeTable table = read_electrode_table(io, folder.file("electrodes.csv"));
    ASSERT_EQ(table.electrodes.size(), 6u);
    EXPECT_TRUE(table.electrodes[1].buried);
    EXPECT_EQ(table.electrodes[5].elevation, 46.0);
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
    EXPECT_EQ(short_read.nz, 4 + 2 + 2);
    SurveyData forward;
    read_data_file(io, folder.file("forward.dat"), false, false, true, forward);
    EXPECT_TRUE(forward.std_missing);
    EXPECT_EQ(forward.sorted_pos, line.sorted_pos);
    // The values are the forward model's on the mesh the doc names (quelby-mesh's defaults) for a
    // uniform 100 ohm-m, written as quelby-forward writes them: when the forward model changes,
    // the block to paste is printed here (and by scripts/formats_values.sh).
    const Mesh line_mesh = mesh_for_survey(io, line);
    ForwardModel uniform(io, line_mesh, std::vector<std::int32_t>(line_mesh.nx, 0), line);
    const std::vector<double> computed = uniform.data(
        io, std::vector<double>(static_cast<std::size_t>(line_mesh.nx) * line_mesh.nz, 100.0));
    write_general_data(io, folder.file("computed.dat"),
                       "quelby-forward: DC data in ohms (V/A for a unit current) of model "
                       "uniform.mod",
                       line, computed);
    EXPECT_EQ(files.at("forward.dat"), read_file(folder.file("computed.dat")))
        << "doc/formats.md's forward.dat block should read:\n```text file=forward.dat\n"
        << read_file(folder.file("computed.dat")) << "```";
    // The apparent resistivities the text quotes, to its one decimal: file lines 2 (n = 1) and 1
    // (n = 2).
    const std::string markdown = read_file((source / "doc" / "formats.md").string());
    double apparent[2] = {0, 0};
    for (std::size_t line_number : {1u, 0u}) {
      const std::size_t grouped = line.grouped_position(line_number);
      const Quad quad{line.xa_cur[0], line.xb_cur[0], line.xm[grouped], line.xn[grouped]};
      apparent[1 - line_number] = flat_factor(quad) * computed[grouped];
    }
    char quoted[64];
    std::snprintf(quoted, sizeof quoted, "give %.1f and %.1f ohm-m", apparent[0], apparent[1]);
    EXPECT_NE(markdown.find(quoted), std::string::npos) << quoted;
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

    // The time-lapse control file names files that must exist: placeholders in its folder.
    for (const char* name : {"line.msh", "day0.dat", "day1.dat", "day2.dat"}) {
      folder.write(name, "1\n");
    }
    std::filesystem::current_path(folder.path());
    TimelapseControl timelapse;
    const InversionRun monitor = read_control_file(io, "monitor.inv", {}, &timelapse);
    std::filesystem::current_path(previous);
    EXPECT_EQ(monitor.data_file, "day0.dat");
    EXPECT_EQ(monitor.output_folder, "monitor_out");
    EXPECT_EQ(timelapse.step_files, (std::vector<std::string>{"day1.dat", "day2.dat"}));
    EXPECT_EQ(timelapse.method, TimelapseMethod::ratio);
    EXPECT_EQ(timelapse.homogeneous, 0);
    const std::vector<TimelapseSummaryLine> summary = {
        {"day0.dat", 35, 0, 0, 4, 34.5969, 35, 0, 0},
        {"day1.dat", 33, 1, 2, 4, 31.771, 33, -36.0518, 3.28393},
        {"day2.dat", 35, 0, 0, 0, 0, 35, 0, 0}};
    write_timelapse_summary(io, folder.file("written_summary.txt"), TimelapseMethod::difference,
                            summary);
    EXPECT_EQ(read_file(folder.file("written_summary.txt")), files.at("timelapse.txt"));

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
