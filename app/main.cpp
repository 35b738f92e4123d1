// quelby [options] mesh inmodel outmodel cycles: smooths a model in the logarithm domain with the
// area-weighted mean of each cell's 3 by 3 neighbourhood, once per cycle, and writes the result as
// a model file. Options (--topography, --active) fix the cells that are no parameters of the
// ground; without an option the command is the four-argument command it always was.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "app/fixed_cells.hpp"
#include "app/floating_point.hpp"
#include "app/smooth.hpp"
#include "base/free_format.hpp"
#include "base/io.hpp"
#include "base/stops.hpp"
#include "base/version.hpp"
#include "cells/active_cells.hpp"
#include "mesh/mesh.hpp"
#include "mesh/model.hpp"
#include "mesh/topography.hpp"

namespace {

constexpr std::size_t field_length = 200;

// An argument in its 200-character field: cut to its first 200 characters.
std::string_view field_of(std::string_view text) {
  return text.substr(0, field_length);
}
std::string_view field(const char* argument) {
  return field_of(argument);
}

// The run log: an anonymous temporary file, deleted by the system when the process ends.
class TemporaryFileBuffer : public std::streambuf {
 public:
  explicit TemporaryFileBuffer(std::FILE* file) : file_(file) {}

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    return static_cast<std::streamsize>(
        std::fwrite(data, 1, static_cast<std::size_t>(count), file_));
  }
  int sync() override { return std::fflush(file_) == 0 ? 0 : -1; }

 private:
  std::FILE* file_;
};

// ---------------------------------------------------------------------------------------------
// The command line: options first, each beginning with "--", then the four positional arguments.

constexpr std::string_view usage_text = "\nUsage: quelby  mesh inmodel outmodel cycles\n";

constexpr std::string_view help_text =
    "Usage: quelby [--topography FILE] [--active FILE] [--details] mesh inmodel outmodel cycles\n"
    "       quelby --help | --version\n"
    "\n"
    "Smooths a 2-D model on a tensor mesh: takes the natural logarithm of every value, replaces\n"
    "every cell, once per cycle, by the area-weighted mean of its 3 by 3 neighbourhood, takes the\n"
    "exponential and writes the result to outmodel (replaced if it exists).\n"
    "\n"
    "Options:\n"
    "  --topography FILE  fix the cells above the ground surface of this topography file\n"
    "  --active FILE      fix the cells that this active-cell file makes no parameters\n"
    "                     (inactive, influence, and with --topography also air cells)\n"
    "  --details          after an error message, say on standard error where the input is wrong\n"
    "                     (implied by --topography and --active)\n"
    "  --help             print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "A fixed cell keeps its value and takes no part in any neighbourhood.\n"
    "Exit status: 0 written, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby\n";

struct Options {
  std::optional<std::string> topography;  // --topography FILE
  std::optional<std::string> active;      // --active FILE
  bool details = false;                   // print a stop's detail line on standard error
  bool fixes_cells() const { return topography.has_value() || active.has_value(); }
};

struct CommandLine {
  enum class Action { run, help, version, usage_error };
  Action action = Action::run;
  Options options;
  std::vector<const char*> positional;
  std::string error;  // for usage_error: the line naming the bad option, or empty
};

// A file name given to an option: a 200-character field like the positional names.
std::string option_value(std::string_view value) {
  return std::string(quelby::trim_trailing_blanks(field_of(value)));
}

CommandLine parse_command_line(int argc, char** argv) {
  CommandLine line;
  int index = 1;
  for (; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (!argument.starts_with("--")) break;
    if (argument == "--") {
      ++index;
      break;
    }
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (name == "--help" || name == "--version" || name == "--details") {
      if (equals != std::string_view::npos) {
        line.action = CommandLine::Action::usage_error;
        line.error = "quelby: option '" + std::string(name) + "' takes no value";
        return line;
      }
      if (name == "--help") line.action = CommandLine::Action::help;
      if (name == "--version") line.action = CommandLine::Action::version;
      if (name == "--help" || name == "--version") return line;
      line.options.details = true;
      continue;
    }
    if (name == "--topography" || name == "--active") {
      std::string_view value;
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (index + 1 < argc) {
        value = argv[++index];
      } else {
        line.action = CommandLine::Action::usage_error;
        line.error = "quelby: option '" + std::string(name) + "' needs a file name";
        return line;
      }
      (name == "--topography" ? line.options.topography : line.options.active) =
          option_value(value);
      line.options.details = true;
      continue;
    }
    line.action = CommandLine::Action::usage_error;
    line.error = "quelby: unknown option '" + std::string(argument) + "'";
    return line;
  }
  for (; index < argc; ++index) line.positional.push_back(argv[index]);
  if (line.positional.size() != 4) line.action = CommandLine::Action::usage_error;
  return line;
}

// Whether a stop's detail line goes to standard error: only when asked for by an option, so that
// the four-argument command writes exactly what it always wrote.
bool print_details = false;

void print_detail(const quelby::Stop& stop) {
  if (print_details && !stop.detail().empty()) std::cerr << stop.detail() << '\n' << std::flush;
}

// ---------------------------------------------------------------------------------------------
// The fixed cells: exactly the cells that are no parameters of the map the library builds from
// the topography and the active-cell file (each optional).

quelby::FixedCells read_fixed_cells(const quelby::Io& io, const quelby::Mesh& mesh,
                                    const Options& options) {
  quelby::Topography topography;
  quelby::read_topography(io, options.topography.has_value(), options.topography.value_or(""),
                          mesh.x_nodes, mesh.z_nodes, topography);
  quelby::ActiveCells cells;
  quelby::read_active_cells(io, mesh, topography, options.active.value_or(""), cells);
  return quelby::FixedCells(mesh.nx, mesh.nz, quelby::fixed_cell_flags(mesh, nullptr, &cells));
}

int run(const Options& options, const std::vector<const char*>& arguments) {
  const std::string_view mesh_name = quelby::trim_trailing_blanks(field(arguments[0]));
  const std::string_view input_name = quelby::trim_trailing_blanks(field(arguments[1]));
  const std::string_view output_name = quelby::trim_trailing_blanks(field(arguments[2]));
  // The cycles field is padded with blanks to its full length, which a free-format read ignores.
  const std::string_view cycles_field = field(arguments[3]);

  // A field that yields no value (a lone comma or slash) leaves the count at 0.
  std::int32_t cycles = 0;
  const quelby::ReadStatus status = quelby::read_text(cycles_field, {cycles});
  if (!status.ok()) {
    std::cerr << "Error: cannot read the number of cycles (" << status.condition()
              << "): " << quelby::trim_trailing_blanks(cycles_field) << '\n';
    return quelby::exit_failure;
  }
  if (cycles < 1) {
    std::cout << "\nError: number of cycles should be positive.\n" << std::flush;
    return quelby::exit_failure;
  }

  std::FILE* const log_file = std::tmpfile();
  if (log_file == nullptr) {
    std::cerr << "Error: cannot create the run log: " << std::strerror(errno) << '\n';
    return quelby::exit_failure;
  }
  TemporaryFileBuffer log_buffer(log_file);
  std::ostream log(&log_buffer);
  const quelby::Io io{std::cout, std::cerr, log};

  quelby::Mesh mesh;
  quelby::load_mesh(io, mesh_name, mesh);
  const bool masked = options.fixes_cells();
  const quelby::FixedCells fixed =
      masked ? read_fixed_cells(io, mesh, options) : quelby::FixedCells{};

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

  quelby::read_model(io, mesh, input_name, "model", working);
  if (masked) {
    quelby::log_in_place(working.values(), fixed);
  } else {
    quelby::log_in_place(working.values());
  }
  for (std::int32_t cycle = 0; cycle < cycles; ++cycle) {
    if (masked) {
      quelby::smooth_once(mesh, fixed, working, smoothed);
    } else {
      quelby::smooth_once(mesh, working, smoothed);
    }
    // The newest pass becomes the next pass's input: the same values as copying it back.
    working.swap(smoothed);
  }
  if (masked) {
    quelby::exp_in_place(working.values(), fixed);
  } else {
    quelby::exp_in_place(working.values());
  }
  quelby::write_model(io, mesh, output_name, working);
  return quelby::exit_success;
}

}  // namespace

// Help, version and usage errors; nullopt when the command is to run.
std::optional<int> answer_without_running(const CommandLine& line) {
  switch (line.action) {
    case CommandLine::Action::help:
      std::cout << help_text << std::flush;
      return quelby::exit_success;
    case CommandLine::Action::version:
      std::cout << "quelby " << quelby::version << '\n' << std::flush;
      return quelby::exit_success;
    case CommandLine::Action::usage_error:
      if (!line.error.empty()) std::cerr << line.error << '\n' << std::flush;
      std::cout << usage_text << std::flush;
      return quelby::exit_usage;
    case CommandLine::Action::run:
      break;
  }
  return std::nullopt;
}

int main(int argc, char** argv) {
  // Threads started later inherit this environment.
  quelby::set_command_floating_point();
  try {
    const CommandLine line = parse_command_line(argc, argv);
    if (const std::optional<int> status = answer_without_running(line)) return *status;
    print_details = line.options.details;
    return run(line.options, line.positional);
  } catch (const quelby::Stop& stop) {
    std::cout << std::flush;
    print_detail(stop);
    return stop.status();
  } catch (const std::bad_alloc&) {
    std::cerr << "Error: not enough memory, program terminated\n";
    return quelby::exit_failure;
  } catch (const std::exception& error) {
    std::cerr << "Error: " << error.what() << '\n';
    return quelby::exit_failure;
  }
}
