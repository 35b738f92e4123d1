#include "quelby/fielddata/das1_format.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

constexpr std::size_t signature_lines = 400;
// Beyond these a tag is taken for garbage: no export has this many columns or IP windows.
constexpr std::int32_t largest_column = 100000;
constexpr std::int32_t most_windows = 1000;
// How many line numbers a note lists before it only counts.
constexpr std::size_t listed_lines = 5;

constexpr std::array<const char*, 4> role_names = {"A", "B", "M", "N"};

struct Row {
  std::size_t line = 0;
  std::string_view text;  // as the file writes it, blanks and all
};

// A section between its start and end tags; `end` is 0 when the file ends inside it.
struct Section {
  std::size_t start = 0;
  std::size_t end = 0;
  std::vector<Row> rows;
  Row units;  // data blocks: the last "!" line with a "(" before the first row
};

struct Tag {
  std::string value;  // the first word after the key
  std::size_t line = 0;
};

using Tags = std::map<std::string, Tag>;

// "#data_res_col= 011" or "#TIPDly <tab> 10 <tab> !comment": the key in lower case (without '#' and
// '=') and the first word of the value.
std::pair<std::string, std::string> tag_of(std::string_view text) {
  text = trim_blanks(cut_comment(text.substr(1), '!'));
  std::size_t end = 0;
  while (end < text.size() && text[end] != '=' && text[end] != ' ' && text[end] != '\t') ++end;
  std::string_view rest = text.substr(end);
  if (!rest.empty() && rest.front() == '=') rest.remove_prefix(1);
  const auto words = split_fields(rest, ' ');
  return {lower_case(text.substr(0, end)),
          words.empty() ? std::string() : std::string(words.front())};
}

// The fields of a row: blanks separate them, and so does the comma of a "cable,electrode" label
// that starts at one of the 1-based `labels` columns. Any other comma is a decimal comma.
std::vector<std::string_view> row_fields(std::string_view text, const std::vector<int>& labels) {
  std::vector<std::string_view> fields;
  for (const std::string_view token : split_fields(text, ' ')) {
    const int column = static_cast<int>(fields.size()) + 1;
    const std::size_t comma = token.find(',');
    if (comma != std::string_view::npos &&
        std::find(labels.begin(), labels.end(), column) != labels.end()) {
      fields.push_back(token.substr(0, comma));
      // "009, 01": the electrode is the next token.
      if (comma + 1 < token.size()) fields.push_back(token.substr(comma + 1));
    } else {
      fields.push_back(token);
    }
  }
  return fields;
}

// The parenthesised units of a units line, in order, lower case: "(Ohm-m) (ma)" -> ohm-m, ma.
std::vector<std::string> units_of(std::string_view text) {
  std::vector<std::string> units;
  std::size_t at = 0;
  while ((at = text.find('(', at)) != std::string_view::npos) {
    const std::size_t close = text.find(')', at);
    if (close == std::string_view::npos) break;
    units.push_back(lower_case(trim_blanks(text.substr(at + 1, close - at - 1))));
    at = close + 1;
  }
  return units;
}

double ampere_scale(std::string_view unit) {
  if (unit == "ma") return 1e-3;
  if (unit == "a" || unit == "amp" || unit == "amps") return 1;
  if (unit == "ua") return 1e-6;
  return 0;
}

double volt_scale(std::string_view unit) {
  if (unit == "v" || unit == "volt" || unit == "volts") return 1;
  if (unit == "mv" || unit == "millivolts") return 1e-3;
  return 0;
}

bool is_ohm(std::string_view unit) {
  return unit == "ohm" || unit == "ohms";
}

bool is_ohm_metre(std::string_view unit) {
  return unit == "ohm-m" || unit == "ohm m" || unit == "ohmm" || unit == "ohm.m";
}

// How the IP windows of a block are written.
enum class WindowUnit {
  unstated,
  millivolt_per_volt,
  ohm,
  percent,
  milliradians,
  milliseconds,
  other
};

struct Listed {
  double x = 0, y = 0, z = 0;
  double terrain = not_given;  // the ground above the electrode, where a tag names the column
  std::int32_t type = 0;       // 1 borehole, 2 surface, negative remote; 0 not given
};

// A buried electrode: a borehole's by its type, or one below the ground the list gives it.
bool is_buried(const Listed& listed) {
  return listed.type == 1 || (listed.type != 2 && listed.terrain > listed.z);
}

// The cable (0 in a list without cables) and the electrode of a label.
using Label = std::pair<std::int32_t, std::int32_t>;

std::string label_text(const Label& label) {
  return label.first == 0 ? std::to_string(label.second)
                          : std::to_string(label.first) + "," + std::to_string(label.second);
}

// "1 row", "3 rows".
std::string counted(std::size_t count, const std::string& word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string line_list(const std::vector<std::size_t>& numbers) {
  std::string text;
  for (std::size_t k = 0; k < numbers.size() && k < listed_lines; ++k) {
    text += (k == 0 ? "" : ", ") + std::to_string(numbers[k]);
  }
  if (numbers.size() > listed_lines) text += ", ...";
  return text;
}

class Das1Reader {
 public:
  Das1Reader(const Io& io, const FieldSource& source) : lines_(io, source), source_(source) {}

  FieldSurvey read();

 private:
  void walk();
  void header_notes();
  int column_tag(const std::string& key, int fallback);
  void read_electrodes();
  void data_columns();
  void window_weights();
  void read_block(const Section& block);
  bool cut_by_end_of_file(const Row& row) const;
  double number_at(const std::vector<std::string_view>& fields, int column, const Row& row,
                   const std::string& what) const;
  FieldElectrode place(const Label& label, std::size_t role, const Row& row);
  void finish();

  FieldLines lines_;
  const FieldSource& source_;
  FieldSurvey survey_;
  Tags tags_;
  std::vector<Section> lists_;
  std::vector<Section> blocks_;

  // The electrode list and its columns.
  std::map<Label, Listed> electrodes_;
  bool cables_ = true;
  std::set<Label> used_;  // the electrodes the readings use

  // The data columns (1-based; 0 where the file has none).
  int id_ = 1;
  std::array<int, 4> cable_ = {2, 4, 6, 8};
  std::array<int, 4> electrode_ = {3, 5, 7, 9};
  int resistance_ = 10, error_ = 0, current_ = 0, voltage_ = 0;
  std::vector<int> windows_, window_errors_;
  std::vector<double> weights_;
  std::vector<int> labels_;  // the columns where labels start
  int last_label_ = 9;       // the last column of the reading number and labels

  // What the blocks held.
  WindowUnit ip_unit_ = WindowUnit::unstated;
  std::string ip_unit_text_;
  std::size_t ip_unit_line_ = 0;
  bool ip_nonzero_ = false;
  std::vector<std::size_t> truncated_;
  std::vector<std::size_t> messages_;
  std::string first_message_;
  std::size_t zero_errors_ = 0;
};

void Das1Reader::walk() {
  Section* open = nullptr;
  bool open_is_data = false;
  std::string_view line;
  while (lines_.next(line)) {
    const std::string_view text = trim_blanks(line);
    if (text.empty()) continue;
    const std::size_t number = lines_.line_number();
    if (text.front() == '#') {
      auto [key, value] = tag_of(text);
      if (open != nullptr) {
        if (key != (open_is_data ? "data_end" : "elec_end")) {
          lines_.fail(std::string("expected a row or ") +
                      (open_is_data ? "#data_end" : "#elec_end") + " (the section starts on line " +
                      std::to_string(open->start) + "), found " + quoted_text(text));
        }
        open->end = number;
        open = nullptr;
      } else if (key == "elec_start" || key == "data_start") {
        open_is_data = key == "data_start";
        auto& sections = open_is_data ? blocks_ : lists_;
        if (!open_is_data && !sections.empty()) {
          lines_.fail("a second electrode list (the first starts on line " +
                      std::to_string(sections.front().start) + ")");
        }
        sections.push_back(Section{number, 0, {}, {}});
        open = &sections.back();
      } else if (key == "elec_end" || key == "data_end") {
        lines_.fail("#" + key + " without its #" + key.substr(0, key.size() - 3) + "start");
      } else {
        tags_[key] = Tag{value, number};
      }
    } else if (open != nullptr) {
      if (text.front() != '!') {
        open->rows.push_back(Row{number, line});
      } else if (open_is_data && open->rows.empty() && text.find('(') != std::string_view::npos) {
        open->units = Row{number, text};
      }
    }
  }
  if (open != nullptr && !open_is_data) {
    lines_.fail_at(open->start, "the electrode list has no #elec_end: the file ends inside it");
  }
}

int Das1Reader::column_tag(const std::string& key, int fallback) {
  const auto found = tags_.find(key);
  if (found == tags_.end()) return fallback;
  std::int32_t value = 0;
  if (!field_integer(found->second.value, value) || value > largest_column) {
    lines_.fail_at(found->second.line, "the tag #" + key + "= " + quoted_text(found->second.value) +
                                           " is no column number");
  }
  return value > 0 ? value : 0;
}

void Das1Reader::header_notes() {
  const auto value = [&](const char* key) {
    const auto found = tags_.find(key);
    return found == tags_.end() ? std::string() : found->second.value;
  };
  std::string head = "DAS-1 export";
  if (!value("iversion").empty()) head += ", software version " + value("iversion");
  if (!value("idate").empty()) head += ", dated " + value("idate");
  survey_.notes.push_back(head);
  const std::pair<const char*, const char*> named[] = {{"tfrequ", "frequency"},
                                                       {"tstcks", "stacks"},
                                                       {"trdely", "delay before V/I (ms)"},
                                                       {"tlngtr", "V/I window (ms)"}};
  std::string settings;
  for (const auto& [key, name] : named) {
    if (value(key).empty()) continue;
    settings += std::string(settings.empty() ? "" : ", ") + name + " " + value(key);
  }
  if (!settings.empty()) survey_.notes.push_back("instrument settings: " + settings);
  double scale = 1;
  if (field_number(value("sxcale"), scale) && scale != 1) {
    survey_.notes.push_back("the instrument's X, Y, Z scale setting is " + shortest(scale) +
                            ": positions taken as the electrode list writes them");
  }
}

void Das1Reader::read_electrodes() {
  bool tagged = false;
  for (const auto& [key, tag] : tags_) tagged = tagged || key.starts_with("elec_");
  std::int32_t with_cables = 1;
  if (const auto found = tags_.find("elec_no_cable"); found != tags_.end()) {
    if (!field_integer(found->second.value, with_cables)) {
      lines_.fail_at(found->second.line, "the tag #elec_no_cable= " +
                                             quoted_text(found->second.value) + " is not 1 or -1");
    }
  }
  cables_ = with_cables > 0;
  const int cable = cables_ ? column_tag("elec_cable_col", 1) : 0;
  const int id = column_tag("elec_id_col", 2);
  const int x = column_tag("elec_x_col", 3), y = column_tag("elec_y_col", 4);
  const int z = column_tag("elec_z_col", 5);
  const int terrain = column_tag("elec_elev_col", 0), type = column_tag("elec_type_col", 0);
  if (lists_.empty()) return;
  const Section& list = lists_.front();
  if (id == 0 || x == 0 || y == 0 || z == 0) {
    lines_.fail_at(list.start, "the tags name no column for the electrode number, X, Y or Z");
  }
  const int needed = std::max({cable, id, x, y, z, terrain, type});
  const std::vector<int> labels = cable > 0 ? std::vector<int>{cable} : std::vector<int>{};
  for (const Row& row : list.rows) {
    const auto fields = row_fields(row.text, labels);
    if (static_cast<int>(fields.size()) < needed) {
      lines_.fail_at(row.line, "the electrode line has " + std::to_string(fields.size()) +
                                   " fields, its columns need " + std::to_string(needed));
    }
    Label label{0, 0};
    if ((cable > 0 && !field_integer(fields[cable - 1], label.first)) ||
        !field_integer(fields[id - 1], label.second)) {
      lines_.fail_at(row.line, "expected the cable and electrode numbers, found " +
                                   quoted_text(trim_blanks(row.text)));
    }
    Listed electrode;
    const std::pair<int, double*> values[] = {
        {x, &electrode.x}, {y, &electrode.y}, {z, &electrode.z}, {terrain, &electrode.terrain}};
    for (const auto& [column, value] : values) {
      if (column > 0 && !field_number(fields[column - 1], *value, true)) {
        lines_.fail_at(row.line, "the position " + quoted_text(fields[column - 1]) + " (column " +
                                     std::to_string(column) + ") is not a number");
      }
    }
    double kind = 0;
    if (type > 0) {
      if (!field_number(fields[type - 1], kind, true)) {
        lines_.fail_at(row.line,
                       "the electrode type " + quoted_text(fields[type - 1]) + " is not a number");
      }
      electrode.type = static_cast<std::int32_t>(std::lround(std::clamp(kind, -9.0, 9.0)));
    }
    if (!electrodes_.emplace(label, electrode).second) {
      lines_.fail_at(row.line, "electrode " + label_text(label) + " is listed twice");
    }
  }
  survey_.notes.push_back("electrode list: " + std::to_string(electrodes_.size()) +
                          " electrodes (lines " + std::to_string(list.start) + " to " +
                          std::to_string(list.end) + ")" +
                          (tagged ? std::string() : ", in the documented default columns"));
}

void Das1Reader::data_columns() {
  bool tagged = false;
  for (const auto& [key, tag] : tags_) tagged = tagged || key.starts_with("data_");
  if (!tagged) survey_.notes.push_back("no data column tags: the documented default columns");
  id_ = column_tag("data_id_col", 1);
  for (std::size_t role = 0; role < 4; ++role) {
    const std::string name(1, "abmn"[role]);
    cable_[role] = cables_ ? column_tag("data_" + name + "_cable_col", cable_[role]) : 0;
    electrode_[role] = column_tag("data_" + name + "_elec_col", electrode_[role]);
    if (electrode_[role] == 0) {
      lines_.fail_at(0, "the tags name no column for electrode " + std::string(role_names[role]));
    }
  }
  resistance_ = column_tag("data_res_col", 10);
  if (resistance_ == 0) lines_.fail_at(0, "the tags name no column for V/I (#data_res_col)");
  error_ = column_tag("data_std_res_col", 0);
  current_ = column_tag("data_i_curr_col", 0);
  voltage_ = column_tag("data_amp_col", 0);
  const int first = column_tag("data_ip_wind_col", 0);
  if (first > 0) {
    std::int32_t count = 1;
    if (const auto found = tags_.find("data_ip_wind_num"); found != tags_.end()) {
      if (!field_integer(found->second.value, count) || count < 1 || count > most_windows) {
        lines_.fail_at(found->second.line,
                       "the tag #data_ip_wind_num= " + quoted_text(found->second.value) +
                           " is no count of IP windows");
      }
    }
    windows_.push_back(first);
    window_errors_.push_back(column_tag("data_std_ip_col", 0));
    for (std::int32_t k = 2; k <= count; ++k) {
      const std::string key = "data_ip_win" + std::to_string(k) + "_col";
      const int column = column_tag(key, 0);
      if (column == 0) {
        lines_.fail_at(tags_.at("data_ip_wind_num").line, "no #" + key + "= tag for IP window " +
                                                              std::to_string(k) + " of " +
                                                              std::to_string(count));
      }
      windows_.push_back(column);
      window_errors_.push_back(column_tag("data_std_ip" + std::to_string(k) + "_col", 0));
    }
  }
  last_label_ = id_;
  for (std::size_t role = 0; role < 4; ++role) {
    last_label_ = std::max({last_label_, cable_[role], electrode_[role]});
    if (cable_[role] > 0) labels_.push_back(cable_[role]);
  }
}

void Das1Reader::window_weights() {
  if (windows_.empty()) return;
  // The widths of the windows (ms) from #TW01, #TW02, ...
  std::vector<double> widths;
  for (std::size_t k = 1; k <= windows_.size(); ++k) {
    const std::string key = (k < 10 ? "tw0" : "tw") + std::to_string(k);
    const auto found = tags_.find(key);
    double width = 0;
    if (found == tags_.end() || !field_number(found->second.value, width) || width < 0) break;
    widths.push_back(width);
  }
  double total = 0;
  for (const double width : widths) total += width;
  const bool widths_known = widths.size() == windows_.size() && total > 0;
  weights_.assign(windows_.size(), 1.0 / static_cast<double>(windows_.size()));
  std::string text =
      std::to_string(windows_.size()) + " IP window" + (windows_.size() == 1 ? "" : "s");
  if (const auto delay = tags_.find("tipdly"); delay != tags_.end()) {
    text += ", the first " + delay->second.value + " ms after the current stops";
  }
  if (widths_known) {
    std::string listed;
    for (std::size_t k = 0; k < widths.size(); ++k) {
      weights_[k] = widths[k] / total;
      if (k < 8) listed += (k == 0 ? "" : ", ") + shortest(widths[k]);
    }
    if (widths.size() > 8) listed += ", ...";
    text += "; widths " + listed + " ms; the chargeability is their mean weighted by width";
  } else if (windows_.size() > 1) {
    text += "; the file gives no widths for them: the chargeability is their plain mean";
  }
  survey_.notes.push_back(text);
}

bool Das1Reader::cut_by_end_of_file(const Row& row) const {
  const char* end = source_.bytes.data() + source_.bytes.size();
  return row.text.data() + row.text.size() == end && !source_.bytes.empty() &&
         source_.bytes.back() != '\n' && source_.bytes.back() != '\r';
}

double Das1Reader::number_at(const std::vector<std::string_view>& fields, int column,
                             const Row& row, const std::string& what) const {
  double value = 0;
  if (!field_number(fields[column - 1], value, true)) {
    lines_.fail_at(row.line, "the " + what + " field " + quoted_text(fields[column - 1]) +
                                 " (column " + std::to_string(column) + ") is not a number");
  }
  return value;
}

FieldElectrode Das1Reader::place(const Label& label, std::size_t role, const Row& row) {
  FieldElectrode electrode;
  used_.insert(label);
  electrode.number = label.second;
  if (lists_.empty()) {
    // No list: the electrode number stands for the position until a table gives it.
    electrode.x = label.second - 1.0;
    return electrode;
  }
  const auto found = electrodes_.find(label);
  if (found == electrodes_.end()) {
    lines_.fail_at(row.line, "electrode " + label_text(label) + " (" + role_names[role] +
                                 ") is not in the electrode list");
  }
  const Listed& listed = found->second;
  electrode.x = listed.x;
  electrode.y = listed.y;
  electrode.elevation = listed.z;
  electrode.present = listed.type >= 0;
  if (!electrode.present) electrode.number = 0;
  electrode.buried = is_buried(listed);
  return electrode;
}

void Das1Reader::read_block(const Section& block) {
  // The units line names the unit of each column after the reading number and the labels.
  const std::vector<std::string> units = units_of(block.units.text);
  const auto unit = [&](int column) {
    const int index = column - last_label_ - 1;
    return column > 0 && index >= 0 && index < static_cast<int>(units.size()) ? units[index]
                                                                              : std::string();
  };
  const bool units_known = !units.empty() && is_ohm(unit(resistance_));
  if (!units.empty() && !units_known) {
    survey_.notes.push_back("data block of line " + std::to_string(block.start) +
                            ": its units line does not give V/I in ohms: units not taken from it");
  }
  const auto unit_of = [&](int column) { return units_known ? unit(column) : std::string(); };
  int apparent = 0;
  for (int column = last_label_ + 1;
       units_known && column <= last_label_ + static_cast<int>(units.size()); ++column) {
    if (is_ohm_metre(unit(column)) && apparent == 0) apparent = column;
  }
  const std::string error_unit = unit_of(error_);
  const bool relative = error_unit == "%";
  if (error_ > 0 && !relative && !error_unit.empty() && !is_ohm(error_unit)) {
    lines_.fail_at(block.units.line,
                   "the unit (" + error_unit + ") of the V/I error is neither ohms nor %");
  }
  const double amperes = current_ > 0 ? ampere_scale(unit_of(current_)) : 0;
  const double volts = voltage_ > 0 ? volt_scale(unit_of(voltage_)) : 0;

  // The IP windows' unit: the units line, else the instrument's "display as chargeability" flag.
  WindowUnit ip = WindowUnit::unstated;
  std::string ip_text;
  if (!windows_.empty()) {
    ip_text = unit_of(windows_.front());
    ip = ip_text == "mv/v"                      ? WindowUnit::millivolt_per_volt
         : is_ohm(ip_text)                      ? WindowUnit::ohm
         : ip_text == "%"                       ? WindowUnit::percent
         : ip_text == "mrad"                    ? WindowUnit::milliradians
         : ip_text == "ms" || ip_text == "msec" ? WindowUnit::milliseconds
         : ip_text.empty()                      ? WindowUnit::unstated
                                                : WindowUnit::other;
    if (ip == WindowUnit::unstated && tags_.count("tchrg") > 0) ip = WindowUnit::millivolt_per_volt;
    for (const int column : windows_) {
      if (unit_of(column) != unit_of(windows_.front())) {
        lines_.fail_at(block.units.line, "the IP windows are not all in one unit");
      }
    }
    if (ip_unit_line_ == 0) {
      ip_unit_ = ip;
      ip_unit_text_ = ip_text;
      ip_unit_line_ = block.start;
    } else if (ip != ip_unit_) {
      lines_.fail_at(block.start,
                     "the IP windows of this block are not in the unit of those of "
                     "the block of line " +
                         std::to_string(ip_unit_line_));
    }
  }

  int needed = std::max({last_label_, resistance_, error_, apparent, current_, voltage_});
  for (std::size_t k = 0; k < windows_.size(); ++k) {
    needed = std::max({needed, windows_[k], window_errors_[k]});
  }
  std::size_t read = 0, longest = 0;
  const std::size_t cut_before = truncated_.size();
  for (const Row& row : block.rows) {
    const auto fields = row_fields(row.text, labels_);
    longest = std::max(longest, fields.size());
    std::int32_t number = 0;
    if (id_ > 0 &&
        (static_cast<int>(fields.size()) < id_ || !field_integer(fields[id_ - 1], number))) {
      lines_.fail_at(row.line,
                     "expected a reading (its number, then A, B, M and N as "
                     "cable,electrode), found " +
                         quoted_text(trim_blanks(row.text)));
    }
    if (static_cast<int>(fields.size()) <= last_label_) {
      truncated_.push_back(row.line);
      continue;
    }
    FieldReading reading;
    reading.line = row.line;
    for (std::size_t role = 0; role < 4; ++role) {
      Label label{0, 0};
      if ((cable_[role] > 0 && !field_integer(fields[cable_[role] - 1], label.first)) ||
          !field_integer(fields[electrode_[role] - 1], label.second)) {
        lines_.fail_at(row.line,
                       "electrode " + std::string(role_names[role]) +
                           " is no cable,electrode label: " + quoted_text(trim_blanks(row.text)));
      }
      reading.electrodes[role] = place(label, role, row);
    }
    if (fields[last_label_].starts_with('*')) {
      // The instrument wrote its message where the values belong ("* * TX Resist. ...").
      reading.valid = false;
      if (messages_.empty()) {
        const auto at = static_cast<std::size_t>(fields[last_label_].data() - row.text.data());
        first_message_ = std::string(trim_blanks(row.text.substr(at)));
      }
      messages_.push_back(row.line);
      survey_.readings.push_back(reading);
      ++read;
      continue;
    }
    if (static_cast<int>(fields.size()) < needed ||
        (cut_by_end_of_file(row) && static_cast<int>(fields.size()) <= needed)) {
      truncated_.push_back(row.line);
      continue;
    }
    reading.resistance = number_at(fields, resistance_, row, "V/I");
    if (error_ > 0) {
      const double error = number_at(fields, error_, row, "V/I error");
      if (relative) {
        reading.relative_error = error / 100;
      } else {
        reading.std = error;
      }
      if (error == 0) ++zero_errors_;
    }
    if (apparent > 0) reading.apparent_resistivity = number_at(fields, apparent, row, "Appres");
    if (amperes > 0) reading.current = number_at(fields, current_, row, "current") * amperes;
    if (volts > 0) reading.voltage = number_at(fields, voltage_, row, "Amp.") * volts;
    if (!windows_.empty()) {
      double mean = 0, mean_error = 0;
      bool errors = true;
      for (std::size_t k = 0; k < windows_.size(); ++k) {
        const std::string name = "IP window " + std::to_string(k + 1);
        const double window = number_at(fields, windows_[k], row, name);
        ip_nonzero_ = ip_nonzero_ || window != 0;
        mean += weights_[k] * window;
        if (window_errors_[k] > 0) {
          mean_error +=
              weights_[k] * std::abs(number_at(fields, window_errors_[k], row, name + " error"));
        } else {
          errors = false;
        }
      }
      if (ip == WindowUnit::ohm) {
        // A window in ohms is the decay voltage over the current: over V/I it is the fraction of
        // the voltage left, in mV/V.
        const bool usable = reading.resistance != 0;
        mean = usable ? 1000 * mean / reading.resistance : not_given;
        mean_error = usable ? 1000 * mean_error / std::abs(reading.resistance) : not_given;
      }
      reading.chargeability = mean;
      if (errors) reading.chargeability_std = mean_error;
    }
    survey_.readings.push_back(reading);
    ++read;
  }
  if (block.end > 0 && read == 0 && truncated_.size() - cut_before == block.rows.size() &&
      !block.rows.empty()) {
    // A whole block of rows too short for the tags: the tags, not the rows, are wrong.
    lines_.fail_at(block.rows.front().line, "no row of the data block has the " +
                                                std::to_string(needed) +
                                                " fields its column tags need (the longest has " +
                                                std::to_string(longest) + ")");
  }
  std::string columns = "V/I (column " + std::to_string(resistance_) + ")";
  if (error_ > 0) {
    columns += std::string(", its error (") + (relative ? "%" : "ohm, a standard deviation") + ")";
  }
  if (apparent > 0) columns += ", Appres (column " + std::to_string(apparent) + ", ohm-m)";
  if (amperes > 0) columns += ", current (" + unit_of(current_) + ")";
  if (volts > 0) columns += ", Amp. (" + unit_of(voltage_) + ", the voltage)";
  if (current_ > 0 && amperes == 0)
    columns += "; current left: the units line gives it no known unit";
  survey_.notes.push_back("data block of line " + std::to_string(block.start) + ": " +
                          counted(read, "reading") + "; read " + columns);
  if (block.end == 0) {
    survey_.notes.push_back("the data block of line " + std::to_string(block.start) +
                            " has no #data_end: the file is cut short");
  }
}

void Das1Reader::finish() {
  if (!messages_.empty()) {
    survey_.notes.push_back("the instrument's message instead of values (" +
                            quoted_text(first_message_, 60) + ", lines " + line_list(messages_) +
                            "): " + counted(messages_.size(), "reading") + " kept, marked invalid");
  }
  if (!truncated_.empty()) {
    survey_.notes.push_back(
        "rows cut short (fewer fields than the columns, or cut by the end of the file): " +
        counted(truncated_.size(), "row") + " dropped (lines " + line_list(truncated_) + ")");
  }
  if (zero_errors_ > 0) {
    survey_.notes.push_back("readings with a V/I error of 0 (one stack, or none measured): " +
                            std::to_string(zero_errors_));
  }
  if (lists_.empty()) {
    survey_.notes.push_back(
        "no electrode list: electrode k stands at x = k - 1 until an electrode "
        "table gives the positions (--electrodes FILE)");
  }
  std::set<std::int32_t> cables;
  std::set<double> grounds;
  for (const Label& label : used_) {
    cables.insert(label.first);
    // The ground above a buried electrode is a point of the topography.
    const auto found = electrodes_.find(label);
    if (found == electrodes_.end()) continue;
    const Listed& listed = found->second;
    if (is_buried(listed) && std::isfinite(listed.terrain) && grounds.insert(listed.x).second) {
      survey_.topography.push_back({listed.x, listed.terrain});
    }
  }
  if (cables.size() > 1) {
    // Each cable numbers its electrodes from 1: no one numbering of the line follows.
    for (FieldReading& reading : survey_.readings) {
      for (FieldElectrode& electrode : reading.electrodes) electrode.number = 0;
    }
    survey_.notes.push_back("the readings use " + std::to_string(cables.size()) +
                            " cables: electrodes placed by the list, not numbered");
  } else if (!cables.empty() && !lists_.empty()) {
    survey_.notes.push_back(
        "one line of electrodes: numbered by the electrode of their label" +
        (cables_ ? " on cable " + std::to_string(*cables.begin()) : std::string()) +
        "; X along the line, Y kept, Z taken as the elevation");
  }
  if (windows_.empty()) {
    survey_.notes.push_back("no IP windows (#data_ip_wind_col= -1): resistances only");
    return;
  }
  if (!ip_nonzero_) {
    for (FieldReading& reading : survey_.readings) {
      reading.chargeability = not_given;
      reading.chargeability_std = not_given;
    }
    survey_.notes.push_back("every IP window is 0: a DC-only export, no IP read");
    return;
  }
  survey_.chargeability_unit_stated = ip_unit_ != WindowUnit::unstated;
  switch (ip_unit_) {
    case WindowUnit::unstated:
      survey_.chargeability_unit = ChargeabilityUnit::millivolt_per_volt;
      survey_.chargeability_unit_text = "mV/V";
      survey_.notes.push_back("the file does not state the unit of its IP windows");
      break;
    case WindowUnit::millivolt_per_volt:
      survey_.chargeability_unit = ChargeabilityUnit::millivolt_per_volt;
      survey_.chargeability_unit_text = "mV/V";
      break;
    case WindowUnit::ohm:
      survey_.chargeability_unit = ChargeabilityUnit::millivolt_per_volt;
      survey_.chargeability_unit_text = "mV/V";
      survey_.notes.push_back(
          "IP windows in ohms (decay voltage over current) divided by V/I: "
          "chargeabilities in mV/V");
      break;
    case WindowUnit::percent:
      survey_.chargeability_unit = ChargeabilityUnit::percent;
      survey_.chargeability_unit_text = "%";
      break;
    case WindowUnit::milliradians:
      survey_.chargeability_unit = ChargeabilityUnit::milliradians;
      survey_.chargeability_unit_text = "mrad";
      break;
    case WindowUnit::milliseconds:
      survey_.chargeability_unit = ChargeabilityUnit::milliseconds;
      survey_.chargeability_unit_text = ip_unit_text_;
      break;
    case WindowUnit::other:
      survey_.chargeability_unit = ChargeabilityUnit::other;
      survey_.chargeability_unit_text = ip_unit_text_;
      break;
  }
}

FieldSurvey Das1Reader::read() {
  survey_.format = FieldFormat::das1;
  walk();
  header_notes();
  if (blocks_.empty()) lines_.fail_at(0, "the file has no data block (#data_start ... #data_end)");
  read_electrodes();
  data_columns();
  window_weights();
  for (const Section& block : blocks_) read_block(block);
  if (lists_.empty() && std::any_of(used_.begin(), used_.end(), [&](const Label& label) {
        return label.first != used_.begin()->first;
      })) {
    lines_.fail_at(0,
                   "the file has no electrode list (#elec_start ... #elec_end) and its "
                   "readings use several cables: their electrodes cannot be numbered");
  }
  finish();
  return std::move(survey_);
}

}  // namespace

std::string das1_mismatch(const FieldSource& source) {
  const std::string_view text = source.bytes;
  std::size_t at = 0;
  for (std::size_t line = 0; line < signature_lines && at < text.size(); ++line) {
    const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    const std::string_view content = trim_blanks(text.substr(at, end - at));
    if (content.starts_with('#')) {
      const std::string key = lower_case(trim_blanks(content.substr(1, 12)));
      if (key.starts_with("elec_start") || key.starts_with("data_start")) return {};
    }
    at = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
  }
  if (text.empty()) return "the file is empty";
  return "no #elec_start or #data_start line in the first " + std::to_string(signature_lines) +
         " lines";
}

FieldSurvey read_das1_file(const Io& io, const FieldSource& source) {
  Das1Reader reader(io, source);
  return reader.read();
}

}  // namespace quelby
