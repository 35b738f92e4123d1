// Fuzzes the readers of a run folder's text files: the iteration history and the time-lapse
// summary (through a scratch file, as the report reads them), the run log's summary and the import
// log's error models (on the text itself). Every input goes to all four. A Stop after its message
// is the expected end of a file refused; anything else that escapes, or a crash, is a finding.
// What a reader returns must hang together: a history has one row per iteration 0..niter in each
// of its columns, a summary's lines are lines of the text, an error model has as many mean errors
// as mean resistances and at least one of them.
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/report/run_folder.hpp"

namespace {

using fuzz_support::fail;

// A refused file: status 1, no detail line, and its message "\nError: the <what> <path> is
// damaged: ..." on the console and in the log, nothing on the error stream.
void check_refusal(const quelby::Stop& stop, const std::ostringstream& console,
                   const std::ostringstream& error, const std::ostringstream& log,
                   const std::string& what, const std::string& path) {
  if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
  fuzz_support::check_detail(stop.detail(), path);
  const std::string message = console.str();
  if (!message.starts_with("\nError: the " + what + " " + path + " is damaged: ") ||
      !message.ends_with("\n")) {
    fail("a refusal without its message", message);
  }
  if (log.str() != message) fail("the log does not repeat the console's message", log.str());
  if (!error.str().empty()) fail("a reader wrote to the error stream", error.str());
}

void check_history(const quelby::IterationHistory& history) {
  const std::size_t rows = history.iteration.size();
  if (rows == 0) fail("a history without its row of iteration 0");
  if (history.misfit.size() != rows || history.norm.size() != rows || history.beta.size() != rows) {
    fail("a history whose columns differ in length");
  }
}

// Every line the summary keeps is one line of the text, whole or (file names) a tail of one.
void check_run_log(const quelby::RunLogSummary& summary, const std::vector<std::string>& lines) {
  const auto is_line = [&](const std::string& kept) {
    return std::find(lines.begin(), lines.end(), kept) != lines.end();
  };
  for (const auto* group : {&summary.outcomes, &summary.errors, &summary.timings, &summary.robust,
                            &summary.doi, &summary.steps}) {
    for (const std::string& kept : *group) {
      if (!is_line(kept)) fail("a summary line that is no line of the log", kept);
    }
  }
  if (summary.data_files.size() > lines.size()) fail("more data files than lines");
}

void check_error_models(const std::vector<quelby::ErrorModelFit>& models) {
  for (const quelby::ErrorModelFit& model : models) {
    if (model.mean_resistance.empty()) fail("an error model without bins");
    if (model.mean_error.size() != model.mean_resistance.size()) {
      fail("an error model whose bins differ in length", model.title);
    }
    if (!model.title.starts_with("error model of ")) fail("an error model's title", model.title);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz_support::scratch_file("run.txt", text);

  {
    std::ostringstream console, error, log;
    const quelby::Io io{console, error, log};
    try {
      check_history(quelby::read_iteration_history(io, path));
    } catch (const quelby::Stop& stop) {
      check_refusal(stop, console, error, log, "history file", path);
    }
  }
  {
    std::ostringstream console, error, log;
    const quelby::Io io{console, error, log};
    try {
      (void)quelby::read_timelapse_summary(io, path);
    } catch (const quelby::Stop& stop) {
      check_refusal(stop, console, error, log, "time-lapse summary", path);
    }
  }
  const std::vector<std::string> lines = quelby::text_lines(text);
  check_run_log(quelby::summarise_run_log(text), lines);
  check_error_models(quelby::error_models_of_import_log(text));
  return 0;
}
