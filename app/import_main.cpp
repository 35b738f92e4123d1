// quelby-import [options] INPUT OUTDIR: reads a field data file of any of the import formats and
// writes the survey files quelby reads (data.dat, ip.dat, topography.topo) with the import log
// (import_field_data, write_import).
#include <iostream>
#include <sstream>
#include <string>

#include "app/command_exit.hpp"
#include "app/import_command_line.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_import.hpp"

namespace {

// A reader's stop is followed by its detail line: this command has no older form to keep.
const bool print_details = true;

int run(const quelby::ImportArguments& arguments) {
  // The import log is written into the output folder: the library's log lines gather here.
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  const quelby::ImportResult result =
      quelby::import_field_data(io, arguments.input, arguments.options);
  quelby::write_import(io, arguments.folder, result);
  if (!arguments.quiet_checks) {
    for (const std::string& warning : result.warnings) std::cout << "Warning: " << warning << "\n";
  }
  std::cout << "Imported " << result.data.ndat << (result.data.ndat == 1 ? " datum" : " data")
            << (result.ip ? " with IP" : "") << " into " << arguments.folder
            << " (see import.log)\n";
  return quelby::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  return quelby::exit_status_of(
      [&] {
        std::ostream no_log(nullptr);
        return run(quelby::parse_import_command_line({std::cout, std::cerr, no_log}, argc, argv));
      },
      print_details);
}
