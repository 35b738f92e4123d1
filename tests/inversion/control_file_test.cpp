// The control file: every kind of line accepted with what it sets, every kind of wrong line refused
// with the file, its line number and what was expected, a file that ends early, the lines the
// caller overrides, and the keyword lines after the fixed ones.
#include "quelby/inversion/control_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/inversion/kept_inputs.hpp"
#include "tests/inversion/memory_budget_table.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

// The fourteen item lines of a control file that names the files of `folder`.
std::vector<std::string> base_lines() {
  return {"m.msh",   "dc.dat", "none", "none",    "none",    "default", "default",
          "default", "none",   "none", "default", "default", "DC",      "default"};
}

// A control file: a comment line first, the items (with an end-of-line comment on the first and a
// blank line and a comment line after the fifth), then `extra` lines. Line numbers: item k
// (0-based) stands on line k + 2 for k < 5, on line k + 4 after.
std::string control_text(const std::vector<std::string>& items,
                         const std::vector<std::string>& extra = {}) {
  std::string text = "! inversion of a test survey\n";
  for (std::size_t k = 0; k < items.size(); ++k) {
    text += items[k];
    if (k == 0) text += "   ! the mesh";
    text += '\n';
    if (k == 4) text += "\n% models and regularisation\n";
  }
  for (const std::string& line : extra) text += line + '\n';
  return text;
}

std::size_t line_of_item(std::size_t k) {
  return k < 5 ? k + 2 : k + 4;
}

class ControlFileTest : public ::testing::Test {
 protected:
  ControlFileTest() {
    for (const char* name : {"m.msh", "dc.dat", "ip.dat", "t.topo", "c.act", "start.mod", "ref.mod",
                             "w.wgt", "s.wgt", "x.wgt", "z.wgt", "d.dip", "eta.mod"}) {
      folder.write(name, "1\n");
    }
    std::filesystem::current_path(folder.path());
  }
  ~ControlFileTest() override { std::filesystem::current_path(previous); }

  InversionRun read(const std::string& text, const ControlOverrides& overrides = {}) {
    folder.write("run.inv", text);
    return read_control_file(transcript.io(), "run.inv", overrides);
  }

  TempFolder folder;
  Transcript transcript;
  std::filesystem::path previous = std::filesystem::current_path();
};

TEST_F(ControlFileTest, EveryKindOfLineIsAcceptedWithWhatItSets) {
  const std::string absolute = folder.file("start.mod");
  std::filesystem::create_directory(folder.path() / "2024");
  folder.write("2024/ref.mod", "1\n");
  struct Case {
    std::size_t item;
    std::string text;
    std::function<void(const InversionRun&)> check;
  };
  using Kind = ModelChoice::Kind;
  const std::vector<Case> cases = {
      {0, "m.msh", [](const InversionRun& r) { EXPECT_EQ(r.mesh_file, "m.msh"); }},
      {1, "NONE", [](const InversionRun& r) { EXPECT_EQ(r.data_file, ""); }},
      {2, "ip.dat", [](const InversionRun& r) { EXPECT_EQ(r.ip_data_file, "ip.dat"); }},
      {3, "t.topo", [](const InversionRun& r) { EXPECT_EQ(r.topography_file, "t.topo"); }},
      {4, "  c.act  ", [](const InversionRun& r) { EXPECT_EQ(r.active_file, "c.act"); }},
      {5, "default", [](const InversionRun& r) { EXPECT_EQ(r.starting.kind, Kind::automatic); }},
      {5, "250.5 ohm-m, a note",
       [](const InversionRun& r) {
         EXPECT_EQ(r.starting.kind, Kind::value);
         EXPECT_EQ(r.starting.value, 250.5);
       }},
      {5, "start.mod",
       [](const InversionRun& r) {
         EXPECT_EQ(r.starting.kind, Kind::file);
         EXPECT_EQ(r.starting.file, "start.mod");
       }},
      {6, "1e2", [](const InversionRun& r) { EXPECT_EQ(r.reference.value, 100); }},
      {6, "100, a note", [](const InversionRun& r) { EXPECT_EQ(r.reference.value, 100); }},
      {6, "3*40", [](const InversionRun& r) { EXPECT_EQ(r.reference.value, 40); }},
      // A word that is not a number names a file: an absolute path, or a path through a folder
      // named by digits.
      {5, absolute,
       [&](const InversionRun& r) {
         EXPECT_EQ(r.starting.kind, Kind::file);
         EXPECT_EQ(r.starting.file, absolute);
       }},
      {6, "2024/ref.mod",
       [](const InversionRun& r) {
         EXPECT_EQ(r.reference.kind, Kind::file);
         EXPECT_EQ(r.reference.file, "2024/ref.mod");
       }},
      {6, "ref.mod", [](const InversionRun& r) { EXPECT_EQ(r.reference.file, "ref.mod"); }},
      {7, "0", [](const InversionRun& r) { EXPECT_EQ(r.alpha.mode, 0); }},
      {7, "2 1e-3 1 0.5",
       [](const InversionRun& r) {
         EXPECT_EQ(r.alpha.mode, 2);
         EXPECT_EQ(r.alpha.alpha, (std::array<double, 3>{1e-3, 1, 0.5}));
       }},
      {7, "3, 20, 5",
       [](const InversionRun& r) {
         EXPECT_EQ(r.alpha.mode, 3);
         EXPECT_EQ(r.alpha.lengths, (std::array<double, 2>{20, 5}));
       }},
      {8, "0", [](const InversionRun& r) { EXPECT_EQ(r.weights.weight_input, 0); }},
      {8, "1 w.wgt",
       [](const InversionRun& r) {
         EXPECT_EQ(r.weights.weight_input, 1);
         EXPECT_EQ(r.weights.weight_files[0], "w.wgt");
       }},
      {8, "2 s.wgt x.wgt\tz.wgt",
       [](const InversionRun& r) {
         EXPECT_EQ(r.weights.weight_input, 2);
         EXPECT_EQ(r.weights.weight_files, (std::array<std::string, 3>{"s.wgt", "x.wgt", "z.wgt"}));
       }},
      {9, "0", [](const InversionRun& r) { EXPECT_EQ(r.dipping.dip_input, 0); }},
      {9, "1 d.dip",
       [](const InversionRun& r) {
         EXPECT_EQ(r.dipping.dip_input, 1);
         EXPECT_EQ(r.dipping.dip_file, "d.dip");
       }},
      {10, "default", [](const InversionRun& r) { EXPECT_EQ(r.settings.chifact, 1); }},
      {10, "0.5", [](const InversionRun& r) { EXPECT_EQ(r.settings.chifact, 0.5); }},
      {11, "default", [](const InversionRun& r) { EXPECT_EQ(r.settings.max_iterations, 20); }},
      {11, "0", [](const InversionRun& r) { EXPECT_EQ(r.settings.max_iterations, 0); }},
      {12, "ip", [](const InversionRun& r) { EXPECT_EQ(r.invert, InversionTargets::ip); }},
      {12, "Both", [](const InversionRun& r) { EXPECT_EQ(r.invert, InversionTargets::both); }},
      {12, "default", [](const InversionRun& r) { EXPECT_EQ(r.invert, InversionTargets::dc); }},
      {13, "default", [](const InversionRun& r) { EXPECT_EQ(r.output_folder, "."); }},
      {13, "results/run 1",
       [](const InversionRun& r) { EXPECT_EQ(r.output_folder, "results/run 1"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> items = base_lines();
    items[c.item] = c.text;
    try {
      c.check(read(control_text(items)));
    } catch (const Stop&) {
      ADD_FAILURE() << transcript.console();
    }
  }
  EXPECT_EQ(transcript.console(), "");
  EXPECT_NE(transcript.log().find("control file was read from: run.inv\n"), std::string::npos);
}

TEST_F(ControlFileTest, KeywordLinesFollowInAnyOrder) {
  const InversionRun run =
      read(control_text(base_lines(), {"ip_alpha 3 10 10  ! smoother", "data_std 5 0.001",
                                       "IP_STD 2, 0.5", "ip_reference eta.mod", "ip_starting 0"}));
  ASSERT_TRUE(run.data_uncertainty && run.ip_uncertainty && run.ip_alpha);
  EXPECT_EQ(run.data_uncertainty->percent, 5);
  EXPECT_EQ(run.data_uncertainty->floor, 0.001);
  EXPECT_EQ(run.ip_uncertainty->floor, 0.5);
  EXPECT_EQ(run.ip_alpha->lengths, (std::array<double, 2>{10, 10}));
  EXPECT_EQ(run.ip_reference.file, "eta.mod");
  EXPECT_EQ(run.ip_starting.kind, ModelChoice::Kind::value);
  EXPECT_EQ(run.ip_starting.value, 0);
  const InversionRun plain = read(control_text(base_lines()));
  EXPECT_FALSE(plain.data_uncertainty || plain.ip_uncertainty || plain.ip_alpha);
  EXPECT_FALSE(plain.settings.robust || plain.settings.blocky || plain.use_z || plain.report);
  EXPECT_EQ(plain.resistivity_bounds, (std::array<double, 2>{1e-4, 1e8}));
  EXPECT_EQ(plain.max_log_change, 3);

  const InversionRun method = read(control_text(
      base_lines(), {"robust 2.5", "BLOCKY", "resistivity_bounds 0.1 1e5", "max_log_change 0",
                     "memory_budget 512", "Use_Z ! buried", "Report"}));
  EXPECT_EQ(method.settings.memory_budget, std::size_t{512} << 20);
  EXPECT_TRUE(method.settings.robust && method.settings.blocky && method.use_z && method.report);
  EXPECT_EQ(method.settings.robust_threshold, 2.5);
  EXPECT_EQ(method.resistivity_bounds, (std::array<double, 2>{0.1, 1e5}));
  EXPECT_EQ(method.max_log_change, 0);
  EXPECT_EQ(read(control_text(base_lines(), {"robust"})).settings.robust_threshold,
            InversionSettings{}.robust_threshold);
  EXPECT_EQ(read(control_text(base_lines(), {"robust 0.1"})).settings.robust_threshold, 0.1);
  EXPECT_EQ(read(control_text(base_lines(), {"robust 100"})).settings.robust_threshold, 100);
  // Chargeability models named by absolute paths.
  const std::string eta = folder.file("eta.mod");
  const InversionRun absolute =
      read(control_text(base_lines(), {"ip_starting " + eta, "ip_reference " + eta}));
  EXPECT_EQ(absolute.ip_starting.kind, ModelChoice::Kind::file);
  EXPECT_EQ(absolute.ip_starting.file, eta);
  EXPECT_EQ(absolute.ip_reference.file, eta);
}

// A memory budget in MiB: the same table as the command line's option.
TEST_F(ControlFileTest, AMemoryBudgetLineTakesMiBInItsRange) {
  for (const testing::MemoryBudgetCase& c : testing::memory_budget_table()) {
    SCOPED_TRACE(c.text);
    Transcript t;
    folder.write("run.inv", control_text(base_lines(), {"memory_budget " + c.text}));
    if (c.bytes) {
      EXPECT_EQ(read_control_file(t.io(), "run.inv").settings.memory_budget, *c.bytes);
      continue;
    }
    EXPECT_THROW(read_control_file(t.io(), "run.inv"), Stop);
    EXPECT_EQ(t.console(),
              "\nError: control file run.inv, line 18: expected memory_budget MIB: the memory the "
              "sensitivities may take, a number of MiB above 0 and at most 1099511627776 (2^40)\n");
  }
}

// What a wrong line held is shown as printable text: control characters as \xNN.
TEST_F(ControlFileTest, ADetailShowsControlCharactersAsCodes) {
  struct Case {
    std::size_t item;
    std::string text;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {12,
       "default\x07"
       "both",
       "'default\\x07both'"},
      {10, "\x1B[31mred", "'\\x1B[31mred'"},
      {11, "2\r5", "'2\\x0D5'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    std::vector<std::string> items = base_lines();
    items[c.item] = c.text;
    Transcript t;
    folder.write("run.inv", control_text(items));
    try {
      read_control_file(t.io(), "run.inv");
      ADD_FAILURE() << "accepted";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(),
                "run.inv:" + std::to_string(line_of_item(c.item)) + ": found " + c.shown);
    }
  }
}

TEST_F(ControlFileTest, AWrongLineStopsWithTheFileItsLineAndWhatWasExpected) {
  struct Case {
    std::size_t item;  // 14 and above: the keyword lines after the items
    std::string text;
    std::string what;
    std::string before = {};  // the message of read_input_file_name, when a file is missing
  };
  const std::string model_expected = ": a positive value, a model file or default";
  const std::string alpha_expected =
      "expected the alpha mode: default, 0, 2 a_s a_x a_z (a_s > 0, a_x, a_z >= 0) or 3 Lx Lz "
      "(both > 0)";
  const std::string weights_expected =
      "expected the weight input: none, 0, 1 and a weighting file, or 2 and three weight files";
  const std::string keyword_expected =
      "expected the end of the file or a keyword line: data_std, ip_std, ip_starting, "
      "ip_reference, ip_alpha, robust, blocky, use_z, resistivity_bounds, max_log_change, "
      "memory_budget, parameter_cell, parameters, ip_lower_bound or report";
  const std::string robust_expected =
      "expected robust, or robust THRESHOLD: a threshold from 0.1 to 100 standard deviations";
  const std::string bounds_expected =
      "expected resistivity_bounds LOWEST HIGHEST: two positive values in ohm-m, the lowest "
      "first";
  const std::vector<Case> cases = {
      {0, "none", "the mesh file does not exist", "\nError: mesh file does not exist:\nnone\n"},
      {1, "missing.dat", "the data file does not exist",
       "\nError: data file does not exist:\nmissing.dat\n"},
      {4, "c.ac", "the active cell file does not exist",
       "\nError: active cell file does not exist:\nc.ac\n"},
      {5, "-3", "expected the starting model" + model_expected},
      {5, "0", "expected the starting model" + model_expected},
      {5, "start.mdo", "the starting model file does not exist",
       "\nError: starting model file does not exist:\nstart.mdo\n"},
      {6, "nan", "expected the reference model" + model_expected},
      {7, "1", alpha_expected},
      {7, "2 1e-3 1", alpha_expected},
      {7, "2 0 1 1", alpha_expected},
      {7, "3 10 -5", alpha_expected},
      {7, "lengths 10 5", alpha_expected},
      {8, "1", weights_expected},
      {8, "2 s.wgt x.wgt", weights_expected},
      {8, "3 w.wgt", weights_expected},
      {8, "2 s.wgt q.wgt z.wgt", "the X weights file does not exist",
       "\nError: X weights file does not exist:\nq.wgt\n"},
      {9, "1", "expected the dipping option: none, 0, or 1 and a dipping file"},
      {9, "yes d.dip", "expected the dipping option: none, 0, or 1 and a dipping file"},
      {10, "0", "expected chifact: a positive value or default"},
      {10, "one", "expected chifact: a positive value or default"},
      {11, "-1", "expected the iteration limit: an integer of 0 or more, or default"},
      {11, "2.5", "expected the iteration limit: an integer of 0 or more, or default"},
      {12, "resistivity", "expected what to invert: DC, IP, both or default"},
      {14, "chifact 2", keyword_expected},
      {14, "data_std 5", "expected data_std PERCENT FLOOR: two values of 0 or more, not both 0"},
      {14, "ip_std 0 0", "expected ip_std PERCENT FLOOR: two values of 0 or more, not both 0"},
      {14, "ip_starting", "expected a value after ip_starting"},
      {14, "ip_starting -0.1",
       "expected the starting chargeability: a value from 0 to 1e+50, a model file or default"},
      {14, "ip_reference 1e300",
       "expected the reference chargeability: a value from 0 to 1e+50, a model file or default"},
      {14, "ip_alpha 4", alpha_expected},
      {14, "robust -1", robust_expected},
      {14, "robust 2 3", robust_expected},
      {14, "robust 0.001", robust_expected},
      {14, "robust 1e155", robust_expected},
      {14, "robust 100.5", robust_expected},
      {14, "blocky yes", "expected blocky alone"},
      {14, "use_z 1", "expected use_z alone"},
      {14, "resistivity_bounds 10", bounds_expected},
      {14, "resistivity_bounds 100 10", bounds_expected},
      {14, "resistivity_bounds 0 10", bounds_expected},
      {14, "max_log_change inf",
       "expected max_log_change VALUE: the largest change of ln(resistivity) in one iteration, "
       "0 or more (0: unbounded)"},
      {15, "Data_std 1 1", "data_std is given twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> items = base_lines();
    std::vector<std::string> extra;
    if (c.item < items.size()) {
      items[c.item] = c.text;
    } else {
      if (c.item == 15) extra.push_back("data_std 2 0");
      extra.push_back(c.text);
    }
    const std::size_t line = c.item < items.size() ? line_of_item(c.item) : 18 + extra.size() - 1;
    Transcript t;
    folder.write("run.inv", control_text(items, extra));
    try {
      read_control_file(t.io(), "run.inv");
      ADD_FAILURE() << "accepted";
    } catch (const Stop& stop) {
      const std::string message = c.before + "\nError: control file run.inv, line " +
                                  std::to_string(line) + ": " + c.what + "\n";
      EXPECT_EQ(t.console(), message);
      EXPECT_EQ(t.log(), message);
      EXPECT_EQ(stop.status(), exit_failure);
      EXPECT_EQ(stop.detail(), "run.inv:" + std::to_string(line) + ": found '" + c.text + "'");
    }
  }
}

TEST_F(ControlFileTest, AFileThatEndsEarlyNamesTheLineItNeeded) {
  struct Case {
    std::size_t items;
    std::string what;
  };
  const std::vector<Case> cases = {
      {0, "expected the mesh file, found the end of the file"},
      {7, "expected the alpha mode, found the end of the file"},
      {13, "expected the output folder, found the end of the file"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> items = base_lines();
    items.resize(c.items);
    Transcript t;
    const std::string text = control_text(items);
    folder.write("run.inv", text);
    // The read that meets the end is counted as one line beyond the last.
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    try {
      read_control_file(t.io(), "run.inv");
      ADD_FAILURE() << c.items;
    } catch (const Stop& stop) {
      EXPECT_EQ(t.console(), "\nError: control file run.inv, line " + std::to_string(lines + 1) +
                                 ": " + c.what + "\n");
      EXPECT_EQ(stop.detail(), "run.inv: the file ends before line " + std::to_string(lines + 1));
    }
  }
  Transcript t;
  EXPECT_THROW(read_control_file(t.io(), "absent.inv"), Stop);
  EXPECT_EQ(t.console(), "\n ERROR: control file not found: absent.inv\n");
}

TEST_F(ControlFileTest, OverriddenLinesMustBeThereButAreNotRead) {
  std::vector<std::string> items = base_lines();
  items[0] = "gone.msh";
  items[1] = "gone.dat";
  items[2] = "gone_ip.dat";
  items[3] = "gone.topo";
  items[13] = "ignored";
  const InversionRun run = read(control_text(items), {true, true, true, true, true});
  EXPECT_EQ(run.mesh_file, "");
  EXPECT_EQ(run.data_file, "");
  EXPECT_EQ(run.output_folder, ".");
  EXPECT_EQ(transcript.console(), "");
  // Without the override the same line is refused.
  Transcript t;
  EXPECT_THROW(read_control_file(t.io(), "run.inv", {false, true, true, true, true}), Stop);
  EXPECT_NE(t.console().find("line 2: the mesh file does not exist"), std::string::npos);
}

// The time-lapse lines: the steps in their order, the method with its homogeneous resistivity;
// wrong ones refused with their line; without a place for them they are unknown keywords.
TEST_F(ControlFileTest, TimeLapseLinesNameTheStepsAndTheMethod) {
  folder.write("s1.dat", "1\n");
  folder.write("s 2.dat", "1\n");
  const std::string text =
      control_text(base_lines(), {"timelapse_step s1.dat", "TIMELAPSE_STEP s 2.dat  ! the second",
                                  "timelapse_step ip.dat", "timelapse_method Ratio 80.5"});
  folder.write("run.inv", text);
  TimelapseControl timelapse;
  Transcript t;
  const InversionRun run = read_control_file(t.io(), "run.inv", {}, &timelapse);
  EXPECT_EQ(run.data_file, "dc.dat");
  EXPECT_EQ(timelapse.step_files, (std::vector<std::string>{"s1.dat", "s 2.dat", "ip.dat"}));
  EXPECT_EQ(timelapse.method, TimelapseMethod::ratio);
  EXPECT_EQ(timelapse.homogeneous, 80.5);
  // The default method, and the ratio without a resistivity.
  for (const auto& [line, method] :
       {std::pair{std::string(""), TimelapseMethod::difference},
        std::pair{std::string("timelapse_method difference"), TimelapseMethod::difference},
        std::pair{std::string("timelapse_method ratio"), TimelapseMethod::ratio}}) {
    std::vector<std::string> extra = {"timelapse_step s1.dat"};
    if (!line.empty()) extra.push_back(line);
    folder.write("run.inv", control_text(base_lines(), extra));
    TimelapseControl read;
    read_control_file(t.io(), "run.inv", {}, &read);
    EXPECT_EQ(read.method, method) << line;
    EXPECT_EQ(read.homogeneous, 0) << line;
  }

  struct Case {
    std::vector<std::string> extra;
    std::string what;
    bool with_place = true;
  };
  const std::vector<Case> cases = {
      {{"timelapse_step absent.dat"}, "the time-lapse data file does not exist"},
      {{"timelapse_step s1.dat", "timelapse_method sum"},
       "expected timelapse_method difference, or ratio and optionally a positive resistivity"},
      {{"timelapse_step s1.dat", "timelapse_method ratio -3"},
       "expected timelapse_method difference, or ratio and optionally a positive resistivity"},
      {{"timelapse_step s1.dat", "timelapse_method ratio", "timelapse_method ratio"},
       "timelapse_method is given twice"},
      {{"timelapse_method ratio"},
       "timelapse_method needs the timelapse_step lines of the later steps before it"},
      {{"timelapse_step s1.dat"},
       "expected the end of the file or a keyword line: data_std, ip_std, ip_starting, "
       "ip_reference, ip_alpha, robust, blocky, use_z, resistivity_bounds, max_log_change, "
       "memory_budget, parameter_cell, parameters, ip_lower_bound or report",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra.back());
    Transcript failed;
    folder.write("run.inv", control_text(base_lines(), c.extra));
    TimelapseControl read;
    try {
      read_control_file(failed.io(), "run.inv", {}, c.with_place ? &read : nullptr);
      ADD_FAILURE() << "accepted";
    } catch (const Stop&) {
      const std::string console = failed.console();
      EXPECT_NE(console.find("line " + std::to_string(18 + c.extra.size() - 1) + ": " + c.what),
                std::string::npos)
          << console;
    }
  }
}

// The depth-of-investigation lines: doi alone, doi_factor with its factor (which asks for the index
// too), in any case; wrong ones refused with their line; without a place for them, and in the list
// of keywords, they are unknown.
TEST_F(ControlFileTest, DoiLinesAskForTheIndexAndSetItsFactor) {
  struct Accepted {
    std::vector<std::string> extra;
    bool on;
    double factor;
  };
  const std::vector<Accepted> accepted = {
      {{}, false, 10},
      {{"doi"}, true, 10},
      {{"DOI  ! the depth of investigation"}, true, 10},
      {{"doi_factor 4"}, true, 4},
      {{"doi", "robust", "Doi_Factor 1e2"}, true, 100},
  };
  for (const Accepted& c : accepted) {
    folder.write("run.inv", control_text(base_lines(), c.extra));
    DoiControl doi;
    Transcript t;
    const InversionRun run = read_control_file(t.io(), "run.inv", {}, nullptr, &doi);
    EXPECT_EQ(doi.on, c.on) << c.extra.size();
    EXPECT_EQ(doi.factor, c.factor) << c.extra.size();
    EXPECT_EQ(run.data_file, "dc.dat");
  }

  const std::string factor_expected =
      "expected doi_factor F: how many times the higher reference of the depth of investigation "
      "is the lower, a number above 1";
  struct Refused {
    std::vector<std::string> extra;
    std::string what;
    bool with_place = true;
  };
  const std::vector<Refused> refused = {
      {{"doi yes"}, "expected doi alone"},
      {{"doi_factor 1"}, factor_expected},
      {{"doi_factor"}, factor_expected},
      {{"doi_factor 0.5"}, factor_expected},
      {{"doi_factor 3 4"}, factor_expected},
      {{"doi_factor inf"}, factor_expected},
      {{"doi", "doi"}, "doi is given twice"},
      {{"doi_factor 4", "DOI_FACTOR 5"}, "doi_factor is given twice"},
      {{"report now"}, "expected report alone"},
      {{"report", "REPORT"}, "report is given twice"},
      {{"doi"},
       "expected the end of the file or a keyword line: data_std, ip_std, ip_starting, "
       "ip_reference, ip_alpha, robust, blocky, use_z, resistivity_bounds, max_log_change, "
       "memory_budget, parameter_cell, parameters, ip_lower_bound or report",
       false},
      {{"chifact 2"},
       "expected the end of the file or a keyword line: data_std, ip_std, ip_starting, "
       "ip_reference, ip_alpha, robust, blocky, use_z, resistivity_bounds, max_log_change, "
       "memory_budget, parameter_cell, parameters, ip_lower_bound, report, timelapse_step, "
       "timelapse_method, doi or doi_factor"},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.extra.back());
    Transcript failed;
    folder.write("run.inv", control_text(base_lines(), c.extra));
    DoiControl doi;
    TimelapseControl timelapse;
    try {
      read_control_file(failed.io(), "run.inv", {}, c.with_place ? &timelapse : nullptr,
                        c.with_place ? &doi : nullptr);
      ADD_FAILURE() << "accepted";
    } catch (const Stop&) {
      EXPECT_EQ(failed.console(), "\nError: control file run.inv, line " +
                                      std::to_string(18 + c.extra.size() - 1) + ": " + c.what +
                                      "\n");
    }
  }
}

TEST_F(ControlFileTest, InputsAreRecordedWhereWrittenAndARerunFileNamesTheirCopies) {
  std::filesystem::create_directories(folder.path() / "other");
  folder.write("other/start.mod", "2\n");
  folder.write("s 2.dat", "1\n");
  std::vector<std::string> items = base_lines();
  items[3] = "t.topo";
  items[4] = "  c.act";
  items[5] = "other/start.mod";
  items[6] = "start.mod   ! the reference";
  items[8] = "2 s.wgt x.wgt\tz.wgt";
  items[9] = "1   d.dip";
  const std::string text = control_text(
      items, {"ip_starting eta.mod", "ip_reference start.mod", "timelapse_step s 2.dat  ! step"});
  folder.write("run.inv", text);
  TimelapseControl timelapse;
  std::vector<ControlInputName> inputs;
  read_control_file(transcript.io(), "run.inv", {.mesh = true}, &timelapse, nullptr, &inputs);
  struct Expected {
    std::int32_t line;
    std::size_t column;
    const char* name;
    const char* label;
  };
  const std::vector<Expected> expected = {
      {3, 0, "dc.dat", "data"},
      {5, 0, "t.topo", "topography"},
      {6, 2, "c.act", "active cell"},
      {9, 0, "other/start.mod", "starting model"},
      {10, 0, "start.mod", "reference model"},
      {12, 2, "s.wgt", "S weights"},
      {12, 8, "x.wgt", "X weights"},
      {12, 14, "z.wgt", "Z weights"},
      {13, 4, "d.dip", "dipping"},
      {18, 12, "eta.mod", "starting chargeability"},
      {19, 13, "start.mod", "reference chargeability"},
      {20, 15, "s 2.dat", "time-lapse data"},
  };
  ASSERT_EQ(inputs.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    SCOPED_TRACE(expected[k].name);
    EXPECT_EQ(inputs[k].line, expected[k].line);
    EXPECT_EQ(inputs[k].column, expected[k].column);
    EXPECT_EQ(inputs[k].name, expected[k].name);
    EXPECT_EQ(inputs[k].label, expected[k].label);
  }

  // The copies keep their names (the second start.mod is another file: 2-start.mod; the same file
  // named twice is copied once); the data and topography lines are left as they are.
  keep_control_inputs(transcript.io(), "run.inv", inputs, "out");
  std::string rerun = text;
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"  c.act", "  inputs/c.act"},
           {"other/start.mod", "inputs/start.mod"},
           {"start.mod   !", "inputs/2-start.mod   !"},
           {"2 s.wgt x.wgt\tz.wgt", "2 inputs/s.wgt inputs/x.wgt\tinputs/z.wgt"},
           {"1   d.dip", "1   inputs/d.dip"},
           {"ip_starting eta.mod", "ip_starting inputs/eta.mod"},
           {"ip_reference start.mod", "ip_reference inputs/2-start.mod"},
           {"timelapse_step s 2.dat", "timelapse_step inputs/s 2.dat"}}) {
    const std::size_t at = rerun.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    rerun.replace(at, from.size(), to);
  }
  EXPECT_EQ(testing::read_file(folder.file("out/rerun.inv")), rerun);
  EXPECT_EQ(testing::read_file(folder.file("out/inputs/start.mod")), "2\n");
  EXPECT_EQ(testing::read_file(folder.file("out/inputs/2-start.mod")), "1\n");
  std::vector<std::string> copies;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path() / "out/inputs"))
    copies.push_back(entry.path().filename().string());
  std::sort(copies.begin(), copies.end());
  EXPECT_EQ(copies, (std::vector<std::string>{"2-start.mod", "c.act", "d.dip", "eta.mod",
                                              "s 2.dat", "s.wgt", "start.mod", "x.wgt", "z.wgt"}));

  // Nothing is written when the control file names no other input, or no longer holds a name
  // where it was read.
  std::filesystem::remove_all(folder.path() / "out");
  keep_control_inputs(transcript.io(), "run.inv", {inputs[0], inputs[1]}, "out");
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "out"));
  folder.write("run.inv", "!\n" + text);
  keep_control_inputs(transcript.io(), "run.inv", inputs, "out");
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "out/rerun.inv"));
}

}  // namespace
}  // namespace quelby
