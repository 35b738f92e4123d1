// quelby [options] mesh inmodel outmodel cycles: smooths a model in the logarithm domain with the
// area-weighted mean of each cell's 3 by 3 neighbourhood, once per cycle, and writes the result as
// a model file. Options (--topography, --active) fix the cells that are no parameters of the
// ground; without an option the command is the four-argument command it always was.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "app/command_exit.hpp"
#include "app/command_line.hpp"
#include "app/command_phases.hpp"
#include "app/run_log.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/phase_timer.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/smoothing/fixed_cells.hpp"
#include "quelby/smoothing/floating_point.hpp"
#include "quelby/smoothing/smooth.hpp"

namespace {

// Whether a stop's detail line goes to standard error: only when asked for by an option, so that
// the four-argument command writes exactly what it always wrote.
bool print_details = false;

// ---------------------------------------------------------------------------------------------
// The fixed cells: exactly the cells that are no parameters of the map the library builds from
// the topography and the active-cell file (each optional).

quelby::FixedCells read_fixed_cells(const quelby::Io& io, const quelby::Mesh& mesh,
                                    const quelby::CommandOptions& options) {
  quelby::Topography topography;
  quelby::read_topography(io, options.topography.has_value(), options.topography.value_or(""),
                          mesh.x_nodes, mesh.z_nodes, topography);
  quelby::ActiveCells cells;
  quelby::read_active_cells(io, mesh, topography, options.active.value_or(""), cells);
  return quelby::FixedCells(mesh.nx, mesh.nz, quelby::fixed_cell_flags(mesh, nullptr, &cells));
}

// ln, `cycles` passes of the kernel and exp, leaving the result in `working`; with fixed cells the
// masked forms of all three.
void smooth_model(const quelby::Mesh& mesh, const quelby::FixedCells* fixed, std::int32_t cycles,
                  quelby::Model& working, quelby::Model& smoothed) {
  quelby::phase_mark(quelby::command_phase::ln);
  if (fixed != nullptr) {
    quelby::log_in_place(working.values(), *fixed);
  } else {
    quelby::log_in_place(working.values());
  }
  quelby::phase_mark(quelby::command_phase::passes);
  if (fixed != nullptr) {
    quelby::smooth_cycles(mesh, *fixed, working, smoothed, cycles);
  } else {
    quelby::smooth_cycles(mesh, working, smoothed, cycles);
  }
  quelby::phase_mark(quelby::command_phase::exp);
  if (fixed != nullptr) {
    quelby::exp_in_place(working.values(), *fixed);
  } else {
    quelby::exp_in_place(working.values());
  }
}

int run(const quelby::CommandArguments& arguments) {
  const quelby::CommandOptions& options = arguments.options;
  quelby::TemporaryRunLog log;
  if (!log.is_open()) {
    std::cerr << "Error: cannot create the run log: " << std::strerror(errno) << '\n';
    return quelby::exit_failure;
  }
  const quelby::Io io{std::cout, std::cerr, log.stream()};

  quelby::Mesh mesh;
  quelby::phase_mark(quelby::command_phase::mesh);
  quelby::load_mesh(io, arguments.mesh_name, mesh);
  const bool masked = options.fixes_cells();
  const quelby::FixedCells fixed =
      masked ? read_fixed_cells(io, mesh, options) : quelby::FixedCells{};
  quelby::phase_mark(quelby::command_phase::allocate);

  const std::size_t cells = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  if (!quelby::fits_in_memory(2 * cells * sizeof(double))) quelby::out_of_memory_stop(io);
  quelby::Model working;
  quelby::Model smoothed;
  try {
    working = quelby::Model(mesh.nx, mesh.nz);
    smoothed = quelby::Model(mesh.nx, mesh.nz);
  } catch (const std::bad_alloc&) {
    quelby::out_of_memory_stop(io);
  }

  quelby::phase_mark(quelby::command_phase::read);
  quelby::read_model(io, mesh, arguments.input_name, "model", working);
  smooth_model(mesh, masked ? &fixed : nullptr, arguments.cycles, working, smoothed);
  quelby::write_model(io, mesh, arguments.output_name, working);
  quelby::phase_mark(quelby::command_phase::teardown);
  return quelby::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  quelby::start_phase_timer(quelby::command_phase::startup);
  // Threads started later inherit this environment.
  quelby::set_command_floating_point();
  return quelby::exit_status_of(
      [&] {
        // No run log before the arguments are known: the command line's messages go to the
        // console and the error stream alone.
        std::ostream no_log(nullptr);
        const quelby::CommandArguments arguments =
            quelby::parse_command_line({std::cout, std::cerr, no_log}, argc, argv);
        print_details = arguments.options.details;
        if (arguments.options.phases) {
          quelby::report_phases_to(*arguments.options.phases, quelby::command_phase::report_order);
        }
        return run(arguments);
      },
      print_details);
}
