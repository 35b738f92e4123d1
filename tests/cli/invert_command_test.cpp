// quelby-invert run as a process: its usage errors and exit statuses, a stop with its detail line,
// a whole inversion of a small synthetic survey whose files read back, the options over the
// control file's lines, a run killed after its first iteration leaving only complete files, and a
// time-lapse campaign that goes on past a step that fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/invert_command_line.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/inversion/block_survey_fixture.hpp"
#include "tests/inversion/memory_budget_table.hpp"
#include "tests/inversion/timelapse_fixture.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::RunResult;
using testing::TempFolder;
using testing::Transcript;

const std::string usage =
    "\nUsage: quelby-invert [--mesh FILE] [--data FILE] [--ip-data FILE] [--topography FILE]\n"
    "                     [--error PCT] [--error-floor OHMS] [--ip-error PCT]\n"
    "                     [--ip-error-floor FLOOR] [--out DIR] [--robust[=THRESHOLD]] [--blocky]\n"
    "                     [--memory-budget MIB] [--z] [--doi[=F]] [--parameter-cell mesh|auto|W]\n"
    "                     [--parameters FILE] [--ip-lower-bound V] [--report] [CONTROL]\n";

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_INVERT_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

// A control file over the block survey's files, with `lines` replacing items by their 0-based
// position.
std::string control_file(const std::vector<std::pair<std::size_t, std::string>>& lines) {
  std::vector<std::string> items = {"block.msh", "block_dc.dat", "none",    "none", "none",
                                    "default",   "default",      "default", "none", "none",
                                    "default",   "default",      "DC",      "out"};
  for (const auto& [position, text] : lines) items[position] = text;
  std::string text = "! the block survey\n";
  for (const std::string& item : items) text += item + '\n';
  return text;
}

// The rows of a history file: its iteration count and the data misfit of every row, checked to
// be complete (a header, niter + 1 rows, the target and the number of data).
struct History {
  int iterations = -1;
  std::vector<double> misfits;
  double target = 0;
};

History read_history(const std::string& name) {
  std::istringstream in(read_file(name));
  History history;
  std::string line;
  std::getline(in, line);
  std::istringstream(line) >> history.iterations;
  for (int row = 0; row <= history.iterations; ++row) {
    int number = -1;
    double misfit = 0, norm = 0, beta = 0;
    std::getline(in, line);
    std::istringstream(line) >> number >> misfit >> norm >> beta;
    EXPECT_EQ(number, row) << name;
    history.misfits.push_back(misfit);
  }
  std::getline(in, line);
  EXPECT_NE(line.find(" target misfit"), std::string::npos) << name;
  std::istringstream(line) >> history.target;
  std::getline(in, line);
  EXPECT_NE(line.find(" number of data"), std::string::npos) << name;
  EXPECT_FALSE(std::getline(in, line)) << name;
  return history;
}

std::vector<double> read_back(const Mesh& mesh, const std::string& name) {
  Transcript t;
  Model model(mesh.nx, mesh.nz);
  read_model(t.io(), mesh, name, "written", model);
  return {model.values().begin(), model.values().end()};
}

TEST(InvertCommand, UsageErrorsAndAnswersEndWithTheirStatuses) {
  TempFolder folder;
  const auto robust_range = [](const std::string& text) {
    return "quelby-invert: option '--robust' takes a threshold from 0.1 to 100 standard "
           "deviations: '" +
           text + "'\n";
  };
  const std::string needed = "quelby-invert: without a control file, --data is needed\n";
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;  // "help": starts with the help's first line
    std::string err;
  };
  const std::vector<Case> cases = {
      {{}, exit_usage, usage, needed},
      {{"--mesh", "m.msh"}, exit_usage, usage, needed},
      {{"--topography", "t.topo", "--out", "o"}, exit_usage, usage, needed},
      {{"--bogus", "run.inv"}, exit_usage, usage, "quelby-invert: unknown option '--bogus'\n"},
      {{"-x"}, exit_usage, usage, "quelby-invert: unknown option '-x'\n"},
      {{"run.inv", "--mesh"},
       exit_usage,
       usage,
       "quelby-invert: option '--mesh' needs a file name\n"},
      {{"--out=", "run.inv"}, exit_usage, usage, "quelby-invert: option '--out' needs a folder\n"},
      {{"a.inv", "b.inv"}, exit_usage, usage, "quelby-invert: one control file at most\n"},
      {{"--parameter-cell", "0", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--parameter-cell' needs mesh, auto or a positive width, not '0'\n"},
      {{"--parameter-cell", "auto", "--parameters", "p.msh", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: --parameter-cell and --parameters exclude each other\n"},
      {{"--ip-lower-bound", "2", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--ip-lower-bound' needs a number of 0 or less, not '2'\n"},
      {{"--data", "a", "--data", "b", "c.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--data' given twice\n"},
      {{"--help=yes"}, exit_usage, usage, "quelby-invert: option '--help' takes no value\n"},
      {{"--robust=-1", "run.inv"}, exit_usage, usage, robust_range("-1")},
      {{"--robust=2x", "run.inv"}, exit_usage, usage, robust_range("2x")},
      {{"--robust=0.001", "run.inv"}, exit_usage, usage, robust_range("0.001")},
      {{"--robust=1e-9", "run.inv"}, exit_usage, usage, robust_range("1e-9")},
      {{"--robust=1e154", "run.inv"}, exit_usage, usage, robust_range("1e154")},
      {{"--robust=nan", "run.inv"}, exit_usage, usage, robust_range("nan")},
      {{"--robust=0.1", "--robust=100", "-h"}, exit_success, "help", ""},
      {{"--memory-budget", "0", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--memory-budget' needs a number of MiB above 0 and at most "
       "1099511627776 (2^40), not '0'\n"},
      {{"--memory-budget=1e30", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--memory-budget' needs a number of MiB above 0 and at most "
       "1099511627776 (2^40), not '1e30'\n"},
      {{"--blocky=1", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--blocky' takes no value\n"},
      {{"--z=yes", "run.inv"}, exit_usage, usage, "quelby-invert: option '--z' takes no value\n"},
      {{"--doi=1", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--doi' takes a factor above 1: '1'\n"},
      {{"--doi=ten", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--doi' takes a factor above 1: 'ten'\n"},
      {{"--doi=", "run.inv"},
       exit_usage,
       usage,
       "quelby-invert: option '--doi' takes a factor above 1: ''\n"},
      {{"-h", "--bogus"}, exit_success, "help", ""},
      {{"run.inv", "--help"}, exit_success, "help", ""},
      {{"--version"}, exit_success, "quelby-invert " + std::string(version) + "\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments.front());
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    if (c.out == "help") {
      EXPECT_TRUE(result.out.starts_with("Usage: quelby-invert [--mesh FILE]")) << result.out;
      EXPECT_NE(result.out.find("man 1 quelby-invert"), std::string::npos);
    } else {
      EXPECT_EQ(result.out, c.out);
    }
  }
  // Nothing was written for any of them.
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder.path()))
    left.push_back(entry.path().filename().string());
  EXPECT_TRUE(left.empty());
}

// --memory-budget takes what the control line takes: the same table, in MiB, given whole.
TEST(InvertCommand, AMemoryBudgetTakesMiBInItsRangeAsTheControlLineDoes) {
  for (const testing::MemoryBudgetCase& c : testing::memory_budget_table()) {
    SCOPED_TRACE(c.text);
    for (const bool joined : {false, true}) {
      Transcript t;
      std::vector<std::string> words = {"quelby-invert", "run.inv"};
      if (joined) {
        words.push_back("--memory-budget=" + c.text);
      } else {
        words.insert(words.end(), {"--memory-budget", c.text});
      }
      std::vector<const char*> argv;
      for (const std::string& word : words) argv.push_back(word.c_str());
      const auto parse = [&] {
        return parse_invert_command_line(t.io(), static_cast<int>(argv.size()), argv.data());
      };
      if (c.bytes) {
        EXPECT_EQ(parse().memory_budget, c.bytes);
        continue;
      }
      try {
        parse();
        ADD_FAILURE() << "accepted";
      } catch (const Stop& stop) {
        EXPECT_EQ(stop.status(), exit_usage);
        EXPECT_EQ(t.error(),
                  "quelby-invert: option '--memory-budget' needs a number of MiB above 0 and at "
                  "most 1099511627776 (2^40), not '" +
                      c.text + "'\n");
      }
    }
  }
}

// The memory budget given decides the step of both inversions, which the run states before their
// first iterations: from products with J on the console, with the budget that takes the dense
// step, for a small budget; dense for a large one. Either way the same budget gives the same bits.
TEST(InvertCommand, AMemoryBudgetGivenDecidesTheStepAndTheRunSaysWhich) {
  TempFolder folder;
  Transcript t;
  testing::write_block_survey(t.io(), folder);
  const auto run = [&](const std::string& mib, const std::string& out) {
    return run_in(folder, {"--mesh", "block.msh", "--data", "block_dc.dat", "--ip-data",
                           "block_ip.dat", "--memory-budget", mib, "--out", out});
  };
  const RunResult small = run("0.01", "small");
  ASSERT_EQ(small.status, 0) << small.out << small.err;
  const std::string small_log = read_file(folder.file("small/run.log"));
  for (const std::string* text : {&small.out, &small_log}) {
    std::size_t statements = 0;
    for (std::size_t at = text->find("data-space step: from products with the sensitivities");
         at != std::string::npos;
         at = text->find("data-space step: from products with the sensitivities", at + 1)) {
      ++statements;
    }
    EXPECT_EQ(statements, 2u) << *text;  // DC, then IP
    EXPECT_NE(text->find("beyond the memory budget of 0.01 MiB (given)\na memory budget of "),
              std::string::npos);
    EXPECT_NE(text->find("MiB or more takes the dense step (--memory-budget "), std::string::npos);
    EXPECT_NE(text->find("matrix-free step: its first Krylov step"), std::string::npos);
  }
  const RunResult large = run("100000", "large");
  ASSERT_EQ(large.status, 0) << large.out << large.err;
  EXPECT_EQ(large.out.find("data-space step"), std::string::npos) << large.out;
  const std::string large_log = read_file(folder.file("large/run.log"));
  const std::string dense = "data-space step: dense, the sensitivities held: ";
  const std::size_t first = large_log.find(dense);
  ASSERT_NE(first, std::string::npos) << large_log;
  EXPECT_NE(large_log.find(dense, first + 1), std::string::npos) << large_log;
  EXPECT_NE(large_log.find("within the memory budget of 100000 MiB (given)"), std::string::npos);
  EXPECT_EQ(run("0.01", "again").status, 0);
  EXPECT_EQ(read_file(folder.file("again/model.mod")), read_file(folder.file("small/model.mod")));
  EXPECT_EQ(read_file(folder.file("again/eta.mod")), read_file(folder.file("small/eta.mod")));
}

// A blocky run on the bundled block survey with one parameter per mesh cell: its last iterations
// fit worse than an earlier one, whose model and data the run writes as model.mod and
// predicted.dat, saying so.
TEST(InvertCommand, TheIterationOfTheLowestMisfitIsWrittenAsTheModel) {
  TempFolder folder;
  const fs::path examples = fs::path(QUELBY_SOURCE_DIR) / "examples";
  for (const char* name : {"block.msh", "block_dc.dat", "block.topo"})
    fs::copy_file(examples / name, folder.file(name));
  const RunResult result = run_in(
      folder, {"--mesh", "block.msh", "--data", "block_dc.dat", "--topography", "block.topo",
               "--blocky", "--out", "out", "--memory-budget", "1000", "--parameter-cell", "mesh"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  const History history = read_history(folder.file("out/history.txt"));
  const auto lowest = std::min_element(history.misfits.begin(), history.misfits.end());
  const int kept = static_cast<int>(lowest - history.misfits.begin());
  ASSERT_LT(kept, history.iterations) << result.out;
  EXPECT_EQ(read_file(folder.file("out/model.mod")),
            read_file(folder.file("out/model_" + std::to_string(kept) + ".mod")));
  char text[128];
  std::snprintf(text, sizeof text,
                "the model of iteration %d, misfit %.5E, is kept: the last iteration's misfit "
                "%.5E is larger\n",
                kept, *lowest, history.misfits.back());
  EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
  EXPECT_NE(read_file(folder.file("out/run.log")).find(text), std::string::npos);
  // predicted.dat holds the kept model's data: its misfit is the lowest.
  Transcript t;
  SurveyData observed, predicted;
  read_data_file(t.io(), folder.file("block_dc.dat"), false, false, true, observed);
  read_data_file(t.io(), folder.file("out/predicted.dat"), false, false, true, predicted);
  double misfit = 0;
  for (std::size_t i = 0; i < observed.dobs.size(); ++i) {
    const double r = (predicted.dobs[i] - observed.dobs[i]) / observed.dstd[i];
    misfit += r * r;
  }
  EXPECT_NEAR(misfit / *lowest, 1, 1e-4);
}

TEST(InvertCommand, AStopPrintsItsMessageAndItsDetailAndEndsWithStatusOne) {
  TempFolder folder;
  folder.write("block.msh", "1\n0 30 3\n1\n0 20 2\n");
  folder.write("bad.inv", control_file({{1, "none"}, {10, "-1"}}));
  struct Case {
    std::vector<std::string> arguments;
    std::string out, err;
  };
  const std::vector<Case> cases = {
      {{"--mesh", "gone.msh", "--data", "gone.dat"},
       "\n ERROR: mesh file not found: gone.msh\n",
       "gone.msh: cannot be opened\n"},
      {{"bad.inv"},
       "\nError: control file bad.inv, line 12: expected chifact: a positive value or default\n",
       "bad.inv:12: found '-1'\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, exit_failure);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
  }
  // The first run made its folder and its run log, which holds the message too.
  EXPECT_EQ(read_file(folder.file("run.log")), "\n ERROR: mesh file not found: gone.msh\n");
}

// A line of `text` (1-based `line`) with its word `word` (0-based) replaced by `by`.
std::string replace_word(const std::string& text, int line, std::size_t word,
                         const std::string& by) {
  std::istringstream in(text);
  std::string result, row;
  for (int number = 1; std::getline(in, row); ++number) {
    if (number == line) {
      std::istringstream words(row);
      std::vector<std::string> parts;
      for (std::string part; words >> part;) parts.push_back(part);
      parts.at(word) = by;
      row.clear();
      for (const std::string& part : parts) row += (row.empty() ? "" : " ") + part;
    }
    result += row + '\n';
  }
  return result;
}

// Data that are not finite numbers or beyond the range of the misfit, and chargeabilities of a
// size that overflows, stop the run before any inversion with a message naming the file and line
// (or the cell), and status 1: no model is written.
TEST(InvertCommand, SpoiledDataAndChargeabilitiesBeyondReasonStopTheRun) {
  TempFolder folder;
  Transcript t;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  const std::string dc = read_file(survey.dc_file);
  const std::string ip = read_file(survey.ip_file);
  folder.write("nan_ip.dat", replace_word(ip, 4, 4, "NaN"));
  folder.write("huge_dc.dat", replace_word(dc, 3, 4, "1e300"));
  folder.write("inf_std.dat", replace_word(dc, 6, 5, "Inf"));
  folder.write("huge_eta.mod", std::to_string(survey.mesh.nx) + " " +
                                   std::to_string(survey.mesh.nz) + "\n" +
                                   std::to_string(survey.mesh.nx * survey.mesh.nz) + "*1e300\n");
  struct Case {
    std::string control;
    std::string out;  // the end of the console
    std::string err;
  };
  // IP alone on given resistivities: the chargeability models are read before any inversion.
  const std::vector<std::pair<std::size_t, std::string>> ip_only = {
      {1, "none"}, {2, "nan_ip.dat"}, {5, "100"}, {6, "100"}, {12, "IP"}};
  auto with = [](std::vector<std::pair<std::size_t, std::string>> lines,
                 std::pair<std::size_t, std::string> more) {
    lines.push_back(std::move(more));
    return lines;
  };
  const std::vector<Case> cases = {
      {control_file({{2, "nan_ip.dat"}, {12, "both"}}),
       "\nError: nan_ip.dat, line 4: the value nan is not a finite number of magnitude 1e+50 or "
       "less\n",
       "nan_ip.dat:4: value nan, standard deviation "},
      {control_file({{1, "huge_dc.dat"}}),
       "\nError: huge_dc.dat, line 3: the value 1e+300 is not a finite number of magnitude 1e+50 "
       "or less\n",
       "huge_dc.dat:3: value 1e+300, standard deviation "},
      {control_file({{1, "inf_std.dat"}}),
       "\nError: inf_std.dat, line 6: the standard deviation inf is not a number from 1e-50 to "
       "1e+50\n",
       "inf_std.dat:6: value "},
      {control_file({{2, "block_ip.dat"}, {12, "both"}}) + "ip_starting 1e300\n",
       "\nError: control file run.inv, line 16: expected the starting chargeability: a value from "
       "0 to 1e+50, a model file or default\n",
       "run.inv:16: found 'ip_starting 1e300'\n"},
      {control_file(with(ip_only, {2, "block_ip.dat"})) + "ip_reference huge_eta.mod\n",
       "\nError: the reference chargeability model holds 1e+300 in cell (1, 1), a parameter: a "
       "value from -1e+50 to 1e+50 is needed\n",
       "huge_eta.mod: cell (1, 1) holds 1e+300\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    fs::remove_all(folder.file("out"));
    folder.write("run.inv", c.control);
    const RunResult result = run_in(folder, {"run.inv"});
    EXPECT_EQ(result.status, exit_failure);
    EXPECT_TRUE(result.out.ends_with(c.out)) << result.out;
    EXPECT_TRUE(result.err.starts_with(c.err)) << result.err;
    for (const char* name : {"model.mod", "eta.mod", "model_1.mod", "eta_1.mod", "history.txt"}) {
      EXPECT_FALSE(fs::exists(folder.file("out/" + std::string(name)))) << name;
    }
  }
}

TEST(InvertCommand, TheOptionsAloneInvertASmallSurveyToItsTarget) {
  TempFolder folder;
  Transcript t;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  const RunResult result =
      run_in(folder, {"--mesh", "block.msh", "--data", "block_dc.dat", "--out", "out"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("DC inversion: reached the target misfit after "), std::string::npos)
      << result.out;
  const History history = read_history(folder.file("out/history.txt"));
  EXPECT_EQ(history.target, survey.ndat);
  EXPECT_LE(history.misfits.back(), history.target);
  // The models fill the default parameter grid over the mesh; spread back to the mesh's cells
  // they show the block.
  Mesh grid_cells;
  load_mesh(t.io(), folder.file("out/parameters.msh"), grid_cells);
  const ParameterGrid grid = parameter_grid_of_mesh(t.io(), survey.mesh, grid_cells, "grid");
  EXPECT_FALSE(grid.is_forward_mesh());
  for (int k = 1; k <= history.iterations; ++k) {
    EXPECT_EQ(read_back(grid.mesh, folder.file("out/model_" + std::to_string(k) + ".mod")).size(),
              static_cast<std::size_t>(grid.mesh.nx) * static_cast<std::size_t>(grid.mesh.nz));
  }
  const std::vector<double> model =
      forward_model_of_grid(grid, read_back(grid.mesh, folder.file("out/model.mod")));
  const auto [block, background] = testing::block_and_background(survey, model);
  EXPECT_LT(block, 0.5 * background);
  SurveyData predicted;
  read_data_file(t.io(), folder.file("out/predicted.dat"), false, false, true, predicted);
  EXPECT_EQ(predicted.ndat, survey.ndat);
  const std::string log = read_file(folder.file("out/run.log"));
  EXPECT_TRUE(log.starts_with("\nmesh was read from: block.msh\n")) << log;
  EXPECT_NE(log.find("DC inversion: reached the target misfit"), std::string::npos);
}

// --doi runs the two further inversions after the run asked for and writes the index and one
// console line; a time-lapse run and an IP-only run refuse it before anything is inverted.
TEST(InvertCommand, TheDepthOfInvestigationFollowsTheRunOrIsRefused) {
  TempFolder folder;
  Transcript t;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  const RunResult result =
      run_in(folder, {"--doi=4", "--mesh", "block.msh", "--data", "block_dc.dat", "--out", "doi"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  const std::size_t last = result.out.rfind('\n', result.out.size() - 2);
  EXPECT_TRUE(result.out.substr(last + 1).starts_with("Depth of investigation: doi/doi.mod, "))
      << result.out;
  Mesh grid;  // the index fills the parameter grid, as the models do
  load_mesh(t.io(), folder.file("doi/parameters.msh"), grid);
  const std::vector<double> index = read_back(grid, folder.file("doi/doi.mod"));
  EXPECT_EQ(*std::max_element(index.begin(), index.end()), 1);
  EXPECT_GE(*std::min_element(index.begin(), index.end()), 0);
  for (const char* name : {"doi/model.mod", "doi/doi_low/model.mod", "doi/doi_high/model.mod",
                           "doi/doi_low/run.log", "doi/doi_high/history.txt"}) {
    EXPECT_TRUE(fs::exists(folder.file(name))) << name;
  }
  const std::string log = read_file(folder.file("doi/run.log"));
  EXPECT_NE(log.find("  reference / 2 (doi/doi_low): "), std::string::npos) << log;
  EXPECT_NE(log.find("  reference * 2 (doi/doi_high): "), std::string::npos) << log;

  folder.write("step.dat", read_file(survey.dc_file));
  struct Case {
    std::string control;
    std::vector<std::string> options;
    std::string out;
  };
  const std::vector<Case> cases = {
      {control_file({}) + "timelapse_step step.dat\n",
       {"--doi"},
       "\nError: the depth of investigation (--doi, doi) is not made for a time-lapse inversion: "
       "invert the baseline alone with it.\n"},
      {control_file({}) + "timelapse_step step.dat\ndoi\n",
       {},
       "\nError: the depth of investigation (--doi, doi) is not made for a time-lapse inversion: "
       "invert the baseline alone with it.\n"},
      {control_file({{1, "none"}, {2, "block_ip.dat"}, {5, "100"}, {6, "100"}, {12, "IP"}}) +
           "doi_factor 3\n",
       {},
       "\nError: the depth of investigation comes from DC inversions: an IP inversion alone has "
       "none (what to invert: DC or both).\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    fs::remove_all(folder.file("out"));
    folder.write("run.inv", c.control);
    std::vector<std::string> arguments = c.options;
    arguments.push_back("run.inv");
    const RunResult refused = run_in(folder, arguments);
    EXPECT_EQ(refused.status, exit_failure);
    EXPECT_EQ(refused.out, c.out);
    EXPECT_FALSE(fs::exists(folder.file("out/model.mod")));
    EXPECT_FALSE(fs::exists(folder.file("out/step_0")));
  }
}

// Without --mesh the run makes the mesh quelby-mesh makes for the data file's electrodes (under the
// topography's ground when one is given), keeps it as mesh.msh beside the models and reads it as
// the run's mesh.
TEST(InvertCommand, WithoutAMeshTheSurveysMeshIsMadeKeptAndUsed) {
  TempFolder folder;
  Transcript t;
  testing::write_block_survey(t.io(), folder);
  // The ground rises by 3 m along the line (reference elevation 100).
  std::ofstream(folder.file("rise.topo")) << "4 100\n-1000 100\n0 100\n45 103\n1000 103\n";
  SurveyData positions;
  read_data_file(t.io(), folder.file("block_dc.dat"), false, false, true, positions);
  for (const bool with_ground : {false, true}) {
    SCOPED_TRACE(with_ground ? "under a topography" : "flat");
    std::vector<std::string> arguments = {"--data", "block_dc.dat", "--out", "auto"};
    if (with_ground) arguments.insert(arguments.end(), {"--topography", "rise.topo"});
    const RunResult result = run_in(folder, arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    const Mesh expected =
        with_ground ? mesh_for_survey_under_ground(t.io(), positions, folder.file("rise.topo"))
                    : mesh_for_survey(t.io(), positions);
    Mesh made;
    load_mesh(t.io(), folder.file("auto/mesh.msh"), made);
    EXPECT_EQ(made.x_nodes, expected.x_nodes);
    EXPECT_EQ(made.z_nodes, expected.z_nodes);
    EXPECT_NEAR(made.z_nodes.front(), with_ground ? -3 : 0, 1e-9);
    EXPECT_TRUE(result.out.starts_with("Mesh for the survey (" + std::to_string(made.nx) + " x " +
                                       std::to_string(made.nz) +
                                       " cells) written to auto/mesh.msh\n"))
        << result.out;
    const History history = read_history(folder.file("auto/history.txt"));
    EXPECT_LE(history.misfits.back(), history.target);
    // The models fill the parameter grid, whose nodes are the mesh's: cells of two or more
    // mesh cells under the electrodes.
    Mesh grid;
    load_mesh(t.io(), folder.file("auto/parameters.msh"), grid);
    const ParameterGrid nested = parameter_grid_of_mesh(t.io(), made, grid, "parameters.msh");
    EXPECT_LT(grid.nx * 3, made.nx * 2);
    EXPECT_EQ(read_back(grid, folder.file("auto/model.mod")).size(),
              static_cast<std::size_t>(grid.nx) * static_cast<std::size_t>(grid.nz));
    const std::string log = read_file(folder.file("auto/run.log"));
    EXPECT_TRUE(
        log.starts_with("\nmesh was read from: auto/mesh.msh\n" +
                        std::string(with_ground ? "topography was read from: rise.topo\n" : "")))
        << log;
  }
}

TEST(InvertCommand, AnOptionBesideTheControlFileReplacesItsLine) {
  TempFolder folder;
  Transcript t;
  testing::write_block_survey(t.io(), folder);
  fs::copy_file(folder.file("block_dc.dat"), folder.file("other.dat"));
  // The control file's mesh and data do not exist and its folder is not used; its iteration
  // limit of 1 is.
  folder.write("run.inv",
               control_file({{0, "gone.msh"}, {1, "gone.dat"}, {11, "1"}, {13, "ctl_out"}}));
  const RunResult result =
      run_in(folder, {"--data", "other.dat", "run.inv", "--out=opt_out", "--mesh", "block.msh"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("DC inversion: reached the iteration limit after 1 iteration,"),
            std::string::npos)
      << result.out;
  EXPECT_FALSE(fs::exists(folder.file("ctl_out")));
  EXPECT_EQ(read_history(folder.file("opt_out/history.txt")).iterations, 1);
  const std::string log = read_file(folder.file("opt_out/run.log"));
  EXPECT_TRUE(log.starts_with("control file was read from: run.inv\n")) << log;
  EXPECT_NE(log.find("data were read from: other.dat\n"), std::string::npos);
}

TEST(InvertCommand, AKilledRunLeavesOnlyCompleteFiles) {
  TempFolder folder;
  Transcript t;
  // Large enough that the run lasts several iterations after its first; a chifact that is never
  // reached keeps it going.
  testing::BlockSurveyShape shape;
  shape.electrodes = 16;
  shape.n_max = 6;
  shape.cell = 1.25;
  shape.padding = 10;
  shape.core_depth = 0;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder, shape);
  folder.write("run.inv", control_file({{10, "0.01"}}));

  std::vector<std::string> strings = {QUELBY_INVERT_BINARY, "run.inv"};
  std::vector<char*> argv;
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.path().c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(folder.file("out/model_1.mod")) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(pid, SIGTERM);
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  ASSERT_TRUE(WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == SIGTERM)
      << "the run ended before it was stopped";

  // Every file present is one of the run's and reads back whole.
  // The iteration of "model_K.mod", or 0 for any other name.
  const auto iteration_of = [](const std::string& name) {
    const std::string digits =
        name.size() > 10 && name.starts_with("model_") && name.ends_with(".mod")
            ? name.substr(6, name.size() - 10)
            : "";
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoi(digits);
  };
  int last_model = 0;
  for (const auto& entry : fs::directory_iterator(folder.file("out"))) {
    const std::string name = entry.path().filename().string();
    if (const int iteration = iteration_of(name); iteration > 0) {
      last_model = std::max(last_model, iteration);
      EXPECT_EQ(read_back(survey.mesh, entry.path().string()).size(), survey.resistivity.size());
    } else if (name == "history.txt") {
      read_history(entry.path().string());
    } else if (name == "predicted.dat" || name == "observed.dat") {
      SurveyData data;
      read_data_file(t.io(), entry.path().string(), false, false, true, data);
    } else if (name == "mesh.msh") {
      Mesh mesh;
      load_mesh(t.io(), entry.path().string(), mesh);
      EXPECT_EQ(mesh.nx, survey.mesh.nx);
    } else if (name == "command.txt" || name == "control.inv") {
      EXPECT_TRUE(read_file(entry.path().string()).ends_with("\n")) << name;
    } else if (name == "model.mod") {
      read_back(survey.mesh, entry.path().string());
    } else if (name != ".quelby-invert.lock") {
      EXPECT_EQ(name, "run.log");
    }
  }
  EXPECT_GE(last_model, 1);
  // The history is written after its iteration's model: it holds the last model's iteration or
  // the one before.
  if (fs::exists(folder.file("out/history.txt"))) {
    const int rows = read_history(folder.file("out/history.txt")).iterations;
    EXPECT_TRUE(rows == last_model || rows == last_model - 1) << rows << " " << last_model;
  }
}

// A second run refuses a folder a run is writing, naming it, and leaves the first run's files
// alone; once the first is killed, the folder is free, and a run with fewer iterations leaves none
// of the earlier run's numbered models beside its own.
TEST(InvertCommand, ARunHoldsItsFolderAndReplacesTheNumberedModelsOfAnEarlierOne) {
  TempFolder folder;
  Transcript t;
  testing::BlockSurveyShape shape;
  shape.electrodes = 16;
  shape.n_max = 6;
  shape.cell = 1.25;
  shape.padding = 10;
  shape.core_depth = 0;
  testing::write_block_survey(t.io(), folder, shape);
  folder.write("long.inv", control_file({{10, "0.0001"}, {11, "200"}}));
  folder.write("short.inv", control_file({{11, "1"}}));

  std::vector<std::string> strings = {QUELBY_INVERT_BINARY, "long.inv"};
  std::vector<char*> argv;
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.path().c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!fs::exists(folder.file("out/model_2.mod")) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::string log_before = read_file(folder.file("out/run.log"));
  const RunResult second = run_in(folder, {"short.inv"});
  EXPECT_EQ(second.status, exit_failure);
  EXPECT_EQ(second.out,
            "\nError: the output folder out is in use by another run: wait for it to end, or "
            "choose another folder.\n");
  EXPECT_EQ(second.err, "out/.quelby-invert.lock: held by another run\n");
  EXPECT_TRUE(read_file(folder.file("out/run.log")).starts_with(log_before));
  EXPECT_NE(log_before.find("mesh was read from: block.msh"), std::string::npos) << log_before;
  ::kill(pid, SIGKILL);
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  ASSERT_TRUE(WIFSIGNALED(wait_status)) << "the first run ended before it was killed";
  ASSERT_TRUE(fs::exists(folder.file("out/model_2.mod")));
  // A run that stops on its inputs leaves the earlier models alone.
  folder.write("nan.dat", replace_word(read_file(folder.file("block_dc.dat")), 2, 4, "nan"));
  folder.write("bad.inv", control_file({{1, "nan.dat"}}));
  EXPECT_EQ(run_in(folder, {"bad.inv"}).status, exit_failure);
  EXPECT_TRUE(fs::exists(folder.file("out/model_2.mod")));

  const RunResult third = run_in(folder, {"short.inv"});
  ASSERT_EQ(third.status, 0) << third.out << third.err;
  std::vector<std::string> models;
  for (const auto& entry : fs::directory_iterator(folder.file("out"))) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("model")) models.push_back(name);
  }
  std::sort(models.begin(), models.end());
  EXPECT_EQ(models, (std::vector<std::string>{"model.mod", "model_1.mod"}));
  EXPECT_EQ(read_history(folder.file("out/history.txt")).iterations, 1);
}

// A step whose file holds a reading that is not a number fails alone: the step after it is
// inverted, the summary holds the failed step's line, and the command closes by counting the
// failed steps and ends with status 1.
TEST(InvertCommand, ATimelapseCampaignGoesOnPastAFailedStep) {
  TempFolder folder;
  Transcript t;
  const testing::MonitoringLine line =
      testing::write_monitoring_line(t.io(), folder, {50, 35}, {11, 12});
  folder.write("nan.dat", replace_word(read_file(line.data_files[1]), 3, 4, "nan"));
  folder.write("monitor.inv",
               "line.msh\nstep0.dat\nnone\nnone\nnone\ndefault\ndefault\ndefault\nnone\nnone\n"
               "default\ndefault\nDC\nout\ntimelapse_step nan.dat\ntimelapse_step step1.dat\n");
  const RunResult run = run_in(folder, {"monitor.inv"});
  EXPECT_EQ(run.status, exit_failure) << run.out << run.err;
  const std::string closing =
      "\nError: 1 of 2 steps after the baseline failed (step 1); the others were inverted.\n";
  EXPECT_TRUE(run.out.ends_with(closing)) << run.out;
  const std::size_t failed = run.out.find("step 1 failed: ");
  ASSERT_NE(failed, std::string::npos) << run.out;
  const std::string reason = run.out.substr(failed + 15, run.out.find('\n', failed) - failed - 15);
  EXPECT_NE(reason.find("nan.dat"), std::string::npos) << reason;
  EXPECT_NE(run.out.find("step 2: change from", failed), std::string::npos) << run.out;
  const std::string log = read_file(folder.file("out/run.log"));
  EXPECT_NE(log.find("step 1 failed: " + reason + "\n"), std::string::npos);
  EXPECT_TRUE(log.ends_with(closing));
  std::istringstream summary(read_file(folder.file("out/timelapse.txt")));
  std::vector<std::string> rows;
  for (std::string row; std::getline(summary, row);) rows.push_back(row);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[3], "    1   failed  nan.dat  ! " + reason);
  EXPECT_TRUE(rows[4].starts_with("    2       35        0        0")) << rows[4];
  EXPECT_TRUE(fs::exists(folder.file("out/step_2/change.mod")));
}

}  // namespace
}  // namespace quelby
