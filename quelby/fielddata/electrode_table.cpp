#include "quelby/fielddata/electrode_table.hpp"

#include <cmath>
#include <map>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

// The table's x and the data file's x are one electrode within this distance (m).
constexpr double same_x = 1e-3;

enum class Field { label, x, y, z, buried, remote, other };

Field field_of_name(std::string_view name) {
  const std::string key = lower_case(trim_blanks(name));
  if (key == "label" || key == "electrode" || key == "electrodes" || key == "number" ||
      key == "num" || key == "id" || key == "name" || key == "elec" || key == "nr" || key == "no" ||
      key == "#") {
    return Field::label;
  }
  if (key == "x" || key == "x(m)" || key == "x [m]" || key == "easting") return Field::x;
  if (key == "y" || key == "y(m)" || key == "y [m]" || key == "northing") return Field::y;
  if (key == "z" || key == "z(m)" || key == "z [m]" || key == "elevation" || key == "elev" ||
      key == "height" || key == "altitude") {
    return Field::z;
  }
  if (key == "buried" || key == "borehole") return Field::buried;
  if (key == "remote") return Field::remote;
  return Field::other;
}

char delimiter_of(std::string_view line) {
  for (const char c : {'\t', ';', ','}) {
    if (line.find(c) != std::string_view::npos) return c;
  }
  return ' ';
}

bool flag_of(std::string_view text, bool& flag) {
  const std::string key = lower_case(trim_blanks(text));
  if (key == "1" || key == "true" || key == "yes" || key == "y") {
    flag = true;
  } else if (key == "0" || key == "false" || key == "no" || key == "n" || key.empty()) {
    flag = false;
  } else {
    return false;
  }
  return true;
}

}  // namespace

const TableElectrode* ElectrodeTable::find_number(std::int32_t number) const {
  for (const TableElectrode& electrode : electrodes) {
    if (electrode.number && *electrode.number == number) return &electrode;
  }
  return nullptr;
}

const TableElectrode* ElectrodeTable::find_x(double x) const {
  for (const TableElectrode& electrode : electrodes) {
    if (std::abs(electrode.x - x) <= same_x) return &electrode;
  }
  return nullptr;
}

ElectrodeTable read_electrode_table(const Io& io, std::string_view name) {
  const FieldSource source = read_field_source(io, name);
  FieldLines lines(io, source);
  ElectrodeTable table;
  table.name = source.name;
  const auto fail = [&](const std::string& what) {
    const std::string text = "\nError reading the electrode table " + table.name + ", line " +
                             std::to_string(lines.line_number()) + ": " + what + "\n";
    stop_with(io, Order::console_then_log, text, exit_failure,
              line_detail(table.name, lines.line_number(), what));
  };
  std::vector<Field> columns;
  bool numbered_by_row = false;
  std::string_view line;
  std::map<std::string, std::size_t> labels;
  char delimiter = ' ';
  while (lines.next_with_text(line, '#')) {
    if (columns.empty()) {
      delimiter = delimiter_of(line);
      const auto fields = split_fields(trim_blanks(line), delimiter);
      double number = 0;
      if (fields.size() >= 2 && !field_number(fields[1], number)) {
        // A header: the names of the columns.
        for (const std::string_view field : fields) columns.push_back(field_of_name(field));
        const auto has = [&](Field wanted) {
          std::size_t count = 0;
          for (const Field field : columns) count += field == wanted ? 1 : 0;
          return count;
        };
        if (has(Field::label) > 1 || has(Field::x) != 1) {
          fail(
              "the header names no column of x, or a column twice (label, x, y, z, buried, "
              "remote)");
        }
        // Without a column of labels the electrodes are numbered by their rows.
        numbered_by_row = has(Field::label) == 0;
        if (has(Field::y) > 1 || has(Field::z) > 1) fail("the header names y or z twice");
        continue;
      }
      switch (fields.size()) {
        case 2:
          columns = {Field::label, Field::x};
          break;
        case 3:
          columns = {Field::label, Field::x, Field::z};
          break;
        case 4:
          columns = {Field::label, Field::x, Field::y, Field::z};
          break;
        case 5:
          columns = {Field::label, Field::x, Field::y, Field::z, Field::buried};
          break;
        case 6:
          columns = {Field::label, Field::x, Field::y, Field::z, Field::buried, Field::remote};
          break;
        default:
          fail("expected 2 to 6 fields (label x [y] z [buried [remote]]), found " +
               std::to_string(fields.size()));
      }
    }
    const auto fields = split_fields(trim_blanks(line), delimiter);
    if (fields.size() < columns.size()) {
      fail("expected " + std::to_string(columns.size()) + " fields, found " +
           std::to_string(fields.size()));
    }
    TableElectrode electrode;
    electrode.line = lines.line_number();
    if (numbered_by_row) {
      electrode.number = static_cast<std::int32_t>(table.electrodes.size() + 1);
      electrode.label = std::to_string(*electrode.number);
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
      const std::string_view field = fields[k];
      double value = 0;
      const auto number = [&](std::string_view what) {
        if (!field_number(field, value)) {
          fail("the " + std::string(what) + " " + quoted_text(field) + " is not a finite number");
        }
        return value;
      };
      switch (columns[k]) {
        case Field::label: {
          electrode.label = std::string(trim_blanks(field));
          if (electrode.label.empty()) fail("an electrode without a label");
          std::int32_t whole = 0;
          if (field_integer(field, whole)) electrode.number = whole;
          break;
        }
        case Field::x:
          electrode.x = number("x");
          break;
        case Field::y:
          electrode.y = number("y");
          break;
        case Field::z:
          electrode.elevation = number("z");
          table.has_elevation = true;
          break;
        case Field::buried:
          if (!flag_of(field, electrode.buried)) {
            fail("the buried flag " + quoted_text(field) + " is not 0, 1, true or false");
          }
          break;
        case Field::remote:
          if (!flag_of(field, electrode.remote)) {
            fail("the remote flag " + quoted_text(field) + " is not 0, 1, true or false");
          }
          break;
        case Field::other:
          break;
      }
    }
    const std::string key = electrode.number ? std::to_string(*electrode.number) : electrode.label;
    if (const auto [at, inserted] = labels.emplace(key, electrode.line); !inserted) {
      fail("the electrode " + quoted_text(electrode.label) + " is given again (first on line " +
           std::to_string(at->second) + ")");
    }
    table.electrodes.push_back(electrode);
  }
  if (table.electrodes.empty()) fail("the table holds no electrode");
  return table;
}

std::vector<std::string> place_from_table(const Io& io, const ElectrodeTable& table,
                                          FieldSurvey& survey) {
  std::size_t by_number = 0, by_x = 0, remote = 0, buried = 0;
  static constexpr const char* roles = "ABMN";
  for (FieldReading& reading : survey.readings) {
    for (std::size_t role = 0; role < 4; ++role) {
      FieldElectrode& electrode = reading.electrodes[role];
      if (!electrode.present) continue;
      const TableElectrode* found = nullptr;
      if (electrode.number > 0) {
        found = table.find_number(electrode.number);
        if (found == nullptr) {
          const std::string what = "electrode " + std::string(1, roles[role]) + " of line " +
                                   std::to_string(reading.line) + " is number " +
                                   std::to_string(electrode.number) + ", which the table lacks";
          stop_with(io, Order::console_then_log,
                    "\nError: the electrode table " + table.name + " has no electrode " +
                        std::to_string(electrode.number) + " (" + what + ")\n",
                    exit_failure, line_detail(table.name, 0, what));
        }
        electrode.x = found->x;
        electrode.y = found->y;
        ++by_number;
      } else {
        found = table.find_x(electrode.x);
        if (found == nullptr) {
          const std::string what = "electrode " + std::string(1, roles[role]) + " of line " +
                                   std::to_string(reading.line) +
                                   " at x = " + shortest(electrode.x) + " m";
          stop_with(io, Order::console_then_log,
                    "\nError: the electrode table " + table.name +
                        " has no electrode at the x of " + what + "\n",
                    exit_failure, line_detail(table.name, 0, what));
        }
        ++by_x;
      }
      if (std::isfinite(found->elevation)) electrode.elevation = found->elevation;
      electrode.buried = found->buried;
      if (found->buried) ++buried;
      if (found->remote) {
        electrode.present = false;
        ++remote;
      }
    }
  }
  // The table's electrodes on the ground give the ground's elevation, used by the data or not
  // (the top of a borehole, a surface electrode of another survey).
  std::size_t ground = 0;
  for (const TableElectrode& electrode : table.electrodes) {
    if (!electrode.buried && !electrode.remote && std::isfinite(electrode.elevation)) {
      survey.topography.push_back({electrode.x, electrode.elevation});
      ++ground;
    }
  }
  std::vector<std::string> notes;
  notes.push_back("electrodes: " + std::to_string(table.electrodes.size()) + " from the table " +
                  table.name + (table.has_elevation ? " with elevations" : " without elevations"));
  if (by_number > 0) {
    notes.push_back("  " + std::to_string(by_number) +
                    " reading electrodes placed by their numbers");
  }
  if (by_x > 0) {
    notes.push_back("  " + std::to_string(by_x) +
                    " reading electrodes matched by x (within 1 mm) for their elevations");
  }
  if (buried > 0) notes.push_back("  " + std::to_string(buried) + " buried (below the ground)");
  if (ground > 0) {
    notes.push_back("  " + std::to_string(ground) + " on the ground: points of the topography");
  }
  if (remote > 0) notes.push_back("  " + std::to_string(remote) + " remote (written as poles)");
  return notes;
}

}  // namespace quelby
