#include "quelby/survey/data_records.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby::survey_records {

DataRecords::DataRecords(const Io& io, InputFile& file, std::string_view file_name, Wording wording)
    : frame_(io, file, file_name), wording_(wording) {}

bool DataRecords::read_header(SurveyData& data) {
  if (!next_line(frame_.file(), line_)) return false;
  data.header_line.assign(line_.text().substr(0, header_length));
  return true;
}

void DataRecords::take_iptype(std::int32_t& type, bool dc_data) {
  bool in_hand = true;
  if (is_iptype()) {
    type = 0;
    // The IP type is read from characters 8 to 500 of the line.
    if (const ReadStatus status = read_text(values().substr(7), {type}); !status.ok()) {
      refused(status, 1);
    }
    in_hand = fetch();
  }
  check_iptype(type, dc_data);
  if (!in_hand) ended();
}

void DataRecords::end_walk(SurveyData& data, std::int64_t count) const {
  stop_pending();
  data.ndat = static_cast<std::int32_t>(count);
}

void DataRecords::stop_pending() const {
  if (pending_) stop(*pending_);
}

void DataRecords::refused(const ReadStatus& status, std::size_t expected) const {
  stop(refusal(status, expected));
}

void DataRecords::ended() const {
  if (frame_.file().endless_record()) endless();
  stop(read_error_of(frame_.detail("the file ends where one more line was expected")));
}

void DataRecords::endless() const {
  stop(read_error_of(frame_.detail("the line goes on beyond " +
                                   std::to_string(frame_.file().buffer_bytes()) +
                                   " bytes of a stream without a line end")));
}

std::size_t DataRecords::line_capacity() const {
  const std::optional<std::size_t> line_feeds = frame_.file().count_line_feeds();
  return line_feeds ? *line_feeds + 1 : 1024;
}

void DataRecords::check_iptype(std::int32_t type, bool dc_data) const {
  if (dc_data ? type == 0 : (type == 1 || type == 2)) return;
  std::string text = dc_data ? "\nError: for DC data, IPTYPE should be 0.\n"
                             : "\nError: for IP data, IPTYPE should be 1 or 2.\n";
  // The general layout shows the line in hand, the common-current layout does not.
  if (wording_ == Wording::general) {
    text += line_.trimmed();
    text += '\n';
  }
  text += frame_.name();
  text += '\n';
  frame_.stop(Order::console_then_log, text, frame_.detail("IP type " + std::to_string(type)));
}

DataRecords::PendingStop DataRecords::refusal(const ReadStatus& status,
                                              std::size_t expected) const {
  return read_error_of(status.ok() ? frame_.detail("a position that is not a finite number")
                                   : frame_.read_detail(status, expected));
}

DataRecords::PendingStop DataRecords::read_error_of(std::string detail) const {
  std::string text = "\n";
  text += line_.trimmed();
  text +=
      wording_ == Wording::general ? "\nError reading data file.\n" : "\nError reading data file: ";
  text += frame_.name();
  text += '\n';
  return {std::move(text), std::move(detail)};
}

DataRecords::PendingStop DataRecords::standard_deviation_refusal(double deviation) const {
  std::string text = "\n";
  text += line_.trimmed();
  text += "\nStandard deviation must be greater than zero.\n";
  text += frame_.name();
  text += '\n';
  return {std::move(text), frame_.detail("a standard deviation of " + shortest(deviation))};
}

void DataRecords::stop(const PendingStop& pending) const {
  frame_.stop(Order::console_then_log, pending.text, pending.detail);
}

void check_datum_count(const Io& io, std::int64_t count) {
  if (count > std::numeric_limits<std::int32_t>::max()) out_of_memory_stop(io);
}

void store_value_flags(SurveyData& data, bool read_values) {
  if (read_values && data.std_missing) {
    std::fill(data.dstd.begin(), data.dstd.end(), std::numeric_limits<double>::quiet_NaN());
  }
  data.dstd_read = read_values && !data.std_missing;
  data.has_values = read_values;
}

}  // namespace quelby::survey_records
