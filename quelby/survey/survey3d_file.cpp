#include "quelby/survey/survey3d_file.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>

#include "quelby/base/blanks.hpp"
#include "quelby/base/control_input.hpp"
#include "quelby/base/fixed_format.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_records.hpp"

namespace quelby {

namespace {

using survey_records::DataRecords;

// Positions are compared exactly, as doubles: -0 and 0 are one position, so the key holds the
// bits of each coordinate plus 0 (which turns -0 into 0).
struct PositionKey {
  std::uint64_t x, y, z;
  friend bool operator==(const PositionKey&, const PositionKey&) = default;
};

PositionKey key_of(const ElectrodePosition& position) {
  return {std::bit_cast<std::uint64_t>(position.x + 0.0),
          std::bit_cast<std::uint64_t>(position.y + 0.0),
          std::bit_cast<std::uint64_t>(position.z + 0.0)};
}

struct PositionHash {
  std::size_t operator()(const PositionKey& key) const noexcept {
    std::uint64_t h = key.x * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 29) ^ key.y) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 31) ^ key.z) * 0x94D049BB133111EBull;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

std::string count_line(std::string_view label, std::size_t width, std::int32_t count) {
  std::string line;
  if (label.size() < width) line.assign(width - label.size(), ' ');
  line += label;
  char field[12];
  format_integer(count, 10, field);
  line.append(field, 10);
  line += '\n';
  return line;
}

}  // namespace

void read_survey3d(const Io& io, std::string_view name, bool locations_only, Survey3D& survey,
                   bool dc_data) {
  survey = Survey3D{};
  ReaderFrame frame(io, "3-D data", name);
  const std::string& file_name = frame.name();
  InputFile& file = frame.file();

  LineBuffer first(survey_records::line_length);
  if (!next_line(file, first)) {
    frame.stop(Order::console_then_log,
               "\nError: the 3-D data file is empty; its first line must be " +
                   std::string(survey3d_header) + ".\n" + file_name + "\n",
               frame.file_detail("the file is empty"));
  }
  const std::string_view header = trim_trailing_blanks(first.content());
  if (header != survey3d_header) {
    frame.stop(Order::console_then_log,
               "\nError: the first line of a 3-D data file must be " +
                   std::string(survey3d_header) + ".\n" + file_name + "\n",
               frame.detail("found " + quoted_text(header)));
  }
  survey.header_line = std::string(header);

  DataRecords records(io, file, file_name, survey_records::Wording::general);
  const bool read_values = !locations_only;
  std::unordered_map<PositionKey, std::int32_t, PositionHash> numbers;
  const auto number_of = [&](const ElectrodePosition& position) {
    const auto [place, added] =
        numbers.try_emplace(key_of(position), static_cast<std::int32_t>(survey.electrodes.size()));
    if (added) survey.electrodes.push_back(position);
    return place->second;
  };

  std::int32_t type = dc_data ? 0 : 1;
  std::int64_t count = 0;
  try {
    while (records.fetch()) {
      records.take_iptype(type, dc_data);
      double positions[12];  // x, y, z of A, B, M, N
      double value = 0;
      double deviation = 0;
      records.read_datum(positions, 12, read_values, count == 0, survey.std_missing, value,
                         deviation);
      const ElectrodePosition a{positions[0], positions[1], positions[2]};
      const ElectrodePosition b{positions[3], positions[4], positions[5]};
      const ElectrodePosition m{positions[6], positions[7], positions[8]};
      const ElectrodePosition n{positions[9], positions[10], positions[11]};
      // B = A and N = M are poles; a current electrode at a potential electrode is no datum.
      const char* pair = a == m   ? "A lies at M"
                         : a == n ? "A lies at N"
                         : b == m ? "B lies at M"
                         : b == n ? "B lies at N"
                                  : nullptr;
      if (pair != nullptr) {
        frame.stop(Order::console_then_log,
                   "\n" + std::string(trim_trailing_blanks(records.values())) +
                       "\nError: a current electrode lies at a potential electrode (" + pair +
                       ") in " + file_name + ", line " + std::to_string(frame.line()) + ".\n",
                   frame.detail(std::string(pair)));
      }
      ++count;
      survey_records::check_datum_count(io, count);
      survey.a.push_back(number_of(a));
      survey.b.push_back(number_of(b));
      survey.m.push_back(number_of(m));
      survey.n.push_back(number_of(n));
      survey.iptype.push_back(type);
      if (read_values) {
        survey.dobs.push_back(value);
        survey.dstd.push_back(deviation);
      }
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  records.stop_pending();
  survey.ndat = static_cast<std::int32_t>(count);
  if (read_values && survey.std_missing) {
    std::fill(survey.dstd.begin(), survey.dstd.end(), std::numeric_limits<double>::quiet_NaN());
  }
  survey.has_values = read_values;
  if (!read_values) survey.std_missing = false;

  std::string counts = "\n";
  counts += count_line("# of electrodes:", 20, static_cast<std::int32_t>(survey.electrodes.size()));
  counts += count_line("# of data:", 20, survey.ndat);
  frame.log_read("3-D survey data were read from file: ", counts);
  if (survey.ndat < 1) {
    frame.stop(Order::console_then_log, "\nError: there is no data.\n" + file_name + "\n",
               frame.file_detail("0 data"));
  }
  if (!dc_data) {
    const auto secondary =
        static_cast<std::int32_t>(std::count(survey.iptype.begin(), survey.iptype.end(), 2));
    std::string text;
    if (secondary == 0) {
      text = "All IP data are apparent chargeabilities.\n";
    } else if (secondary == survey.ndat) {
      text = "All IP data are secondary potentials.\n";
    } else {
      text = "IP data is made up of:\n";
      text += count_line("# of apparent chargeabilities:", 35, survey.ndat - secondary);
      text += count_line("    # of secondary potentials:", 35, secondary);
    }
    write_message(io, Order::log_only, text + "\n");
  }
}

}  // namespace quelby
