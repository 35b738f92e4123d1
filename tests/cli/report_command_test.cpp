// quelby-report and quelby-invert --report run as processes on a run of the bundled block survey:
// the folder keeps its inputs, the page holds its pictures, tables and a datum's numbers, is well
// formed and the same bytes twice, reports a run that stopped short, and the refusals end with
// their messages and statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::RunResult;
using testing::TempFolder;

namespace fs = std::filesystem;

RunResult run_report(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_REPORT_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

// The tags of the page balance: every element opened is closed in order (script and style text
// skipped, <meta .../> and other self-closing tags closing themselves).
std::string tag_balance_fault(const std::string& page) {
  std::vector<std::string> open;
  std::size_t at = 0;
  while ((at = page.find('<', at)) != std::string::npos) {
    if (page.compare(at, 9, "<!DOCTYPE") == 0) {
      at = page.find('>', at);
      continue;
    }
    const std::size_t end = page.find('>', at);
    if (end == std::string::npos) return "an unclosed tag at " + std::to_string(at);
    const std::string tag = page.substr(at + 1, end - at - 1);
    at = end + 1;
    if (tag.ends_with('/')) continue;
    if (tag.starts_with('/')) {
      const std::string name = tag.substr(1);
      if (open.empty() || open.back() != name)
        return "</" + name + "> closes " + (open.empty() ? "nothing" : "<" + open.back() + ">");
      open.pop_back();
      continue;
    }
    const std::string name = tag.substr(0, tag.find_first_of(" \n"));
    open.push_back(name);
    if (name == "script" || name == "style") {
      at = page.find("</" + name + ">", at);
      if (at == std::string::npos) return "an unclosed <" + name + ">";
    }
  }
  return open.empty() ? "" : "<" + open.back() + "> is never closed";
}

// The bundled control file with its iteration line ("default ... ! at most 20 iterations") set
// to 2: the run stops at its iteration limit.
std::string two_iterations(std::string control) {
  const std::size_t note = control.find("! at most 20 iterations");
  const std::size_t line = control.rfind('\n', note) + 1;
  EXPECT_NE(note, std::string::npos);
  if (note != std::string::npos) control.replace(line, note + 23 - line, "2");
  return control;
}

class ReportCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder;
    for (const char* name : {"block.msh", "block_dc.dat", "block_ip.dat", "block.topo"}) {
      fs::copy_file(fs::path(QUELBY_SOURCE_DIR) / "examples" / name, folder_->path() / name);
    }
    std::string control = read_file(std::string(QUELBY_SOURCE_DIR) + "/examples/block.inv");
    // Two iterations of each inversion: the run stops at its iteration limit.
    control = two_iterations(control);
    folder_->write("block.inv", control + "report\n");
    result_ = new RunResult(testing::run_command(QUELBY_INVERT_BINARY, folder_->path(),
                                                 {"block.inv"}, folder_->file("invert.out"),
                                                 folder_->file("invert.err")));
  }
  static void TearDownTestSuite() {
    delete result_;
    delete folder_;
  }
  static TempFolder* folder_;
  static RunResult* result_;
};
TempFolder* ReportCommand::folder_ = nullptr;
RunResult* ReportCommand::result_ = nullptr;

TEST_F(ReportCommand, TheRunKeepsItsInputsAndWritesItsReport) {
  ASSERT_EQ(result_->status, exit_success) << result_->out << result_->err;
  EXPECT_NE(result_->out.find("Report written to block_out/report.html\n"), std::string::npos);
  for (const char* name : {"mesh.msh", "observed.dat", "observed_ip.dat", "topography.topo",
                           "control.inv", "command.txt", "report.html"}) {
    EXPECT_TRUE(fs::exists(folder_->path() / "block_out" / name)) << name;
  }
  EXPECT_EQ(read_file(folder_->file("block_out/command.txt")), "quelby-invert block.inv\n");
  EXPECT_EQ(read_file(folder_->file("block_out/topography.topo")),
            read_file(folder_->file("block.topo")));
  EXPECT_EQ(read_file(folder_->file("block_out/mesh.msh")).substr(0, 3), "39\n");
  // The data as inverted: the file's values and standard deviations, its order.
  const std::string observed = read_file(folder_->file("block_out/observed.dat"));
  EXPECT_NE(observed.find("\n0 5 10 15 -1.098556279E+00 2.197112558E-02\n"), std::string::npos)
      << observed.substr(0, 200);

  const std::string page = read_file(folder_->file("block_out/report.html"));
  EXPECT_EQ(tag_balance_fault(page), "");
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>"));
  EXPECT_EQ(page.find("http://"), page.find("http://www.w3.org/2000/svg"));
  EXPECT_EQ(page.find("https://"), std::string::npos);
  EXPECT_EQ(page.find(" src="), std::string::npos);
  for (const char* id : {"pseudo-dc-observed", "pseudo-dc-predicted", "pseudo-dc-misfit",
                         "pseudo-ip-observed", "pseudo-ip-misfit", "section-resistivity",
                         "section-chargeability", "history-dc-misfit", "history-ip-beta"}) {
    EXPECT_EQ(count(page, "id=\"" + std::string(id) + "\""), 1u) << id;
  }
  EXPECT_EQ(count(page, "<circle class=\"datum\""), 6u * 204u);  // three pictures per stage
  EXPECT_EQ(count(page, "<table class=\"history\">"), 2u);
  // The first datum: K = 2 pi / (1/10 - 1/5 - 1/15 + 1/10) = -30 pi, rho_a = K R = 103.54 ohm-m.
  EXPECT_NE(page.find("<title>A 0 B 5 M 10 N 15 m\nobserved 103.54 ohm-m (R -1.09856 ohm)\n"
                      "error sigma 0.02197 ohm\npredicted "),
            std::string::npos);
  // Two iterations of each: the outcome says the run stopped, and why.
  EXPECT_NE(page.find("Outcome: stopped short of its target"), std::string::npos);
  EXPECT_NE(page.find("DC inversion: reached the iteration limit after 2 iterations"),
            std::string::npos);
  EXPECT_NE(page.find("Inversion of the synthetic block survey"), std::string::npos);
  EXPECT_NE(page.find("data-report-error"), std::string::npos);
  EXPECT_NE(page.find("reportReady = '1'"), std::string::npos);
}

TEST_F(ReportCommand, TheSameFolderGivesTheSameBytes) {
  ASSERT_EQ(result_->status, exit_success);
  const RunResult first = run_report(*folder_, {"--out", "first.html", "block_out"});
  ASSERT_EQ(first.status, exit_success) << first.out << first.err;
  EXPECT_EQ(first.out, "Report written to first.html\n");
  const RunResult second = run_report(*folder_, {"block_out", "--out=second.html"});
  ASSERT_EQ(second.status, exit_success);
  EXPECT_EQ(read_file(folder_->file("first.html")), read_file(folder_->file("second.html")));
  EXPECT_EQ(read_file(folder_->file("first.html")),
            read_file(folder_->file("block_out/report.html")));
}

TEST_F(ReportCommand, AnOlderFolderIsReadThroughItsRunLog) {
  ASSERT_EQ(result_->status, exit_success);
  // A folder as runs wrote them before they kept their inputs: the run log's names lead to them,
  // relative to the folder the command runs in.
  fs::copy(folder_->path() / "block_out", folder_->path() / "older");
  for (const char* name : {"mesh.msh", "observed.dat", "observed_ip.dat", "topography.topo",
                           "control.inv", "report.html"}) {
    fs::remove(folder_->path() / "older" / name);
  }
  const RunResult run = run_report(*folder_, {"older"});
  ASSERT_EQ(run.status, exit_success) << run.out << run.err;
  const std::string page = read_file(folder_->file("older/report.html"));
  EXPECT_EQ(count(page, "<circle class=\"datum\""), 6u * 204u);
  EXPECT_NE(page.find("DC observed apparent resistivity (ohm-m) of 204 data, block_dc.dat"),
            std::string::npos);
  EXPECT_NE(page.find("Inversion of the synthetic block survey"), std::string::npos);
}

TEST_F(ReportCommand, RefusalsSayWhatIsWrong) {
  ASSERT_EQ(result_->status, exit_success);
  TempFolder other;
  fs::create_directories(other.path() / "empty");
  fs::copy(folder_->path() / "block_out", other.path() / "damaged");
  other.write("damaged/history.txt", "not a history\n");
  fs::remove(other.path() / "damaged" / "report.html");
  fs::copy(folder_->path() / "block_out", other.path() / "bare");
  fs::remove(other.path() / "bare" / "observed.dat");
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out, err;
  };
  const std::vector<Case> cases = {
      {{"missing"}, exit_failure, "\nError: the run folder missing does not exist.\n", ""},
      {{"empty"}, exit_failure, "\nError: empty is not a run folder: it holds no run.log.\n", ""},
      {{"damaged"},
       exit_failure,
       "\nError: the history file damaged/history.txt is damaged: line 1 is not its header\n",
       ""},
      // The run log's block_dc.dat lies beside the original folder only.
      {{"bare"},
       exit_failure,
       "\nError: the run folder bare lacks its observed DC data: no observed.dat, and the run "
       "log's block_dc.dat is not found.\n",
       ""},
      {{},
       exit_usage,
       "\nUsage: quelby-report [--out FILE] OUTDIR\n",
       "quelby-report: the run folder OUTDIR is needed\n"},
      {{"a", "b"},
       exit_usage,
       "\nUsage: quelby-report [--out FILE] OUTDIR\n",
       "quelby-report: one run folder at most\n"},
      {{"--colour", "a"},
       exit_usage,
       "\nUsage: quelby-report [--out FILE] OUTDIR\n",
       "quelby-report: unknown option '--colour'\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    const RunResult run = run_report(other, c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
  EXPECT_FALSE(fs::exists(other.path() / "damaged" / "report.html"));
  const RunResult help = run_report(other, {"--help"});
  EXPECT_EQ(help.status, exit_success);
  EXPECT_TRUE(help.out.starts_with("Usage: quelby-report [--out FILE] OUTDIR\n"));
}

// The words of the page's command that runs a folder again from its own copies, after
// "cd <folder> && quelby-invert", its entities undone.
std::vector<std::string> rerun_words(const std::string& page, std::string& folder) {
  const std::size_t begin = page.find("<pre class=\"rerun\">");
  if (begin == std::string::npos) return {};
  const std::size_t end = page.find("</pre>", begin);
  std::string text = page.substr(begin, end - begin);
  for (std::size_t at = text.find("&amp;"); at != std::string::npos; at = text.find("&amp;", at + 1))
    text.replace(at, 5, "&");
  const std::size_t line = text.find("\ncd ");
  if (line == std::string::npos) return {};
  std::istringstream words(text.substr(line + 4, text.find('\n', line + 1) - line - 4));
  std::string word, joiner, program;
  words >> folder >> joiner >> program;
  if (joiner != "&&" || program != "quelby-invert") return {};
  std::vector<std::string> out;
  while (words >> word) out.push_back(word);
  return out;
}

// A run with options beside its control file, and one without a control file on a parameter grid
// of its own width: the command the page gives to run the folder again from its copies of the
// inputs makes the same models, byte for byte. Options the copies do not replace (a blocky or
// robust misfit, the grid's cells) must go into that command.
TEST(ReportRerun, TheFoldersCopiesRunAgainToTheSameModels) {
  TempFolder folder;
  for (const char* name : {"block.msh", "block_dc.dat", "block_ip.dat", "block.topo"}) {
    fs::copy_file(fs::path(QUELBY_SOURCE_DIR) / "examples" / name, folder.path() / name);
  }
  std::string control = read_file(std::string(QUELBY_SOURCE_DIR) + "/examples/block.inv");
  control = two_iterations(control);
  folder.write("block.inv", control);
  // The DC data without their standard deviations: the run completes them from --error.
  std::string bare;
  std::istringstream lines(read_file(folder.file("block_dc.dat")));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with('!')) continue;
    bare += line.substr(0, line.rfind(' ')) + "\n";
  }
  folder.write("bare.dat", bare);
  // A control file whose starting and reference models are files of one name in two folders
  // outside the run's: the rerun reads its own copies of them.
  Mesh mesh;
  std::ostringstream quiet;
  load_mesh({quiet, quiet, quiet}, folder.file("block.msh"), mesh);
  const auto uniform = [&](const char* value) {
    std::string text = std::to_string(mesh.nx) + " " + std::to_string(mesh.nz) + "\n";
    for (std::int32_t k = 0; k < mesh.nx * mesh.nz; ++k) text += std::string(value) + "\n";
    return text;
  };
  fs::create_directories(folder.path() / "start");
  fs::create_directories(folder.path() / "ref");
  folder.write("start/model.mod", uniform("80"));
  folder.write("ref/model.mod", uniform("120"));
  std::string with_models = control;
  for (const auto& [line, name] :
       {std::pair{"! starting model", "start/model.mod"}, {"! reference model", "ref/model.mod"}}) {
    const std::size_t note = with_models.find(line);
    ASSERT_NE(note, std::string::npos);
    const std::size_t start = with_models.rfind('\n', note) + 1;
    with_models.replace(start, note - start, std::string(name) + "  ");
  }
  folder.write("models.inv", with_models);
  // A time-lapse campaign of the DC data and one later step (every value 5 % higher): its mesh and
  // baseline are kept by the baseline's folder, the step's data among the copied inputs.
  std::string campaign = control;
  campaign.replace(campaign.find("both  "), 4, "DC  ");
  campaign.replace(campaign.find("block_ip.dat "), 12, "none        ");
  campaign.replace(campaign.find("block_out "), 9, "campaign ");
  folder.write("campaign.inv", campaign + "timelapse_step later/step.dat\n");
  std::string later;
  std::istringstream data_lines(read_file(folder.file("block_dc.dat")));
  for (std::string line; std::getline(data_lines, line);) {
    std::istringstream fields(line);
    double a = 0, b = 0, m = 0, n = 0, value = 0, deviation = 0;
    if (fields >> a >> b >> m >> n >> value >> deviation) {
      std::ostringstream row;
      row.precision(17);
      row << a << ' ' << b << ' ' << m << ' ' << n << ' ' << value * 1.05 << ' ' << deviation;
      later += row.str() + "\n";
    }
  }
  fs::create_directories(folder.path() / "later");
  folder.write("later/step.dat", later);
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string out;  // the run's folder
    std::vector<std::string> models;
  };
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<Case> cases = {
      {"the control file alone", {"--report", "block.inv"}, "block_out", {"model.mod", "eta.mod"}},
      {"blocky and robust beside a control file that names model files",
       {"--blocky", "--robust=2", "--ip-lower-bound", "-1", "--report", "models.inv"},
       "block_out",
       {"model.mod", "eta.mod"}},
      {"a time-lapse campaign", {"--report", "campaign.inv"}, "campaign",
       {"step_0/model.mod", "step_1/model.mod", "step_1/change.mod"}},
      {"no control file, a grid 10 m wide",
       {"--data", "bare.dat", "--topography", "block.topo", "--error", "4", "--parameter-cell",
        "10", "--out", "line", "--report"},
       "line",
       {"model.mod"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder.path() / c.out);
    const RunResult first =
        testing::run_command(QUELBY_INVERT_BINARY, folder.path(), c.arguments,
                             folder.file("first.out"), folder.file("first.err"));
    ASSERT_EQ(first.status, exit_success) << first.out << first.err;
    std::string run_folder;
    const std::vector<std::string> again =
        rerun_words(read_file(folder.file(c.out + "/report.html")), run_folder);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(run_folder, c.out);
    const fs::path inside = folder.path() / c.out;
    const RunResult second = testing::run_command(
        QUELBY_INVERT_BINARY, inside, again, folder.file("again.out"), folder.file("again.err"));
    ASSERT_EQ(second.status, exit_success) << second.out << second.err;
    if (c.arguments.back() == "models.inv") {
      EXPECT_EQ(read_file((inside / "inputs/model.mod").string()), uniform("80"));
      EXPECT_EQ(read_file((inside / "inputs/2-model.mod").string()), uniform("120"));
      EXPECT_NE(read_file((inside / "rerun.inv").string()).find("inputs/2-model.mod  "),
                std::string::npos);
    }
    for (const std::string& model : c.models) {
      EXPECT_EQ(read_file((inside / model).string()),
                read_file((inside / "rerun" / model).string()))
          << model;
    }
  }
}

}  // namespace
}  // namespace quelby
