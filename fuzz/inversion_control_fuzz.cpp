// Fuzzes the inversion's control file: the input is the file, read in a scratch folder that holds a
// file of each name the seeds use (m.msh, d.dat, ...), so that the reader gets past its file
// lines. A Stop after its message is an expected end, with status 1, its message on the console
// and again in the run log, and a detail that names the control file and holds no control
// character; anything else that escapes, or a crash, is a finding. A run that is read must hold
// only what its lines may set: positive finite coefficients, files that exist, chargeabilities
// within bounds.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/inversion/control_file.hpp"
#include "quelby/inversion/inversion_inputs.hpp"

namespace {

using fuzz_support::fail;

bool exists(const std::string& name) {
  struct stat status {};
  return ::stat(name.c_str(), &status) == 0;
}

void check_model(const quelby::ModelChoice& choice, bool resistivity) {
  using Kind = quelby::ModelChoice::Kind;
  if (choice.kind == Kind::file && !exists(choice.file)) fail("a model file that does not exist");
  if (choice.kind != Kind::value) return;
  const double value = choice.value;
  if (!std::isfinite(value) ||
      (resistivity ? !(value > 0) : !(value >= 0 && value <= quelby::largest_magnitude))) {
    fail("a model value out of its range");
  }
}

void check_alpha(const quelby::AlphaChoice& alpha) {
  if (alpha.mode == 2) {
    const auto [s, x, z] = alpha.alpha;
    if (!std::isfinite(s) || !std::isfinite(x) || !std::isfinite(z) || !(s > 0) || x < 0 || z < 0) {
      fail("alpha coefficients out of range");
    }
  } else if (alpha.mode == 3) {
    const auto [lx, lz] = alpha.lengths;
    if (!std::isfinite(lx) || !std::isfinite(lz) || !(lx > 0) || !(lz > 0)) {
      fail("length scales out of range");
    }
  } else if (alpha.mode != 0) {
    fail("an alpha mode other than 0, 2 and 3");
  }
}

void check_run(const quelby::InversionRun& run) {
  for (const std::string* name : {&run.mesh_file, &run.data_file, &run.ip_data_file,
                                  &run.topography_file, &run.active_file}) {
    if (!name->empty() && !exists(*name)) fail("a file that does not exist", *name);
  }
  if (run.mesh_file.empty()) fail("no mesh file");
  check_model(run.starting, true);
  check_model(run.reference, true);
  check_model(run.ip_starting, false);
  check_model(run.ip_reference, false);
  check_alpha(run.alpha);
  if (run.ip_alpha) check_alpha(*run.ip_alpha);
  if (!std::isfinite(run.settings.chifact) || !(run.settings.chifact > 0)) fail("chifact");
  if (run.settings.max_iterations < 0) fail("a negative iteration limit");
  for (const auto* uncertainty : {&run.data_uncertainty, &run.ip_uncertainty}) {
    if (!*uncertainty) continue;
    const auto [percent, floor] = **uncertainty;
    if (!std::isfinite(percent) || !std::isfinite(floor) || percent < 0 || floor < 0 ||
        (percent == 0 && floor == 0)) {
      fail("a percentage and floor out of range");
    }
  }
  if (run.output_folder.empty()) fail("no output folder");
}

// Every input recorded stands in the file's text at its line and column, as written, and exists:
// a rerun's control file is made by replacing the names there.
void check_inputs(std::string_view text, const std::vector<quelby::ControlInputName>& inputs) {
  for (const quelby::ControlInputName& input : inputs) {
    std::size_t start = 0;
    for (std::int32_t line = 1; line < input.line && start != std::string_view::npos; ++line) {
      start = text.find('\n', start);
      if (start != std::string_view::npos) ++start;
    }
    if (input.line < 1 || start == std::string_view::npos) fail("an input on no line", input.name);
    const std::string_view line = text.substr(start, text.find('\n', start) - start);
    if (input.name.empty() || line.substr(std::min(input.column, line.size()), input.name.size()) !=
                                  input.name) {
      fail("an input not where it was recorded", input.name);
    }
    if (!exists(input.name)) fail("an input that does not exist", input.name);
  }
}

// Runs in the scratch folder while it lives (names in a control file are relative to the folder
// a run is started in), and goes back after: libFuzzer reads its corpus by relative paths.
class InScratchFolder {
 public:
  InScratchFolder() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(fuzz_support::folder());
  }
  ~InScratchFolder() { std::filesystem::current_path(previous_); }
  InScratchFolder(const InScratchFolder&) = delete;
  InScratchFolder& operator=(const InScratchFolder&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool prepared = [] {
    for (const char* name : {"m.msh", "d.dat", "i.dat", "t.topo", "c.act", "s.mod", "r.mod",
                             "w.wgt", "x.wgt", "z.wgt", "d.dip", "e.mod"}) {
      fuzz_support::scratch_file(name, "1\n");
    }
    return true;
  }();
  (void)prepared;
  const std::string path = fuzz_support::scratch_file(
      "run.inv", std::string_view(reinterpret_cast<const char*>(data), size));
  const InScratchFolder in_scratch;
  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const quelby::Io io{console, error, log};
  quelby::InversionRun run;
  quelby::TimelapseControl timelapse;
  quelby::DoiControl doi;
  std::vector<quelby::ControlInputName> inputs;
  try {
    run = quelby::read_control_file(io, path, {}, &timelapse, &doi, &inputs);
  } catch (const quelby::Stop& stop) {
    if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
    if (!error.str().empty()) fail("an internal check", error.str());
    const std::string text = console.str();
    if (text.size() < 2 || text.front() != '\n' || text.back() != '\n') {
      fail("a stop without its message", text);
    }
    if (log.str() != text) fail("the run log differs from the console", text);
    fuzz_support::check_detail(stop.detail(), path);
    return 0;
  }
  if (!console.str().empty() || !error.str().empty()) fail("a reading printed something");
  check_run(run);
  check_inputs(std::string_view(reinterpret_cast<const char*>(data), size), inputs);
  return 0;
}
