// quelby-forward [options] MESH MODEL SURVEY OUT: the data of a resistivity model for the
// electrodes of a survey (ohms for a unit current), or with --ip the linearised IP response of a
// chargeability model, written as a general-layout data file in the survey file's order (with --z
// in the common-current layout with z, which holds the positions); with --sensitivity also the
// sensitivities of the DC data to the logarithms of the parameters. A 3-D survey file is modelled
// in 3-D (ForwardModel3D) on a 3-D mesh and model, and its data written as a 3-D survey file.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_exit.hpp"
#include "app/forward_command_line.hpp"
#include "app/forward_survey3d.hpp"
#include "app/run_log.hpp"
#include "app/sensitivity_file.hpp"
#include "app/survey_positions.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/active_cells3d.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/forward3d.hpp"
#include "quelby/forward/model_checks.hpp"
#include "quelby/inversion/inversion_run3d.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/model3d.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/survey/data_writer.hpp"
#include "quelby/survey/survey3d_writer.hpp"
#include "quelby/survey/survey_data.hpp"

namespace {

// A reader's stop is followed by its detail line: these commands have no older form to keep.
const bool print_details = true;

// The grouped position of every line of the survey file, in file order.
std::vector<std::size_t> grouped_rows(const quelby::SurveyData& survey) {
  std::vector<std::size_t> rows(static_cast<std::size_t>(survey.ndat));
  for (std::size_t line = 0; line < rows.size(); ++line)
    rows[line] = survey.has_file_order ? survey.grouped_position(line) : line;
  return rows;
}

// The model file `name` for the mesh, with `label` in its messages.
quelby::Model read_cells(const quelby::Io& io, const quelby::Mesh& mesh, const std::string& name,
                         const char* label) {
  quelby::Model model(mesh.nx, mesh.nz);
  quelby::read_model(io, mesh, name, label, model);
  return model;
}

// `seconds` with two decimals.
std::string seconds_text(double seconds) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 2);
  return std::string(text, result.ptr) + " s";
}

// Cell (i, j, k) of a 3-D mesh, 1-based as messages show it, from its 0-based number.
std::string cell_text3d(const quelby::Mesh3D& mesh, std::size_t cell) {
  const auto nx = static_cast<std::size_t>(mesh.nx);
  const auto ny = static_cast<std::size_t>(mesh.ny);
  return "(" + std::to_string(cell % nx + 1) + ", " + std::to_string(cell / nx % ny + 1) + ", " +
         std::to_string(cell / (nx * ny) + 1) + ")";
}

// Every value (`columns` per datum, file order) must be finite; the first that is not names its
// datum (1-based).
void check_finite_values3d(const quelby::Io& io, std::span<const double> values,
                           std::size_t columns, const std::string& survey_name, const char* what) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isfinite(values[i])) continue;
    quelby::stop_with(io, quelby::Order::console_then_log,
                      "\nError: datum " + std::to_string(i / columns + 1) + " of " + survey_name +
                          ": the " + what +
                          " is not a finite number: " + quelby::shortest(values[i]) + "\n");
  }
}

// Reads the 3-D mesh file `name`; a file that is not one but reads as a 2-D mesh file is refused
// as such, since the 3-D reader's own message (a missing block) would not say why.
void load_mesh3d_named(const quelby::Io& io, const std::string& name, quelby::Mesh3D& mesh) {
  std::ostream nowhere(nullptr);
  std::ostringstream held_log;
  const quelby::Io quiet{nowhere, nowhere, held_log};
  try {
    quelby::load_mesh3d(quiet, name, mesh);
    io.log << held_log.str();
    return;
  } catch (const quelby::Stop&) {
  }
  bool two_dimensional = false;
  try {
    quelby::Mesh section;
    quelby::load_mesh(quiet, name, section);
    two_dimensional = true;
  } catch (const quelby::Stop&) {
  }
  if (two_dimensional) {
    quelby::stop_with(io, quelby::Order::console_then_log,
                      "\nError: " + name +
                          " is a 2-D mesh file; a 3-D survey file is modelled on a 3-D mesh file "
                          "(x, y and z segments).\n");
  }
  quelby::load_mesh3d(io, name, mesh);
}

// The 3-D run: a 3-D mesh file, 3-D model files, a 3-D topography file and active-cell file.
int run3d(const quelby::Io& io, const quelby::ForwardArguments& arguments) {
  using quelby::Order;
  if (arguments.use_z) {
    quelby::stop_with(io, Order::console_then_log,
                      "\nError: --z applies to 2-D survey files; " + arguments.survey_name +
                          " is a 3-D survey file, which gives every electrode its z.\n");
  }
  quelby::Mesh3D mesh;
  load_mesh3d_named(io, arguments.mesh_name, mesh);
  const auto columns = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.ny);
  std::vector<std::int32_t> air(columns, 0);
  if (arguments.topography) {
    quelby::Topography3D topography;
    quelby::read_topography3d(io, true, *arguments.topography, topography);
    topography.flat_z = mesh.z_nodes[0];
    air = quelby::air_cells_3d(io, mesh, topography);
  }
  quelby::ActiveCells3D cells;
  if (arguments.active || arguments.sensitivity) {
    quelby::read_active_cells3d(io, mesh, air, arguments.active.value_or(""), cells);
  }
  std::vector<double> resistivity;
  quelby::read_model3d(io, mesh, arguments.model_name, "model", resistivity);
  const bool ip = arguments.chargeability.has_value();
  std::vector<double> chargeability;
  if (ip) quelby::read_model3d(io, mesh, *arguments.chargeability, "chargeability", chargeability);
  quelby::Survey3D survey;
  quelby::read_survey3d_positions(io, arguments.survey_name, survey);

  quelby::ForwardModel3D forward(io, mesh, air, survey);
  const std::vector<std::int32_t> ground = forward.ground_cells();
  if (ip) {
    // Air cells are never read, so whatever they hold is let be.
    for (const std::int32_t cell : ground) {
      const double value = chargeability[static_cast<std::size_t>(cell)];
      if (std::isfinite(value)) continue;
      quelby::stop_with(io, Order::console_then_log,
                        "\nError: the chargeability of cell " +
                            cell_text3d(mesh, static_cast<std::size_t>(cell)) +
                            " is not a finite number: " + quelby::shortest(value) + "\n" +
                            *arguments.chargeability + "\n");
    }
  }
  const auto ndat = static_cast<std::size_t>(survey.ndat);
  std::vector<double> data(ndat);
  std::vector<double> jacobian;
  std::vector<std::int32_t> parameters;
  if (arguments.sensitivity) {
    // The active cells below the ground, in cell order, one column each.
    for (const std::int32_t cell : ground) {
      if (cells.cell_idx[static_cast<std::size_t>(cell)] > 0) parameters.push_back(cell);
    }
    std::vector<std::int32_t> starts(parameters.size() + 1);
    for (std::size_t c = 0; c < starts.size(); ++c) starts[c] = static_cast<std::int32_t>(c);
    if (!parameters.empty() && ndat > SIZE_MAX / sizeof(double) / parameters.size())
      quelby::out_of_memory_stop(io);
    if (!quelby::fits_in_memory(ndat * parameters.size() * sizeof(double)))
      quelby::out_of_memory_stop(io);
    jacobian.resize(ndat * parameters.size());
    forward.sensitivity(io, resistivity, parameters, starts, jacobian, data);
    check_finite_values3d(io, jacobian, parameters.size(), arguments.survey_name, "sensitivity");
  }
  std::vector<double> values;
  std::string comment;
  if (ip) {
    values = forward.apparent_chargeability(io, resistivity, chargeability, data);
    // As in 2-D: a secondary potential is the apparent chargeability times the datum.
    for (std::size_t i = 0; i < ndat; ++i) {
      if (survey.iptype[i] == 2) {
        values[i] *= data[i];
      } else {
        survey.iptype[i] = 1;
      }
    }
    check_finite_values3d(io, values, 1, arguments.survey_name, "IP response");
    comment =
        "quelby-forward: IP data (IPTYPE 1 apparent chargeability, 2 secondary potential) of "
        "model " +
        arguments.model_name + ", chargeabilities " + *arguments.chargeability;
  } else {
    values = arguments.sensitivity ? data : forward.data(io, resistivity);
    check_finite_values3d(io, values, 1, arguments.survey_name, "DC value");
    survey.iptype.assign(ndat, 0);
    comment =
        "quelby-forward: DC data in ohms (V/A for a unit current) of model " + arguments.model_name;
  }
  quelby::write_survey3d(io, arguments.output_name, survey, values, {}, comment);
  if (arguments.sensitivity) {
    // A 3-D survey keeps its file order: row r of the file is datum r.
    std::vector<std::size_t> rows(ndat);
    for (std::size_t i = 0; i < ndat; ++i) rows[i] = i;
    quelby::write_sensitivity_file(io, *arguments.sensitivity, static_cast<std::uint32_t>(ndat),
                                   static_cast<std::uint32_t>(parameters.size()), jacobian, rows);
  }
  const quelby::Forward3DStatistics& statistics = forward.statistics();
  char entries[32];
  const auto written = std::to_chars(entries, entries + sizeof entries, statistics.factor_entries);
  quelby::write_message(io, Order::console_then_log,
                        "3-D forward: " + std::to_string(mesh.nx) + " x " +
                            std::to_string(mesh.ny) + " x " + std::to_string(mesh.nz) + " cells, " +
                            std::to_string(statistics.ground_cells) + " in the ground, " +
                            std::to_string(statistics.nodes) + " nodes, " +
                            std::string(entries, written.ptr) + " factor entries; factorisation " +
                            seconds_text(statistics.factor_seconds) + ", solves " +
                            seconds_text(statistics.solve_seconds) + ", right-hand sides " +
                            seconds_text(statistics.assembly_seconds) +
                            (arguments.sensitivity || ip
                                 ? ", sensitivities " + seconds_text(statistics.sensitivity_seconds)
                                 : std::string()) +
                            "\n");
  return quelby::exit_success;
}

int run(const quelby::ForwardArguments& arguments) {
  quelby::TemporaryRunLog log;
  if (!log.is_open()) {
    std::cerr << "Error: cannot create the run log: " << std::strerror(errno) << '\n';
    return quelby::exit_failure;
  }
  const quelby::Io io{std::cout, std::cerr, log.stream()};
  if (quelby::is_survey3d_file(arguments.survey_name)) return run3d(io, arguments);

  quelby::Mesh mesh;
  quelby::Topography topography;
  quelby::load_mesh_and_topography(io, arguments.mesh_name, arguments.topography.value_or(""),
                                   arguments.topography.has_value(), mesh, topography);
  quelby::ActiveCells cells;
  const bool needs_cells = arguments.active.has_value() || arguments.sensitivity.has_value();
  if (needs_cells) {
    quelby::read_active_cells(io, mesh, topography, arguments.active.value_or(""), cells);
  }
  const quelby::Model resistivity = read_cells(io, mesh, arguments.model_name, "model");
  const bool ip = arguments.chargeability.has_value();
  const quelby::Model chargeability =
      ip ? read_cells(io, mesh, *arguments.chargeability, "chargeability") : quelby::Model{};
  quelby::SurveyData survey;
  quelby::read_survey_positions(io, arguments.survey_name, arguments.use_z, survey);

  quelby::ForwardModel forward(io, mesh, topography.air_cells, survey);
  if (ip) {
    quelby::check_chargeabilities(io, mesh, forward.ground_cells(), chargeability.values(),
                                  *arguments.chargeability);
  }
  const auto ndat = static_cast<std::size_t>(survey.ndat);
  std::vector<double> data(ndat);
  std::vector<double> jacobian;
  std::vector<std::int32_t> parameters;
  if (arguments.sensitivity) {
    parameters = quelby::parameter_cells(cells);
    // Compared with the memory available now, and without overflowing the product.
    if (!parameters.empty() && ndat > SIZE_MAX / sizeof(double) / parameters.size())
      quelby::out_of_memory_stop(io);
    if (!quelby::fits_in_memory(ndat * parameters.size() * sizeof(double)))
      quelby::out_of_memory_stop(io);
    jacobian.resize(ndat * parameters.size());
    forward.sensitivity(io, resistivity.values(), parameters, jacobian, data);
    quelby::check_finite_sensitivities(io, survey, arguments.survey_name, jacobian,
                                       parameters.size());
  }
  std::vector<double> values;
  std::string header;
  if (ip) {
    values = forward.apparent_chargeability(io, resistivity.values(), chargeability.values(), data);
    // Data read as DC data ask for apparent chargeabilities; a secondary potential is the
    // apparent chargeability times the datum.
    for (std::size_t i = 0; i < ndat; ++i) {
      if (survey.iptype[i] == 2) {
        values[i] *= data[i];
      } else {
        survey.iptype[i] = 1;
      }
    }
    quelby::check_finite_data(io, survey, arguments.survey_name, values, "IP response");
    header =
        "quelby-forward: IP data (IPTYPE 1 apparent chargeability, 2 secondary potential) of "
        "model " +
        arguments.model_name + ", chargeabilities " + *arguments.chargeability;
  } else {
    values = arguments.sensitivity ? data : forward.data(io, resistivity.values());
    quelby::check_finite_data(io, survey, arguments.survey_name, values, "DC value");
    survey.iptype.assign(ndat, 0);
    header =
        "quelby-forward: DC data in ohms (V/A for a unit current) of model " + arguments.model_name;
  }
  // The general layout holds no z: a survey of buried electrodes is written in its own layout.
  quelby::write_data_file(io, arguments.output_name, header, survey, values);
  if (arguments.sensitivity) {
    quelby::write_sensitivity_file(io, *arguments.sensitivity, static_cast<std::uint32_t>(ndat),
                                   static_cast<std::uint32_t>(parameters.size()), jacobian,
                                   grouped_rows(survey));
  }
  return quelby::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  return quelby::exit_status_of(
      [&] {
        // No run log before the arguments are known.
        std::ostream no_log(nullptr);
        return run(quelby::parse_forward_command_line({std::cout, std::cerr, no_log}, argc, argv));
      },
      print_details);
}
