// quelby-import [options] INPUT... OUTDIR: reads a field data file of any of the import formats and
// writes the survey files quelby reads (data.dat, ip.dat, topography.topo) with the import log
// (import_field_data, write_import); electrodes spread across the ground, several inputs or --3d
// make a 3-D survey file instead (import_field_data3d, write_import3d).
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_exit.hpp"
#include "app/import_command_line.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/electrode_table.hpp"
#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "quelby/fielddata/field_import3d.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace {

// A reader's stop is followed by its detail line: this command has no older form to keep.
const bool print_details = true;

// Whether the electrodes of INPUT spread across the ground (a 3-D survey): read without a word,
// since a file that cannot be read is reported by the import that follows.
bool spreads_in_plane(const quelby::ImportArguments& arguments) {
  std::ostringstream quiet;
  const quelby::Io silent{quiet, quiet, quiet};
  try {
    const quelby::FieldSource source = quelby::read_field_source(silent, arguments.input);
    quelby::FieldSurvey survey =
        quelby::read_field_file(silent, source, arguments.options.format, arguments.options.spacing,
                                arguments.options.columns);
    if (!arguments.options.electrodes.empty()) {
      const quelby::ElectrodeTable table =
          quelby::read_electrode_table(silent, arguments.options.electrodes);
      quelby::place_from_table(silent, table, survey);
    }
    return quelby::electrodes_spread_in_plane(survey);
  } catch (const quelby::Stop&) {
    return false;
  }
}

int run_3d(const quelby::ImportArguments& arguments, const quelby::Io& io) {
  std::vector<std::string> inputs{arguments.input};
  inputs.insert(inputs.end(), arguments.more_inputs.begin(), arguments.more_inputs.end());
  const quelby::Import3DResult result =
      quelby::import_field_data3d(io, inputs, arguments.options, arguments.line_offset);
  quelby::write_import3d(io, arguments.folder, arguments.survey_name, result);
  std::cout << "Imported " << result.data.ndat << (result.data.ndat == 1 ? " datum" : " data")
            << (result.ip ? " with IP" : "") << " as a 3-D survey into " << arguments.folder << "/"
            << arguments.survey_name << " (see import.log)\n";
  return quelby::exit_success;
}

int run(const quelby::ImportArguments& arguments) {
  // The import log is written into the output folder: the library's log lines gather here.
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  using Dimension = quelby::ImportArguments::Dimension;
  if (arguments.dimension == Dimension::three || !arguments.more_inputs.empty() ||
      (arguments.dimension == Dimension::automatic && spreads_in_plane(arguments))) {
    return run_3d(arguments, io);
  }
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
