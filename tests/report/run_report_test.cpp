#include "quelby/report/run_report.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/report/svg_picture.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

// The SVG element whose id is `id`.
std::string picture(const std::string& page, const std::string& id) {
  const std::size_t begin = page.rfind("<svg ", page.find("id=\"" + id + "\""));
  if (begin == std::string::npos || page.find("id=\"" + id + "\"") == std::string::npos) return "";
  return page.substr(begin, page.find("</svg>", begin) + 6 - begin);
}

// Writes the file `name` of the folder, making its folders.
void put(const TempFolder& folder, const std::string& name, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(folder.file(name)).parent_path());
  folder.write(name, text);
}

constexpr const char* history =
    "    1  iter    data misfit       model norm              beta\n"
    "       0       4.00000E+02       0.00000E+00       1.00000E+02\n"
    "       1       1.50000E+00       2.00000E+00       1.00000E+01\n"
    " 2.00000E+00 target misfit\n"
    "           2 number of data\n";

// A section of 2 x 2 cells of 10 m, flat ground, and two Wenner readings a = 10 m.
void write_small_run(const TempFolder& folder, const std::string& name) {
  put(folder, name + "/mesh.msh", "1\n0 20 2\n1\n0 20 2\n");
  put(folder, name + "/model.mod", "    2    2\n 1.0E+01 1.0E+01\n 1.0E+03 1.0E+02\n");
  // K = 2 pi 10: R 1.59155 ohm is an apparent resistivity of 100 ohm-m.
  put(folder, name + "/observed.dat",
      "! observed\n0 30 10 20 1.59155 0.1\n10 40 20 30 0.159155 0.01\n");
  put(folder, name + "/predicted.dat",
      "! predicted\n0 30 10 20 1.49155 0.1\n10 40 20 30 0.169155 0.01\n");
  put(folder, name + "/history.txt", history);
  put(folder, name + "/run.log",
      "mesh was read from: line.msh\ndata were read from: line.dat\n"
      "DC inversion: reached the target misfit after 1 iteration, misfit 1.5E+00\n");
}

TEST(RunReport, ASmallSectionsPicturesHoldItsCellsDataAndMisfits) {
  TempFolder folder;
  write_small_run(folder, "run");
  Transcript transcript;
  const std::string page = run_report_html(transcript.io(), folder.file("run"));
  EXPECT_NE(page.find("Outcome: target reached"), std::string::npos);
  // Cells of one colour along a row merge: three rectangles, the lowest and highest colours at the
  // scale's ends (1 % quantiles of four values are the values themselves).
  const std::string section = picture(page, "section-resistivity");
  EXPECT_EQ(count(section, "class=\"cell\""), 3u) << section;
  EXPECT_EQ(count(section, "fill=\"" + hex_colour(sequential_colour(0)) + "\"/>"), 1u);
  EXPECT_EQ(count(section, "fill=\"" + hex_colour(sequential_colour(1)) + "\"/>"), 1u);
  EXPECT_EQ(count(section, "fill=\"" + hex_colour(sequential_colour(0.5)) + "\"/>"), 1u);
  // The misfit of each datum is (d - p) / sigma: +1 and -1, the two ends of its scale.
  const std::string misfit = picture(page, "pseudo-dc-misfit");
  EXPECT_EQ(count(misfit, "<circle class=\"datum\""), 2u);
  EXPECT_NE(misfit.find("fill=\"" + hex_colour(diverging_colour(1)) +
                        "\"><title>A 0 B 30 M 10 "
                        "N 20 m\nobserved 100 ohm-m (R 1.59155 ohm)\nerror sigma 0.1 ohm\n"
                        "predicted 93.717 ohm-m\nmisfit (d - p) / sigma 1</title>"),
            std::string::npos)
      << misfit;
  EXPECT_NE(misfit.find("fill=\"" + hex_colour(diverging_colour(0)) + "\"><title>A 10 B 40"),
            std::string::npos);
  EXPECT_EQ(count(page, "<table class=\"history\">"), 1u);
  EXPECT_EQ(page, run_report_html(transcript.io(), folder.file("run") + "/"));
}

// Two steps' change pictures (-10 % and -40 % their largest falls, 10 % or 20 % their largest
// rise) on one scale from -40 to 40 %: -10 % at 0.375 of it, -40 % at 0; one colour bar.
void expect_one_change_scale(const std::string& first, const std::string& second) {
  EXPECT_NE(first.find("fill=\"" + hex_colour(diverging_colour(0.375)) + "\""),
            std::string::npos);
  EXPECT_NE(second.find("fill=\"" + hex_colour(diverging_colour(0)) + "\""), std::string::npos);
  EXPECT_EQ(first.substr(first.find("<g class=\"colour-bar\"")),
            second.substr(second.find("<g class=\"colour-bar\"")));
}

TEST(RunReport, ACampaignsChangesShareOneScale) {
  TempFolder folder;
  write_small_run(folder, "campaign/step_0");
  put(folder, "campaign/step_1/change.mod", "    2    2\n 0 0\n -10 10\n");
  put(folder, "campaign/step_2/change.mod", "    2    2\n 0 0\n -40 20\n");
  put(folder, "campaign/run.log", "step 1: change from -1.0E+01 % to 1.0E+01 %\n");
  put(folder, "campaign/timelapse.txt",
      "! time-lapse\n! step ...\n"
      "    0        2        0        0     1  1.50000E+00  2.00000E+00  0.00000E+00  "
      "0.00000E+00  line.dat\n"
      "    1        2        0        0     1  1.20000E+00  2.00000E+00 -1.00000E+01  "
      "1.00000E+01  day1.dat\n"
      "    2        2        0        0     1  1.80000E+00  2.00000E+00 -4.00000E+01  "
      "2.00000E+01  day2.dat\n"
      "    3   failed  day3.dat  ! no reading in common\n"
      // A step that ran but whose change.mod is gone: drawn without it, and the page says so.
      "    4        2        0        0     1  1.10000E+00  2.00000E+00 -1.00000E+00  "
      "1.00000E+00  day4.dat\n");
  Transcript transcript;
  const std::string page = run_report_html(transcript.io(), folder.file("campaign"));
  EXPECT_NE(page.find("<h3>Step 4</h3>\n<p>No change to draw: step_4/change.mod is missing from "
                      "the folder.</p>"),
            std::string::npos);
  EXPECT_TRUE(picture(page, "section-change-4").empty());
  expect_one_change_scale(picture(page, "section-change-1"), picture(page, "section-change-2"));
  EXPECT_EQ(count(page, "<table class=\"timelapse\">"), 1u);
  EXPECT_NE(page.find("<td class=\"text\">day3.dat: no reading in common</td>"), std::string::npos);
  EXPECT_FALSE(picture(page, "section-baseline").empty());
}

TEST(RunReport, ARunThatStoppedBeforeItsModelsSaysWhy) {
  TempFolder folder;
  put(folder, "stopped/run.log",
      "data were read from: line.dat\n\nError: no cell of the mesh is a parameter.\n");
  Transcript transcript;
  const std::string page = run_report_html(transcript.io(), folder.file("stopped"));
  EXPECT_NE(page.find("Outcome: stopped short of its target"), std::string::npos);
  EXPECT_NE(page.find("Error: no cell of the mesh is a parameter."), std::string::npos);
  EXPECT_EQ(page.find("<svg"), std::string::npos);
}

TEST(RunReport, AFolderLackingWhatThePageNeedsIsRefusedAndNothingIsWritten) {
  TempFolder folder;
  write_small_run(folder, "run");
  std::filesystem::remove(folder.path() / "run" / "mesh.msh");
  Transcript transcript;
  EXPECT_THROW(write_run_report(transcript.io(), folder.file("run")), Stop);
  EXPECT_EQ(transcript.console(),
            "\nError: the run folder " + folder.file("run") +
                " lacks its mesh: no parameters.msh or mesh.msh, and the run log's line.msh is "
                "not found.\n");
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "run" / "report.html"));
}

// A 3-D model on the 3 x 3 x 2 mesh of write_small_run3d: `special` in cell 13, `other` elsewhere.
std::string model3d(const char* other, const char* special) {
  std::string model = "    3    3    2\n";
  for (int k = 0; k < 18; ++k) model += std::string(" ") + (k == 13 ? special : other);
  return model + "\n";
}

// A finished 3-D run of two data on a 3 x 3 x 2 mesh, in folder/name.
void write_small_run3d(const TempFolder& folder, const std::string& name) {
  put(folder, name + "/mesh.msh", "1\n0 30 3\n1\n0 30 3\n1\n0 20 2\n");
  put(folder, name + "/model.mod", model3d("1.0E+02", "1.0E+01"));
  const std::string data =
      "GENERAL_3D\n0 0 0 30 0 0 10 0 0 20 0 0 1.25 0.05\n"
      "0 0 0 0 0 0 10 10 0 20 10 0 0.731 0.03\n";
  put(folder, name + "/observed.dat", data);
  put(folder, name + "/predicted.dat", data);
  put(folder, name + "/history.txt", history);
  put(folder, name + "/run.log",
      "DC inversion: reached the target misfit after 1 iteration, misfit 1.5E+00\n");
}

TEST(RunReport, AThreeDimensionalRunHasItsMapSlicesAndDepthMaps) {
  TempFolder folder;
  write_small_run3d(folder, "run3d");
  Transcript transcript;
  const std::string page = run_report_html(transcript.io(), folder.file("run3d"));
  for (const char* id : {"survey3d-map", "survey3d-misfit-depth", "slice-x", "slice-y",
                         "depth-map-1", "depth-map-2", "depth-map-4"}) {
    EXPECT_FALSE(picture(page, id).empty()) << id;
  }
  EXPECT_NE(page.find("3-D inversion of DC data"), std::string::npos);
  EXPECT_EQ(count(picture(page, "survey3d-map"), "<circle class=\"datum\""), 2u);
  // A 3-D folder runs again on its own mesh (the grid it makes from it, as the first run did).
  put(folder, "run3d/model.vtr", "<VTKFile/>\n");
  put(folder, "run3d/parameters.msh", "1\n0 30 3\n1\n0 30 3\n1\n0 20 2\n");
  put(folder, "run3d/command.txt", "quelby-invert --data d.dat --parameter-cell 4\n");
  const std::string again = run_report_html(transcript.io(), folder.file("run3d"));
  EXPECT_NE(again.find("cd run3d &amp;&amp; quelby-invert --parameter-cell 4 --mesh mesh.msh "
                       "--data observed.dat --out rerun\n</pre>"),
            std::string::npos);
}

// A 3-D campaign: its baseline as a 3-D run, then every step's change in slices and depth maps on
// one scale; a step without its change.mod says so.
TEST(RunReport, AThreeDimensionalCampaignDrawsEveryStepsChangeOnOneScale) {
  TempFolder folder;
  write_small_run3d(folder, "campaign/step_0");
  put(folder, "campaign/step_1/change.mod", model3d("0", "-10"));
  put(folder, "campaign/step_2/change.mod", model3d("0", "-40"));
  put(folder, "campaign/run.log", "step 1: change from -1.0E+01 % to 0.0E+00 %\n");
  put(folder, "campaign/timelapse.txt",
      "    0        2        0        0     1  1.50000E+00  2.00000E+00  0.00000E+00  "
      "0.00000E+00  grid.dat\n"
      "    1        2        0        0     1  1.20000E+00  2.00000E+00 -1.00000E+01  "
      "0.00000E+00  day1.dat\n"
      "    2        2        0        0     1  1.80000E+00  2.00000E+00 -4.00000E+01  "
      "0.00000E+00  day2.dat\n"
      "    3        2        0        0     1  1.10000E+00  2.00000E+00 -1.00000E+00  "
      "1.00000E+00  day3.dat\n");
  Transcript transcript;
  const std::string page = run_report_html(transcript.io(), folder.file("campaign"));
  EXPECT_FALSE(picture(page, "slice-x").empty());
  for (const char* id : {"slice-x-change-1", "slice-y-change-1", "depth-map-1-change-1",
                         "depth-map-4-change-1", "slice-x-change-2", "depth-map-2-change-2"}) {
    EXPECT_FALSE(picture(page, id).empty()) << id;
  }
  EXPECT_TRUE(picture(page, "slice-x-change-3").empty());
  EXPECT_NE(page.find("<h3>Step 3</h3>\n<p>No change to draw: step_3/change.mod is missing from "
                      "the folder.</p>"),
            std::string::npos);
  // The -10 % and -40 % cells lie in the second layer, the deepest map's.
  expect_one_change_scale(picture(page, "depth-map-4-change-1"),
                          picture(page, "depth-map-4-change-2"));
}

// The page's line that runs a folder again from its own copies keeps the options of command.txt
// that name no input, words quoted as a shell reads them back, and drops those the copies
// replace: the mesh, the data, the output folder, the control file (after "--" too), and the
// grid's options when the folder keeps its grid.
TEST(RunReport, TheRerunLineKeepsTheCommandsOwnOptions) {
  struct Case {
    const char* command;
    bool grid;  // parameters.msh in the folder
    const char* options;
  };
  const std::vector<Case> cases = {
      {"quelby-invert block.inv\n", false, ""},
      {"quelby-invert --out=x --mesh m.msh --data=d.dat --robust=2 --ip-error 3 --z c.inv\n", false,
       " --robust=2 --ip-error 3 --z"},
      {"quelby-invert --blocky --ip-lower-bound -1 -- '-odd name.inv'\n", false,
       " --blocky --ip-lower-bound -1"},
      {"quelby-invert --parameters 'my grid.msh' --report c.inv\n", false,
       " --parameters 'my grid.msh' --report"},
      {"quelby-invert --parameter-cell 10 --data d.dat --doi=4\n", true,
       " --doi=4 --mesh mesh.msh --parameters parameters.msh"},
      {"quelby-invert --error 'it'\\''s' c.inv\n", false, " --error 'it'\\''s'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    TempFolder folder;
    write_small_run(folder, "run");
    put(folder, "run/command.txt", c.command);
    if (c.grid) put(folder, "run/parameters.msh", "1\n0 20 2\n1\n0 20 2\n");
    Transcript transcript;
    const std::string page = run_report_html(transcript.io(), folder.file("run"));
    const std::string expected = std::string("cd run &amp;&amp; quelby-invert") + c.options +
                                 (c.grid ? "" : " --mesh mesh.msh") +
                                 " --data observed.dat --out rerun\n</pre>";
    EXPECT_NE(page.find("# as it ran, from the folder it ran in:\n" + std::string(c.command)),
              std::string::npos);
    const std::size_t line = page.find("cd run &amp;&amp;");
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(page.substr(line, page.find("</pre>", line) + 6 - line), expected);
  }
}

// An older folder keeps no copy of its data: the report reads the file its run log names, which
// holds no deviations. The run inverted it with default errors, and its predicted file records
// them: the misfit is (d - p) over those, not over 1 ohm, nor left out.
TEST(RunReport, DataWithoutDeviationsTakeThoseThePredictedFileRecords) {
  struct Case {
    const char* name;
    bool three_dimensional;
  };
  for (const Case& c : {Case{"line", false}, Case{"grid", true}}) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const std::string run = std::string(c.name) + "_run";
    if (c.three_dimensional) {
      put(folder, run + "/mesh.msh", "1\n0 30 3\n1\n0 30 3\n1\n0 20 2\n");
      std::string model = "    3    3    2\n";
      for (int k = 0; k < 18; ++k) model += " 1.0E+02";
      put(folder, run + "/model.mod", model + "\n");
      put(folder, "survey.dat",
          "GENERAL_3D\n0 0 0 30 0 0 10 0 0 20 0 0 1.25\n0 0 0 0 0 0 10 10 0 20 10 0 0.75\n");
      put(folder, run + "/predicted.dat",
          "GENERAL_3D\n0 0 0 30 0 0 10 0 0 20 0 0 1.20 0.025\n"
          "0 0 0 0 0 0 10 10 0 20 10 0 0.80 0.1\n");
      put(folder, run + "/run.log",
          "3-D survey data were read from file: survey.dat\n"
          "DC inversion: reached the target misfit after 1 iteration, misfit 1.5E+00\n");
    } else {
      put(folder, run + "/mesh.msh", "1\n0 20 2\n1\n0 20 2\n");
      put(folder, run + "/model.mod", "    2    2\n 1.0E+02 1.0E+02\n 1.0E+02 1.0E+02\n");
      put(folder, "survey.dat", "! no deviations\n0 30 10 20 1.25\n10 40 20 30 0.75\n");
      put(folder, run + "/predicted.dat",
          "! predicted\n0 30 10 20 1.20 0.025\n10 40 20 30 0.80 0.1\n");
      put(folder, run + "/run.log",
          "mesh was read from: line.msh\ndata were read from: survey.dat\n"
          "DC inversion: reached the target misfit after 1 iteration, misfit 1.5E+00\n");
    }
    put(folder, run + "/history.txt", history);
    Transcript transcript;
    std::string page;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    try {
      page = run_report_html(transcript.io(), run);
    } catch (...) {
      std::filesystem::current_path(before);
      throw;
    }
    std::filesystem::current_path(before);
    // (1.25 - 1.20) / 0.025 = 2 and (0.75 - 0.80) / 0.1 = -0.5.
    EXPECT_NE(page.find("misfit (d - p) / sigma 2</title>"), std::string::npos) << page;
    EXPECT_NE(page.find("misfit (d - p) / sigma -0.5</title>"), std::string::npos);
  }
}

}  // namespace
}  // namespace quelby
