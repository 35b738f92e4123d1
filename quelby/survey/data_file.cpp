#include "quelby/survey/data_file.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string>

#include "quelby/base/blanks.hpp"
#include "quelby/base/control_input.hpp"
#include "quelby/base/fixed_format.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

// A label right-aligned in `width` columns followed by `count` in 5 columns (asterisks when it
// does not fit).
std::string count_line(std::string_view label, std::size_t width, std::int32_t count) {
  std::string line;
  if (label.size() < width) line.assign(width - label.size(), ' ');
  line += label;
  char field[i5_width];
  format_i5(count, field);
  line.append(field, i5_width);
  line += '\n';
  return line;
}

bool is_common_current_header(std::string_view header) {
  return trim_trailing_blanks(header) == "COMMON_CURRENT";
}

}  // namespace

void read_data_file(const Io& io, std::string_view file_name, bool locations_only, bool use_z,
                    bool dc_data, SurveyData& data) {
  data = SurveyData{};
  data.use_z = use_z;

  ReaderFrame frame(io, "data location", file_name);
  const std::string& name = frame.name();
  InputFile& file = frame.file();

  LineBuffer first(data.header_line.size());
  if (!next_line(file, first)) {
    frame.stop(Order::console_only,
               "Error: cannot read the first line of the data file (end of file): " + name + "\n",
               frame.file_detail("the file is empty"));
  }
  data.header_line = first.text();
  data.common_current = is_common_current_header(data.header_line);

  if (!data.common_current && use_z) {
    frame.stop(Order::console_then_log,
               "\nThe Z locations in the data file can only be used with the\ncommon current "
               "format.\n" +
                   name + "\n");
  }

  file.rewind();
  data.sep_max = 0;
  data.sep_min = 1.0e50;
  data.sep_mean = 0;
  data.ndat = 0;
  if (data.common_current) {
    read_common_current_data(io, file, name, locations_only, dc_data, data);
  } else {
    read_general_data(io, file, name, locations_only, dc_data, data);
  }
  frame.close();
  data.sep_mean = data.sep_mean / data.ndat;

  std::string counts = "\n";
  counts += count_line("# of current locations:", 30, data.ncur);
  counts += count_line("             # of data:", 30, data.ndat);
  frame.log_read(locations_only ? "electrode locations were read from: " : "data were read from: ",
                 counts);

  if (data.ndat < 1 || data.ncur < 1) {
    frame.stop(Order::console_then_log, "\nError: there is no data.\n" + name + "\n",
               frame.file_detail(std::to_string(data.ncur) + " current pairs, " +
                                 std::to_string(data.ndat) + " data"));
  }

  if (!dc_data) {
    const std::int32_t secondary =
        static_cast<std::int32_t>(std::count(data.iptype.begin(), data.iptype.end(), 2));
    std::string text;
    if (secondary == 0) {
      text = "All IP data are apparent chargeabilities.\n";
    } else if (secondary == data.ndat) {
      text = "All IP data are secondary potentials.\n";
    } else {
      text = "IP data is made up of:\n";
      text += count_line("# of apparent chargeabilities:", 35, data.ndat - secondary);
      text += count_line("    # of secondary potentials:", 35, secondary);
    }
    text += '\n';
    write_message(io, Order::log_only, text);
  }

  try {
    data.idat_idx.assign(static_cast<std::size_t>(data.ncur) + 1, 0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  // Summed in 64 bits: counts as written may be negative, and their sum is checked, not trusted.
  std::int64_t next = 1;
  data.idat_idx[0] = 1;
  bool consistent = true;
  for (std::size_t k = 0; k < static_cast<std::size_t>(data.ncur); ++k) {
    next += data.ndat_cur[k];
    if (next < std::numeric_limits<std::int32_t>::min() ||
        next > std::numeric_limits<std::int32_t>::max()) {
      consistent = false;
    }
    data.idat_idx[k + 1] = static_cast<std::int32_t>(next);
  }
  if (!consistent || next - 1 != data.ndat) {
    internal_check_failed(io, "idat_idx(ncur+1)-1 /= ndat");
  }
}

}  // namespace quelby
