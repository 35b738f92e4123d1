// quelby-invert [--mesh FILE] [--data FILE] [--ip-data FILE] [--topography FILE] [--out DIR]
// [--z] [CONTROL]: inverts DC data for the resistivity of a section and IP data for its
// chargeability, writing the models, the predicted data, the histories and the run log run.log in
// the output folder. The options alone run a DC inversion with the defaults (without --mesh, on a
// mesh made for the survey's electrodes and written to the output folder as mesh.msh); a control
// file sets everything, and an option beside it replaces its line; its time-lapse lines make the
// run a time-lapse inversion of the data line's baseline and the later steps' data files; --doi
// (or the control file's doi lines) adds the depth of investigation after an ordinary run.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/command_exit.hpp"
#include "app/invert_command_line.hpp"
#include "app/survey_positions.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/inversion/control_file.hpp"
#include "quelby/inversion/depth_of_investigation.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/inversion/inversion_run3d.hpp"
#include "quelby/inversion/kept_inputs.hpp"
#include "quelby/inversion/timelapse_run.hpp"
#include "quelby/report/run_report.hpp"

namespace {

// The run's description: the control file's, or the defaults, with the options in place of their
// lines. The control file's time-lapse lines go to `timelapse`, its depth-of-investigation lines
// and the option --doi to `doi`.
quelby::InversionRun describe_run(const quelby::Io& io, const quelby::InvertArguments& arguments,
                                  quelby::TimelapseControl& timelapse, quelby::DoiControl& doi,
                                  std::vector<quelby::ControlInputName>& inputs) {
  quelby::InversionRun run;
  if (arguments.control) {
    const quelby::ControlOverrides overrides{
        arguments.mesh.has_value(), arguments.data.has_value(), arguments.ip_data.has_value(),
        arguments.topography.has_value(), arguments.out.has_value()};
    run = quelby::read_control_file(io, *arguments.control, overrides, &timelapse, &doi, &inputs);
  } else {
    // Without a control file the default parameter grid: nothing given is on the mesh's cells.
    run.parameter_cell = {quelby::ParameterCellChoice::Kind::automatic, 0};
    if (arguments.ip_data) run.invert = quelby::InversionTargets::both;
  }
  if (arguments.parameter_cell) {
    run.parameter_cell =
        quelby::parse_parameter_cell(io, *arguments.parameter_cell, "--parameter-cell");
    run.parameter_file.clear();
  }
  if (arguments.parameters) {
    run.parameter_file = *arguments.parameters;
    run.parameter_cell = {};
  }
  if (arguments.ip_lower_bound) run.ip_lower_bound = *arguments.ip_lower_bound;
  if (arguments.mesh) run.mesh_file = *arguments.mesh;
  if (arguments.data) run.data_file = *arguments.data;
  if (arguments.ip_data) run.ip_data_file = *arguments.ip_data;
  if (arguments.topography) run.topography_file = *arguments.topography;
  if (arguments.out) run.output_folder = *arguments.out;
  if (arguments.error_percent || arguments.error_floor) {
    run.data_uncertainty = quelby::DataUncertainty{arguments.error_percent.value_or(0),
                                                   arguments.error_floor.value_or(0)};
  }
  if (arguments.ip_error_percent || arguments.ip_error_floor) {
    run.ip_uncertainty = quelby::DataUncertainty{arguments.ip_error_percent.value_or(0),
                                                 arguments.ip_error_floor.value_or(0)};
  }
  if (arguments.robust) run.settings.robust = true;
  if (arguments.robust_threshold) run.settings.robust_threshold = *arguments.robust_threshold;
  if (arguments.blocky) run.settings.blocky = true;
  if (arguments.use_z) run.use_z = true;
  if (arguments.doi) doi.on = true;
  if (arguments.doi_factor) doi.factor = *arguments.doi_factor;
  if (arguments.memory_budget) run.settings.memory_budget = *arguments.memory_budget;
  if (arguments.report) run.report = true;
  return run;
}

// The mesh of a run without one: made for the electrodes of the data file (their z positions too
// with use_z) with the defaults of quelby-mesh (under the ground of the topography file, when
// there is one) and written as `name`, which the run then reads like any mesh file.
void make_survey_mesh(const quelby::Io& io, const quelby::InversionRun& run,
                      const std::string& name) {
  // The survey and the topography are read again by the inversion: their reading lines go to the
  // run log once.
  std::ostream no_log(nullptr);
  const quelby::Io quiet{io.console, io.error, no_log};
  quelby::SurveyData survey;
  quelby::read_survey_positions(quiet, run.data_file, run.use_z, survey);
  const quelby::Mesh mesh = run.topography_file.empty() ? quelby::mesh_for_survey(io, survey)
                                                        : quelby::mesh_for_survey_under_ground(
                                                              quiet, survey, run.topography_file);
  quelby::write_mesh(io, name, mesh);
  io.console << "Mesh for the survey (" << mesh.nx << " x " << mesh.nz << " cells) written to "
             << name << '\n';
}

int run_held(const quelby::Io& io, const quelby::InvertArguments& arguments,
             quelby::InversionRun& description, const quelby::TimelapseControl& timelapse,
             const quelby::DoiControl& doi, const quelby::OutputFolder& held, std::ofstream& log,
             const std::string& log_name);

// The command as typed, each argument quoted for a POSIX shell where it needs it.
std::string command_text(int argc, const char* const* argv) {
  std::string text = "quelby-invert";
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    const bool plain =
        !argument.empty() && argument.find_first_not_of(
                                 "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "0123456789-_./=:,+%@") == std::string_view::npos;
    text += ' ';
    if (plain) {
      text += argument;
      continue;
    }
    text += '\'';
    for (char c : argument) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += '\'';
  }
  return text + '\n';
}

// The folder keeps the command as it was given, its control file and copies of the control file's
// other inputs with the control file that names them (rerun.inv), so that it can be run again.
void keep_command(const quelby::Io& io, const quelby::InvertArguments& arguments,
                  const std::string& folder, const std::string& command,
                  const std::vector<quelby::ControlInputName>& inputs) {
  const std::string name = (std::filesystem::path(folder) / "command.txt").string();
  std::ofstream file(name, std::ios::out | std::ios::trunc);
  file << command;
  file.flush();
  if (!file) quelby::write_failed(io, "command file", name, errno);
  if (arguments.control) {
    quelby::keep_file_copy(io, *arguments.control, folder, quelby::kept_control_name);
    quelby::keep_control_inputs(io, *arguments.control, inputs, folder);
  }
}

// The report page of the run folder, also after a run that stopped: a report that cannot be made
// says why without hiding the run's own outcome.
void write_report(const quelby::Io& io, std::ofstream& log, const std::string& folder) {
  log.flush();
  try {
    const std::string name = quelby::write_run_report(io, folder);
    io.console << "Report written to " << name << '\n';
  } catch (const quelby::Stop&) {
    io.console << "The report of " << folder << " was not written.\n";
  }
}

int run(const quelby::InvertArguments& arguments, const std::string& command) {
  // The run log's place is known once the control file is read: its lines wait here till then.
  std::ostringstream early_log;
  quelby::TimelapseControl timelapse;
  quelby::DoiControl doi;
  std::vector<quelby::ControlInputName> inputs;
  quelby::InversionRun description =
      describe_run({std::cout, std::cerr, early_log}, arguments, timelapse, doi, inputs);

  // The folder is held before its run log is replaced: a run never writes into another's folder.
  const quelby::OutputFolder held =
      quelby::hold_output_folder({std::cout, std::cerr, early_log}, description.output_folder);
  const std::filesystem::path folder(description.output_folder);
  const std::string log_name = (folder / quelby::run_log_name).string();
  std::ofstream log(log_name, std::ios::out | std::ios::trunc);
  if (!log) {
    std::cerr << "Error: cannot create the run log " << log_name << ": " << std::strerror(errno)
              << '\n';
    return quelby::exit_failure;
  }
  log << early_log.str();
  const quelby::Io io{std::cout, std::cerr, log};
  keep_command(io, arguments, description.output_folder, command, inputs);
  try {
    const int status = run_held(io, arguments, description, timelapse, doi, held, log, log_name);
    if (description.report) write_report(io, log, description.output_folder);
    return status;
  } catch (const quelby::Stop&) {
    if (description.report) write_report(io, log, description.output_folder);
    throw;
  }
}

int run_held(const quelby::Io& io, const quelby::InvertArguments& arguments,
             quelby::InversionRun& description, const quelby::TimelapseControl& timelapse,
             const quelby::DoiControl& doi, const quelby::OutputFolder& held, std::ofstream& log,
             const std::string& log_name) {
  const std::filesystem::path folder(description.output_folder);
  // 3-D survey files take the 3-D inversion, which makes its own mesh.
  const bool three_dimensional =
      (!description.data_file.empty() && quelby::is_survey3d_file(description.data_file)) ||
      (description.data_file.empty() && !description.ip_data_file.empty() &&
       quelby::is_survey3d_file(description.ip_data_file));
  if (three_dimensional) {
    try {
      if (doi.on || !timelapse.step_files.empty() || description.use_z ||
          !description.parameter_file.empty()) {
        quelby::stop_with(io, quelby::Order::console_then_log,
                          "\nError: a 3-D survey is inverted without --doi, --z, --parameters "
                          "and time-lapse steps (run its steps with quelby.invert_many).\n");
      }
      quelby::InversionRun3D run3d = quelby::run3d_of(description);
      if (!arguments.mesh) run3d.mesh_file.clear();
      quelby::run_inversion3d(io, run3d, &held);
    } catch (const std::bad_alloc&) {
      quelby::out_of_memory_stop(io);
    }
    log.flush();
    return log ? quelby::exit_success : quelby::exit_failure;
  }
  if (!arguments.control && !arguments.mesh) {
    description.mesh_file = (folder / "mesh.msh").string();
    make_survey_mesh(io, description, description.mesh_file);
  }
  bool steps_failed = false;
  try {
    if (doi.on && !timelapse.step_files.empty()) {
      quelby::stop_with(io, quelby::Order::console_then_log,
                        "\nError: the depth of investigation (--doi, doi) is not made for a "
                        "time-lapse inversion: invert the baseline alone with it.\n");
    }
    if (timelapse.step_files.empty()) {
      if (doi.on) quelby::check_depth_of_investigation(io, description, doi.factor);
      const quelby::InversionOutcome outcome = quelby::run_inversion(io, description, held);
      if (doi.on) quelby::depth_of_investigation(io, description, outcome, doi.factor);
    } else {
      // The campaign holds the folder it was given; it keeps only the summary of every step.
      const quelby::TimelapseOutcome outcome = quelby::run_timelapse(
          io,
          {description, timelapse.step_files, {}, timelapse.method, timelapse.homogeneous, false},
          held);
      steps_failed = outcome.failed_steps > 0;
    }
  } catch (const std::bad_alloc&) {
    // The run log keeps the message too.
    quelby::out_of_memory_stop(io);
  }
  log.flush();
  if (!log) {
    std::cerr << "Error: cannot write the run log " << log_name << '\n';
    return quelby::exit_failure;
  }
  // A campaign with failed steps has said how many.
  return steps_failed ? quelby::exit_failure : quelby::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  // A stop is followed by its detail line: this command has no older form to keep.
  const bool print_details = true;
  return quelby::exit_status_of(
      [&] {
        std::ostream no_log(nullptr);
        return run(quelby::parse_invert_command_line({std::cout, std::cerr, no_log}, argc, argv),
                   command_text(argc, argv));
      },
      print_details);
}
