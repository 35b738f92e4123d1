#include "quelby/fielddata/syscal_binary_format.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

// The .bin layout: a version word 0x80000000 + N, the instrument type (1 byte) and a 1024-byte
// comment; then records of a 280-byte core, 16 more bytes (transmitter voltage, batteries,
// temperature) for extension code 2, 24 more (the same and the date) for code 3.
constexpr std::uint32_t bin_version_base = 0x80000000;
constexpr std::uint32_t newest_bin_version = 0x80000003;
constexpr std::size_t bin_header_size = 1029;
constexpr std::size_t bin_record_core = 280;
// The instrument types whose .bin records have this layout; the older instruments write others.
constexpr std::array<int, 6> bin_pro_types = {3, 4, 5, 8, 9, 11};

// The .binx header versions read (they carry the Prosys version after the instrument type), and the
// record layout versions read (each record states its own).
constexpr std::uint32_t first_binx_version = 4;
constexpr std::uint32_t last_binx_version = 6;
constexpr std::int32_t last_binx_layout = 15;

constexpr std::size_t window_count = 20;
// Days from 1899-12-30 (the origin of the instruments' dates) to 1970-01-01.
constexpr double days_before_1970 = 25569;

// Little-endian values read in order from the file's bytes, whatever the host's byte order. A read
// that would pass the end yields 0 and marks the cursor cut, so no read leaves the file whatever
// its sizes and counts say; the caller checks cut() once per record.
class ByteCursor {
 public:
  ByteCursor(std::string_view bytes, std::size_t at)
      : bytes_(bytes), at_(std::min(at, bytes.size())) {}

  std::size_t position() const { return at_; }
  std::size_t left() const { return bytes_.size() - at_; }
  bool cut() const { return cut_; }

  void skip(std::size_t count) {
    if (claim(count)) at_ += count;
  }
  // `count` items of `size` bytes each, the count as the file gives it.
  void skip_items(std::uint64_t count, std::size_t size) {
    if (count > left() / size) {
      claim(left() + 1);
      return;
    }
    skip(static_cast<std::size_t>(count) * size);
  }
  std::uint8_t u8() { return static_cast<std::uint8_t>(value(1)); }
  std::int16_t i16() { return static_cast<std::int16_t>(static_cast<std::uint16_t>(value(2))); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(value(4)); }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  double f32() { return std::bit_cast<float>(u32()); }
  double f64() { return std::bit_cast<double>(value(8)); }
  std::string_view text(std::size_t count) {
    if (!claim(count)) return {};
    const std::string_view piece = bytes_.substr(at_, count);
    at_ += count;
    return piece;
  }
  // A text of the .binx layout: its length in 4 bytes, then its bytes.
  std::string_view sized_text() {
    const std::uint32_t size = u32();
    return text(size);
  }

 private:
  bool claim(std::size_t count) {
    if (cut_ || count > left()) {
      cut_ = true;
      at_ = bytes_.size();
      return false;
    }
    return true;
  }
  std::uint64_t value(std::size_t size) {
    if (!claim(size)) return 0;
    std::uint64_t result = 0;
    for (std::size_t k = 0; k < size; ++k) {
      result |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ + k])} << (8 * k);
    }
    at_ += size;
    return result;
  }

  std::string_view bytes_;
  std::size_t at_;
  bool cut_ = false;
};

// One record as the file gives it, in its units (mV, mA, ms, %, days since 1899-12-30).
struct Record {
  std::array<double, 4> x{}, y{}, z{}, depth{};  // A, B, M, N
  std::array<std::int64_t, 4> number{};          // 0 where the file numbers no electrode
  double voltage = 0, current = 0, rho = 0, chargeability = 0, deviation = 0, stacks = 0;
  double geometric_factor = not_given;
  double injection = 0, delay = 0;
  std::array<double, window_count> windows{}, window_values{};
  double date = not_given;
  bool overload = false, marked_valid = true, gap_filler = false;
};

[[noreturn]] void refuse(const Io& io, const std::string& name, std::size_t record,
                         const std::string& what) {
  stop_with(io, Order::console_then_log,
            "\nError reading the field data file " + name + ", record " + std::to_string(record) +
                ": " + what + "\n",
            exit_failure, line_detail(name, record, what));
}

std::string hexadecimal(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

// A text the file stores (NUL-padded, maybe with line ends) as one quoted line for the notes.
std::string stored_text(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  while (!bytes.empty() && static_cast<unsigned char>(bytes.back()) <= ' ') bytes.remove_suffix(1);
  return quoted_text(bytes, 80);
}

// "2022-08-02 10:19:18" for a date in days since 1899-12-30; empty outside years 1900 to 9999.
std::string date_text(double days) {
  if (!(days >= 1 && days < 2958466)) return {};
  const long long seconds_total = std::llround((days - days_before_1970) * 86400.0);
  long long day = seconds_total >= 0 ? seconds_total / 86400 : -((-seconds_total + 86399) / 86400);
  const long long seconds = seconds_total - day * 86400;
  // Civil date of a day count from 1970-01-01 (proleptic Gregorian calendar).
  day += 719468;
  const long long era = (day >= 0 ? day : day - 146096) / 146097;
  const long long of_era = day - era * 146097;
  const long long year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const long long of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long long shifted_month = (5 * of_year + 2) / 153;
  const long long month_day = of_year - (153 * shifted_month + 2) / 5 + 1;
  const long long month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[80];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", year, month,
                month_day, seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

bool ends_with_binx(std::string_view name) {
  if (name.size() < 5) return false;
  std::string tail(name.substr(name.size() - 5));
  for (char& c : tail) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return tail == ".binx";
}

// The IP windows of a record: the injection time, the delay after the current is cut and the
// lengths of the windows in use (ms).
struct WindowSet {
  double injection = 0, delay = 0;
  std::vector<double> lengths;
  bool operator==(const WindowSet&) const = default;
};

WindowSet windows_of(const Record& record) {
  WindowSet set{record.injection, record.delay, {}};
  for (const double length : record.windows) {
    if (!(length > 0)) break;
    set.lengths.push_back(length);
  }
  return set;
}

// Turns records into readings and keeps what the notes report of them.
class SurveyAssembly {
 public:
  SurveyAssembly(const Io& io, const std::string& name) : io_(io), name_(name) {
    survey_.format = FieldFormat::syscal_binary;
  }

  void add(const Record& record, std::size_t number) {
    FieldReading reading;
    reading.line = number;
    for (std::size_t role = 0; role < 4; ++role) {
      if (!std::isfinite(record.x[role]) || !std::isfinite(record.y[role])) {
        refuse(io_, name_, number,
               "the position of electrode " + std::string(1, "ABMN"[role]) +
                   " is not a finite number");
      }
      FieldElectrode& electrode = reading.electrodes[role];
      electrode.x = record.x[role];
      electrode.y = record.y[role];
      electrode.elevation = finite(record.z[role]);
      if (record.number[role] > 0 && record.number[role] <= INT32_MAX) {
        electrode.number = static_cast<std::int32_t>(record.number[role]);
      }
      if (record.depth[role] > 0 && std::isfinite(record.depth[role])) {
        electrode.buried = true;
        electrode.elevation -= record.depth[role];
        ++buried_;
      }
    }
    reading.voltage = finite(record.voltage) * 1e-3;
    reading.current = finite(record.current) * 1e-3;
    reading.apparent_resistivity = finite(record.rho);
    reading.deviation = finite(record.deviation);
    reading.geometric_factor = record.geometric_factor;
    if (!std::isfinite(record.geometric_factor)) reading.geometric_factor = not_given;
    reading.chargeability = finite(record.chargeability);
    reading.valid = record.marked_valid && !record.overload;
    survey_.readings.push_back(reading);

    if (!record.marked_valid) ++marked_invalid_;
    if (record.overload) ++overloaded_;
    if (record.gap_filler) ++gap_fillers_;
    if (record.chargeability != 0 && std::isfinite(record.chargeability)) holds_ip_ = true;
    for (const double value : record.window_values) {
      if (value != 0 && std::isfinite(value)) window_values_ = true;
    }
    if (std::isfinite(record.stacks)) {
      fewest_stacks_ =
          std::isnan(fewest_stacks_) ? record.stacks : std::min(fewest_stacks_, record.stacks);
      most_stacks_ =
          std::isnan(most_stacks_) ? record.stacks : std::max(most_stacks_, record.stacks);
    }
    if (!date_text(record.date).empty()) {
      first_date_ = std::isnan(first_date_) ? record.date : std::min(first_date_, record.date);
      last_date_ = std::isnan(last_date_) ? record.date : std::max(last_date_, record.date);
    }
    const WindowSet set = windows_of(record);
    if (!windows_) {
      windows_ = set;
    } else if (!(set == *windows_)) {
      ++other_windows_;
    }
  }

  void note(std::string text) { survey_.notes.push_back(std::move(text)); }

  // The survey with the notes on its records.
  FieldSurvey finish(std::size_t cut_records) {
    const std::size_t count = survey_.readings.size();
    note(std::to_string(count) + " records read as readings (line = record number)");
    if (cut_records > 0) {
      note(std::to_string(cut_records) +
           " record cut off by the end of the file was dropped (record " +
           std::to_string(count + 1) + ")");
    }
    if (!std::isnan(first_date_)) {
      note(first_date_ == last_date_
               ? "measured on " + date_text(first_date_)
               : "measured from " + date_text(first_date_) + " to " + date_text(last_date_));
    } else {
      note("the records store no date");
    }
    if (!std::isnan(fewest_stacks_)) {
      note("stacks per reading: " + shortest(fewest_stacks_) +
           (most_stacks_ > fewest_stacks_ ? " to " + shortest(most_stacks_) : std::string()));
    }
    if (marked_invalid_ > 0) {
      note(std::to_string(marked_invalid_) +
           " readings the instrument marks not valid: kept as invalid");
    }
    if (overloaded_ > 0) {
      note(std::to_string(overloaded_) +
           " readings the instrument marks overloaded: kept as invalid");
    }
    if (gap_fillers_ > 0) {
      note(std::to_string(gap_fillers_) + " readings measured as gap fillers: kept as valid");
    }
    if (buried_ > 0) {
      note(std::to_string(buried_) +
           " electrode positions with a depth: buried, at the elevation z minus the depth");
    }
    if (not_finite_ > 0) {
      note(std::to_string(not_finite_) + " stored values that are not finite numbers left out");
    }
    note_windows();
    if (holds_ip_ || window_values_) {
      survey_.chargeability_unit = ChargeabilityUnit::millivolt_per_volt;
      survey_.chargeability_unit_text = "mV/V";
      note(
          "chargeability: the total M of each record (mV/V)" +
          std::string(window_values_ ? "; the records also store M per window, not imported" : ""));
    } else {
      for (FieldReading& reading : survey_.readings) reading.chargeability = not_given;
      note("every chargeability of the file is 0 (a DC-only file): no IP read");
    }
    return std::move(survey_);
  }

 private:
  double finite(double value) {
    if (std::isfinite(value)) return value;
    ++not_finite_;
    return not_given;
  }

  void note_windows() {
    if (!windows_) return;
    std::string text = "current injection " + shortest(windows_->injection) +
                       " ms; IP windows after a delay of " + shortest(windows_->delay) + " ms:";
    if (windows_->lengths.empty()) text += " none";
    double start = windows_->delay;
    for (const double length : windows_->lengths) {
      // Appended piece by piece: GCC's -O3 string analysis warns on the chained temporary.
      text += ' ';
      text += shortest(start);
      text += '-';
      text += shortest(start + length);
      start += length;
    }
    if (!windows_->lengths.empty()) text += " ms";
    if (other_windows_ > 0) {
      text += " (as the first record; " + std::to_string(other_windows_) + " records differ)";
    }
    note(text);
  }

  const Io& io_;
  const std::string& name_;
  FieldSurvey survey_;
  std::size_t marked_invalid_ = 0, overloaded_ = 0, gap_fillers_ = 0, buried_ = 0, not_finite_ = 0,
              other_windows_ = 0;
  bool holds_ip_ = false, window_values_ = false;
  double fewest_stacks_ = not_given, most_stacks_ = not_given;
  double first_date_ = not_given, last_date_ = not_given;
  std::optional<WindowSet> windows_;
};

// Reads one .bin record at the cursor; the cursor is cut when the file ends inside it.
Record read_bin_record(const Io& io, const std::string& name, ByteCursor& cursor,
                       std::size_t number) {
  Record record;
  const std::size_t start = cursor.position();
  if (cursor.left() < bin_record_core) {
    cursor.skip(bin_record_core);  // cut: too few bytes for any record
    return record;
  }
  cursor.skip(2);  // the electrode array code
  const std::int16_t extension = cursor.i16();
  if (extension < 0 || extension > 3) {
    refuse(io, name, number,
           "the record extension code " + std::to_string(extension) +
               " is not one of 0 to 3 (a record of unknown size)");
  }
  const std::size_t size = bin_record_core + (extension == 2 ? 16 : 0) + (extension == 3 ? 24 : 0);
  if (cursor.left() + 4 < size) {
    cursor.skip(size);  // cut: the record runs past the end
    return record;
  }
  record.injection = cursor.f32();
  record.delay = cursor.f32();
  const std::int16_t coordinates = cursor.i16();
  if (coordinates == 0) {
    refuse(io, name, number, "the record holds no electrode coordinates (coordinate type 0)");
  }
  cursor.skip(2);
  for (auto* values : {&record.x, &record.y, &record.z}) {
    for (double& value : *values) value = cursor.f32();
  }
  cursor.skip(4);  // the self-potential
  record.voltage = cursor.f32();
  record.current = cursor.f32();
  record.rho = cursor.f32();
  record.chargeability = cursor.f32();
  record.deviation = cursor.f32();
  for (double& length : record.windows) length = cursor.f32();
  for (double& value : record.window_values) value = cursor.f32();
  // Bits 0-3 the channel, 4-7 the channels of the injection, 8 overload, 9 valid, 16-31 the number
  // of the quadrupole.
  const std::uint32_t status = cursor.u32();
  record.overload = (status >> 8 & 1) != 0;
  record.marked_valid = (status >> 9 & 1) != 0;
  cursor.skip(12 + 8);  // the name, latitude and longitude
  record.stacks = cursor.f32();
  cursor.skip(4);                       // the contact resistance check
  if (extension >= 2) cursor.skip(16);  // transmitter voltage, batteries, temperature
  if (extension == 3) record.date = cursor.f64();
  if (cursor.position() - start != size) internal_check_failed(io, "Syscal .bin record size");
  return record;
}

FieldSurvey read_bin(const Io& io, const FieldSource& source) {
  const std::string_view bytes = source.bytes;
  ByteCursor cursor(bytes, 0);
  const std::uint32_t version = cursor.u32();
  const int type = cursor.u8();
  if (version > newest_bin_version) {
    refuse(io, source.name, 1,
           "the .bin version " + hexadecimal(version) + " is newer than " +
               hexadecimal(newest_bin_version) + ", the last whose layout quelby reads");
  }
  if (std::find(bin_pro_types.begin(), bin_pro_types.end(), type) == bin_pro_types.end()) {
    refuse(io, source.name, 1,
           "the instrument type " + std::to_string(type) + " writes no Syscal Pro records");
  }
  if (bytes.size() < bin_header_size) {
    refuse(io, source.name, 1,
           "the file ends after " + std::to_string(bytes.size()) + " bytes, inside its " +
               std::to_string(bin_header_size) + "-byte header");
  }
  const std::string_view comment = cursor.text(bin_header_size - 5);
  SurveyAssembly assembly(io, source.name);
  assembly.note("Syscal Pro .bin file: version " + hexadecimal(version) + ", instrument type " +
                std::to_string(type) + ", comment " + stored_text(comment));
  std::size_t number = 0;
  std::size_t cut_records = 0;
  while (cursor.left() > 0) {
    ++number;
    const Record record = read_bin_record(io, source.name, cursor, number);
    if (cursor.cut()) {
      cut_records = 1;
      break;
    }
    assembly.add(record, number);
  }
  return assembly.finish(cut_records);
}

// Reads one .binx record of layout `layout` at the cursor (after the layout word); the cursor is
// cut when the file ends inside it.
Record read_binx_record(ByteCursor& cursor, std::int32_t layout, bool& recomputed) {
  Record record;
  record.date = cursor.f64();
  cursor.skip(8);  // the date of the current's receiver
  record.overload = cursor.i32() != 0;
  record.stacks = cursor.i32();
  cursor.skip(8);  // the self-potential
  record.voltage = cursor.f64();
  record.current = cursor.f64();
  record.chargeability = cursor.f64();
  for (double& value : record.window_values) value = cursor.f64();
  record.geometric_factor = cursor.f64();
  record.rho = cursor.f64();
  record.deviation = cursor.f64();
  cursor.skip(8 + 8);               // the deviation of M, the contact resistance check
  cursor.skip(5 * 4);               // transmitter voltage, batteries, temperatures
  cursor.skip(800 * 4);             // the raw samples
  cursor.sized_text();              // the measurement file's name
  cursor.skip(4);                   // the regulated current
  cursor.skip(layout < 3 ? 4 : 8);  // the largest transmitter voltage
  cursor.skip(2 + 4 + 4 + 8 + 8);   // the array code, stack limits and their deviation limits
  record.injection = cursor.i32();
  cursor.skip(4);  // the delay before the voltage is measured
  record.delay = cursor.i32();
  for (double& length : record.windows) length = cursor.i32();
  cursor.skip(1 + 4 + 4 + 9 + 4 + 1);  // acquisition settings
  cursor.sized_text();                 // the sequence file's name
  cursor.skip(10 * 4 + 8 + 4 + 4);     // sequence settings, spacing and channels
  record.gap_filler = cursor.u8() != 0;
  cursor.skip(2 + 8 + 8);  // input range, gain
  const std::size_t hemisphere = layout >= 5 ? 1 : 0;
  for (std::size_t role = 0; role < 4; ++role) {
    record.x[role] = cursor.f64();
    record.y[role] = cursor.f64();
    record.z[role] = cursor.f64();
    record.depth[role] = cursor.f64();
    cursor.skip(4 + 2 + 4 + 4);  // node, geographic type, UTM zone
    record.number[role] = cursor.u32();
    cursor.skip(hemisphere);
  }
  cursor.skip(4 * 8 + 4 + 2 + 4 + 4 + 4 + hemisphere + 2 * 8);  // the grid's origin
  cursor.skip(11 + 8 + 8 + 2 + 3 * 4);  // device flags, latitude, longitude, file indices
  if (layout == 1) {
    cursor.skip(28 + 28);  // the current and voltage file names
  } else {
    cursor.sized_text();
    cursor.sized_text();
  }
  cursor.skip(3 * 8 + 1);  // the Cole-Cole fit
  if (layout < 9) cursor.skip(12 * 4);
  cursor.skip(6 * 4);  // sequence counts
  if (layout >= 3) cursor.skip(4);
  cursor.skip(1 + 4 + 4 + 3 + 5 * 4 + 4 + 2 + 4 * 4);  // device state
  if (layout >= 3) cursor.skip(5 + 4 + 2 + 2 + 3 * 4 + 1 + 2 * 2);
  if (layout >= 3 && layout < 6) cursor.skip(4);
  if (layout >= 4) cursor.skip(4 + 3 * 2 + 4 + 6);
  if (layout >= 6) cursor.skip(8);
  if (layout >= 7) cursor.skip(4);
  if (layout >= 8) cursor.skip(4 + 4 + 2);
  if (layout >= 10) cursor.skip(8 + 8 + 4 + 8);
  if (layout >= 14) cursor.skip(1);
  if (layout >= 11) {
    cursor.skip(1);
    cursor.skip_items(cursor.u32(), 8);  // associated results
  }
  if (layout >= 11 && layout < 15) {
    cursor.skip(2 * window_count * 8 + (layout >= 12 ? 16 : 0));
    recomputed = true;
  }
  if (layout >= 15) {
    const std::uint32_t count = cursor.u32();
    cursor.skip_items(count, 2 + window_count * 8 + 8);
    recomputed = recomputed || count > 0;
  }
  if (layout >= 13 && layout != 14) cursor.skip(1);
  if (layout == 14) cursor.skip(9);
  return record;
}

FieldSurvey read_binx(const Io& io, const FieldSource& source) {
  ByteCursor cursor(source.bytes, 0);
  const std::uint32_t version = cursor.u32();
  const int type = cursor.u8();
  std::string software;
  if (version >= first_binx_version && version <= last_binx_version) {
    const int program = cursor.u8();
    const int major = cursor.i16(), minor = cursor.i16(), release = cursor.i16();
    software = ", software " + std::to_string(program) + " version " + std::to_string(major) + "." +
               std::to_string(minor) + "." + std::to_string(release);
  }
  const std::string_view comment = cursor.sized_text();
  const std::string_view common_path = cursor.sized_text();
  const std::uint32_t files = cursor.u32();
  const std::uint32_t voltage_files = cursor.u32();
  const std::uint32_t announced = cursor.u32();
  if (cursor.cut()) refuse(io, source.name, 1, "the file ends inside its header");
  if (files > 0 || voltage_files > 0) {
    refuse(io, source.name, 1,
           "the file holds " + std::to_string(files + std::uint64_t{voltage_files}) +
               " further data files; split it into one file per survey in Prosys");
  }
  SurveyAssembly assembly(io, source.name);
  assembly.note("Syscal Pro .binx file: header version " +
                (version >= bin_version_base ? hexadecimal(version) : std::to_string(version)) +
                ", instrument type " + std::to_string(type) + software + ", comment " +
                stored_text(comment) +
                (common_path.empty() ? "" : ", data path " + stored_text(common_path)));
  std::size_t read = 0;
  std::size_t cut_records = 0;
  bool recomputed = false;
  std::int32_t first_layout = 0;
  while (read < announced && cursor.left() > 0) {
    const std::size_t number = read + 1;
    const std::int32_t layout = cursor.i32();
    if (cursor.cut()) {
      cut_records = 1;
      break;
    }
    if (layout < 1 || layout > last_binx_layout) {
      refuse(io, source.name, number,
             "the record layout version " + std::to_string(layout) + " is not one of 1 to " +
                 std::to_string(last_binx_layout));
    }
    if (first_layout == 0) first_layout = layout;
    const Record record = read_binx_record(cursor, layout, recomputed);
    if (cursor.cut()) {
      cut_records = 1;
      break;
    }
    assembly.add(record, number);
    ++read;
  }
  assembly.note("the header announces " + std::to_string(announced) + " records" +
                (first_layout > 0 ? "; record layout version " + std::to_string(first_layout)
                                  : std::string()));
  if (read + cut_records < announced) {
    assembly.note("the file ends after " + std::to_string(read + cut_records) + " of the " +
                  std::to_string(announced) + " records its header announces");
  }
  if (cut_records == 0 && cursor.left() > 0) {
    assembly.note(std::to_string(cursor.left()) + " bytes after the " + std::to_string(read) +
                  " records the header announces are left unread");
  }
  if (recomputed) {
    assembly.note("records also hold recomputed IP values: the values measured are read");
  }
  return assembly.finish(cut_records);
}

std::uint32_t version_word(std::string_view bytes) {
  std::uint32_t value = 0;
  for (std::size_t k = 0; k < 4 && k < bytes.size(); ++k) {
    value |= std::uint32_t{static_cast<unsigned char>(bytes[k])} << (8 * k);
  }
  return value;
}

bool bin_version(std::uint32_t version) {
  return version >= bin_version_base && version <= bin_version_base + 0xFF;
}

bool binx_version(std::uint32_t version) {
  return version >= first_binx_version && version <= last_binx_version;
}

}  // namespace

std::string syscal_binary_mismatch(const FieldSource& source) {
  const std::string_view bytes = source.bytes;
  if (bytes.size() < 5) return "the file is too short for a Syscal Pro binary header";
  const std::uint32_t version = version_word(bytes);
  if (bin_version(version)) return {};
  if (binx_version(version)) {
    // The comment's length follows the instrument type and the Prosys version.
    ByteCursor cursor(bytes, 12);
    const std::uint32_t comment = cursor.u32();
    if (!cursor.cut() && comment <= cursor.left()) return {};
    return "bytes 13 to 16 hold no comment length of a .binx header";
  }
  return "the first 4 bytes (" + hexadecimal(version) +
         ") are no version word of a Syscal Pro .bin or .binx file";
}

FieldSurvey read_syscal_binary_file(const Io& io, const FieldSource& source) {
  const std::string_view bytes = source.bytes;
  if (bytes.size() < 5) {
    refuse(io, source.name, 1,
           "the file holds " + std::to_string(bytes.size()) +
               " bytes, too few for the version and instrument type of a Syscal Pro header");
  }
  const std::uint32_t version = version_word(bytes);
  // The two layouts share the older version words; the file's extension tells them apart.
  if (bin_version(version) && !ends_with_binx(source.name)) return read_bin(io, source);
  if (bin_version(version) || binx_version(version)) return read_binx(io, source);
  refuse(io, source.name, 1,
         "the first 4 bytes (" + hexadecimal(version) +
             ") are no version word of a Syscal Pro .bin or .binx file");
}

}  // namespace quelby
