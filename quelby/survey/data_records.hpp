// The record rules both survey data-file layouts share, on the reader frame of the data file: the
// 100-character header line, the significant lines fetched into a 500-character buffer, IPTYPE
// lines, the datum read of a data line (positions, value, standard deviation, and the finiteness
// of positions), the messages that echo the line in hand, and the end of a walk over the file.
// Used by the layout readers only.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quelby/base/control_input.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby::survey_records {

inline constexpr std::size_t header_length = 100;
inline constexpr std::size_t line_length = 500;

// How a layout words its read error.
enum class Wording { general, common_current };

class DataRecords {
 public:
  DataRecords(const Io& io, InputFile& file, std::string_view file_name, Wording wording);

  // Reads line 1 into `header_line` (cut or blank-padded to 100 characters); it is then the line
  // in hand. False when the file has no line at all.
  bool read_header(SurveyData& data);

  // The next significant line; false at the end of the file, the line in hand then being the
  // last line read. A stream whose line never ends stops with the read error.
  bool fetch() {
    if (next_data_line(frame_.file(), line_)) return true;
    if (frame_.file().endless_record()) endless();
    return false;
  }
  // The next significant line, which must be there: the end of the file stops with ended().
  void fetch_required() {
    if (!fetch()) ended();
  }

  // The values of the line in hand (its characters up to the last one read; the padding blanks
  // beyond them change no free-format read).
  std::string_view values() const noexcept { return line_.content(); }

  // With a fetched line in hand: an IPTYPE line sets `type` (0 when its value is blank) and the
  // next line is fetched; the type in force is then checked before that line is read, so a wrong
  // type on the last significant line is reported as such and a right one meets the read error
  // of a file that ended.
  void take_iptype(std::int32_t& type, bool dc_data);

  // The datum of the line in hand: the first `n_positions` (2 or 4; 12 in a 3-D file) of
  // `positions` (all of them set, 0 where the line leaves one out), and with `read_values` its
  // observed value and standard deviation. The first datum of the file decides `std_missing`. A
  // line whose positions cannot be read, or are not finite numbers, stops at once; a failed read of
  // the values, or a standard deviation not above zero, is kept (the first one only) for end_walk,
  // since the checks of positions go first over the whole file.
  template <std::size_t N>
  void read_datum(double (&positions)[N], std::size_t n_positions, bool read_values,
                  bool first_datum, bool& std_missing, double& value, double& deviation);

  // The end of a walk over the file: the kept stop, if any, then `ndat` = `count`.
  void end_walk(SurveyData& data, std::int64_t count) const;
  // The kept stop, if any.
  void stop_pending() const;

  // The read error of a line whose read of `expected` values failed, or whose positions are not
  // finite numbers (a read that succeeded).
  [[noreturn]] void refused(const ReadStatus& status, std::size_t expected) const;
  // The read error of a file that ended where another line was expected.
  [[noreturn]] void ended() const;
  // The read error of a stream whose line in hand goes on without end.
  [[noreturn]] void endless() const;

  const Io& io() const noexcept { return frame_.io(); }

  // The number of line ends in the file plus one: at least the number of its lines, and so of
  // its data (1024 when the file cannot be read again). Arrays of one entry a datum reserved at
  // this size never move while they fill, and a block sized to the data is what the allocator
  // can hand out again on the next reading.
  std::size_t line_capacity() const;

 private:
  // A stop composed now and thrown later.
  struct PendingStop {
    std::string text;
    std::string detail;
  };

  bool is_iptype() const noexcept { return line_.content().starts_with("IPTYPE="); }
  void check_iptype(std::int32_t type, bool dc_data) const;
  PendingStop refusal(const ReadStatus& status, std::size_t expected) const;
  PendingStop read_error_of(std::string detail) const;
  PendingStop standard_deviation_refusal(double deviation) const;
  [[noreturn]] void stop(const PendingStop& pending) const;

  ReaderFrame frame_;
  Wording wording_;
  LineBuffer line_{line_length};
  std::optional<PendingStop> pending_;
};

// Inline: it runs once a datum, in the layouts' loops.
template <std::size_t N>
inline void DataRecords::read_datum(double (&positions)[N], std::size_t n_positions,
                                    bool read_values, bool first_datum, bool& std_missing,
                                    double& value, double& deviation) {
  // Every line's items start from zero. The values' read (with or without the standard
  // deviation; the first datum decides) reads the positions first, so when it succeeds the
  // positions' own read would give the same; when it fails, the positions are read alone for the
  // check that comes first.
  const std::string_view line = values();
  const ReadItem position_items(std::span<double>(positions, n_positions));
  const auto clear_positions = [&] {
    for (double& position : positions) position = 0;
  };
  clear_positions();
  value = deviation = 0;
  ReadStatus status;
  std::size_t expected = n_positions;
  if (read_values) {
    const bool with_deviation = first_datum || !std_missing;
    status = with_deviation ? read_text(line, {position_items, value, deviation})
                            : read_text(line, {position_items, value});
    expected += with_deviation ? 2 : 1;
    if (first_datum) {
      std_missing = !status.ok();
      if (std_missing) {
        clear_positions();
        value = deviation = 0;
        status = read_text(line, {position_items, value});
        expected = n_positions + 1;
      }
    }
  }
  if (!read_values || !status.ok()) {
    if (read_values && !pending_) pending_ = refusal(status, expected);
    clear_positions();
    if (const ReadStatus own = read_text(line, {position_items}); !own.ok()) {
      refused(own, n_positions);
    }
  }
  bool finite = true;
  for (const double position : positions) finite = finite && std::isfinite(position);
  if (!finite) refused(ReadStatus{}, n_positions);
  if (read_values && status.ok() && !std_missing && !(deviation > 0) && !pending_) {
    pending_ = standard_deviation_refusal(deviation);
  }
}

// A count of data beyond 32 bits cannot be held by the store's counts: the memory stop.
void check_datum_count(const Io& io, std::int64_t count);

// What both layouts leave in the store once the data are in place: standard deviations that the
// file does not carry are NaN, and the flags that tell which arrays hold read values.
void store_value_flags(SurveyData& data, bool read_values);

}  // namespace quelby::survey_records
