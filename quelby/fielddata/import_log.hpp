// The import log: what an import read, made, dropped and fitted, gathered step by step in an
// ImportSummary and written as the text of import.log, with the number formats it uses.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/fielddata/field_import.hpp"

namespace quelby {

struct ImportSummary {
  std::string input;                                        // the file's name
  std::vector<std::string> reader_notes;                    // the reader's lines, the format first
  std::size_t readings = 0, first_line = 0, last_line = 0;  // lines 1-based
  std::vector<double> remote;                               // x of the remote electrodes
  std::vector<std::string> notes;  // the import's own lines (flat ground, ...)
  // Where the resistances came from.
  std::size_t from_resistance = 0, from_voltage = 0, from_file_factor = 0, from_ground_factor = 0;
  std::string ground_factors;                     // which geometric factors of the ground
  std::string chargeability;                      // how the IP values were read
  std::map<double, std::size_t> electrode_drops;  // x -> data the filters dropped that use it
  std::size_t duplicates_removed = 0, duplicate_groups = 0;
  bool paired = false;
  std::size_t unpaired = 0;
  bool unpaired_dropped = false;
  std::string deviations, ip_deviations;   // where the standard deviations came from
  std::size_t data = 0;                    // data written
  std::vector<std::string> dropped_lines;  // one line per reading dropped
  std::string checks;                      // the checks section (field_checks.hpp)
};

// The text of import.log: the summary with the result's counts, pairs, fits and files.
std::string import_log_text(const ImportSummary& summary, const ImportResult& result);

// A number as the log writes it: 6 significant digits, no trailing zeros.
std::string log_number(double value);
// "3 readings", "1 datum", "2 data".
std::string count_text(std::size_t count, std::string_view what);

}  // namespace quelby
