// A table of electrodes kept beside a data file (total-station exports, borehole logs, the
// electrode files of protocol surveys): per electrode its label or number, x, optionally y, its
// elevation z (m, up), a buried flag and a remote flag. Fields are separated by commas,
// semicolons, tabs or blanks; a header line of names (label, x, y, z, buried, remote and their
// common spellings) is optional; a header without a column of labels numbers the electrodes by
// their rows (1, 2, ...). Without a header the columns follow from their count: label x; label x
// z; label x y z; label x y z buried; label x y z buried remote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"

namespace quelby {

struct TableElectrode {
  std::string label;                   // as the table writes it
  std::optional<std::int32_t> number;  // the label as a whole number, where it is one
  double x = 0, y = 0;
  double elevation = not_given;  // m, up; not_given where the table has no z
  bool buried = false, remote = false;
  std::size_t line = 0;  // 1-based line of the table
};

struct ElectrodeTable {
  std::string name;  // the file's name
  std::vector<TableElectrode> electrodes;
  bool has_elevation = false;
  // The electrode of label `label`, or of the number `number`, or at x (within 1e-6 m): the
  // first match; nullptr when the table has none. O(electrodes).
  const TableElectrode* find_number(std::int32_t number) const;
  const TableElectrode* find_x(double x) const;
};

// Reads the table `name`. A line that cannot be read, a label given twice and a table without
// electrodes stop with "Error reading the electrode table NAME, line N: WHAT". Linear in lines.
ElectrodeTable read_electrode_table(const Io& io, std::string_view name);

// Places the electrodes of `survey` from `table`: an electrode the file numbers (number > 0)
// takes the table's position, elevation and flags of that number; one the file places by x alone
// takes the elevation and flags of the table's electrode at that x (where the table has one). A
// number the table lacks stops naming it and the reading's line. Remote electrodes of the table
// become absent (the datum a pole). The table's electrodes on the ground (not buried, not remote,
// with an elevation) become points of the survey's topography, whether the data use them or not.
// Returns the notes for the import log.
std::vector<std::string> place_from_table(const Io& io, const ElectrodeTable& table,
                                          FieldSurvey& survey);

}  // namespace quelby
