// The record rules both survey data-file layouts share: the 100-character header line, the
// significant lines fetched into a 500-character buffer, IPTYPE lines, the finiteness of
// positions, and the messages that echo the line in hand. Used by the layout readers only.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "quelby/base/control_input.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby::survey_records {

inline constexpr std::size_t header_length = 100;
inline constexpr std::size_t line_length = 500;

// How a layout words its read error.
enum class Wording { general, common_current };

class DataRecords {
 public:
  DataRecords(const Io& io, InputFile& file, std::string_view file_name, Wording wording)
      : io_(io), file_(file), name_(trim_trailing_blanks(file_name)), wording_(wording) {}

  // Reads line 1 into `header_line` (cut or blank-padded to 100 characters); it is then the line
  // in hand. False when the file has no line at all.
  bool read_header(SurveyData& data) {
    std::string_view record;
    if (!file_.next_record(record)) return false;
    data.header_line.assign(header_length, ' ');
    data.header_line.replace(0, std::min(record.size(), header_length), record.data(),
                             std::min(record.size(), header_length));
    line_.assign(record);
    line_number_ = file_.record_number();
    return true;
  }

  // The next significant line; false at the end of the file, the line in hand then being the
  // last line read.
  bool fetch() {
    const bool found = next_data_line(file_, line_);
    line_number_ = file_.record_number();
    return found;
  }

  // The values of the line in hand (its characters up to the last one read; the padding blanks
  // beyond them change no free-format read).
  std::string_view values() const noexcept { return line_.content(); }

  bool is_iptype() const noexcept { return line_.content().starts_with("IPTYPE="); }

  // The IP type from characters 8 to 500 of an IPTYPE line.
  ReadStatus read_iptype(std::int32_t& type) const {
    return read_text(line_.content().substr(7), {type});
  }

  // A stop composed now and thrown later: the message and detail of the line in hand, kept while
  // the checks that come first in the reading order go on over the rest of the file.
  struct PendingStop {
    std::string text;
    std::string detail;
  };

  // The read error of a line whose read of `expected` values failed, or whose positions are not
  // finite numbers (a read that succeeded).
  [[noreturn]] void refused(const ReadStatus& status, std::size_t expected) const {
    stop(refusal(status, expected));
  }
  PendingStop refusal(const ReadStatus& status, std::size_t expected) const {
    return read_error_of(
        status.ok() ? line_detail(name_, line_number_, "a position that is not a finite number")
                    : read_detail(name_, line_number_, status, expected));
  }
  // The read error of a file that ended where another line was expected.
  [[noreturn]] void ended() const {
    read_error(line_detail(name_, line_number_, "the file ends where one more line was expected"));
  }

  [[noreturn]] void read_error(std::string detail) const { stop(read_error_of(std::move(detail))); }

  [[noreturn]] void standard_deviation_error(double deviation) const {
    stop(standard_deviation_refusal(deviation));
  }
  PendingStop standard_deviation_refusal(double deviation) const {
    std::string text = "\n";
    text += line_.trimmed();
    text += "\nStandard deviation must be greater than zero.\n";
    text += name_;
    text += '\n';
    return {std::move(text),
            line_detail(name_, line_number_, "a standard deviation of " + shortest(deviation))};
  }

  [[noreturn]] void stop(PendingStop pending) const {
    stop_with(io_, Order::console_then_log, pending.text, exit_failure, std::move(pending.detail));
  }

  // The IP-type check of a datum: with DC data the type must be 0, with IP data 1 or 2. The
  // general layout shows the line in hand, the common-current layout does not.
  void check_iptype(std::int32_t type, bool dc_data) const {
    if (dc_data ? type == 0 : (type == 1 || type == 2)) return;
    std::string text = dc_data ? "\nError: for DC data, IPTYPE should be 0.\n"
                               : "\nError: for IP data, IPTYPE should be 1 or 2.\n";
    if (wording_ == Wording::general) {
      text += line_.trimmed();
      text += '\n';
    }
    text += name_;
    text += '\n';
    stop_with(io_, Order::console_then_log, text, exit_failure,
              line_detail(name_, line_number_, "IP type " + std::to_string(type)));
  }

  // With a fetched line in hand: an IPTYPE line sets `type` (0 when its value is blank) and the
  // next line is fetched; the type in force is then checked before that line is read, so a wrong
  // type on the last significant line is reported as such and a right one meets the read error
  // of a file that ended.
  void take_iptype(std::int32_t& type, bool dc_data) {
    bool in_hand = true;
    if (is_iptype()) {
      type = 0;
      if (const ReadStatus status = read_iptype(type); !status.ok()) refused(status, 1);
      in_hand = fetch();
    }
    check_iptype(type, dc_data);
    if (!in_hand) ended();
  }

  const Io& io() const noexcept { return io_; }

  // The number of line ends in the file plus one: at least the number of its lines, and so of
  // its data, read once more in small blocks (1024 when the file cannot be read). Arrays of one
  // entry a datum reserved at this size never move while they fill, and a block sized to the
  // data is what the allocator can hand out again on the next reading.
  std::size_t line_capacity() const {
    const int descriptor = ::open(name_.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return 1024;
    char block[1 << 16];
    std::size_t lines = 1;
    for (;;) {
      const ::ssize_t got = ::read(descriptor, block, sizeof block);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      lines += static_cast<std::size_t>(std::count(block, block + got, '\n'));
    }
    ::close(descriptor);
    return lines;
  }

 private:
  PendingStop read_error_of(std::string detail) const {
    std::string text = "\n";
    text += line_.trimmed();
    text += wording_ == Wording::general ? "\nError reading data file.\n"
                                         : "\nError reading data file: ";
    text += name_;
    text += '\n';
    return {std::move(text), std::move(detail)};
  }

  const Io& io_;
  InputFile& file_;
  std::string name_;
  Wording wording_;
  LineBuffer line_{line_length};
  std::size_t line_number_ = 0;  // 1-based number of the line in hand, for details
};

// Positions that are not finite numbers make a line unreadable.
inline bool all_finite(std::initializer_list<double> positions) noexcept {
  for (const double position : positions) {
    if (!std::isfinite(position)) return false;
  }
  return true;
}

}  // namespace quelby::survey_records
