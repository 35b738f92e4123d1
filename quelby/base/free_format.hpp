// Free-format reading: the one tokenizer every input file and the cycles argument go through.
// A read fills a list of integer and real items from records (lines) without regard to columns:
// values are separated by blanks, tabs, commas or record ends; two commas give a null value (the
// item keeps its value); a slash ends the read; r*v repeats v r times and r* gives r null values.
// Every read starts on a new record and discards the rest of the record where it ends.
//
// Reals may be NaN or infinite (written models must read back). Readers of positions (mesh
// segments, topography points, electrode positions, polygon vertices) refuse such a value: a
// position that is not a finite number is a failed read of its line, reported with that reader's
// read-error message, since no order, width or interpolation can be made from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

enum class ReadOutcome { success, end_of_input, error };
enum class ReadErrorKind { none, syntax, conversion };

struct ReadStatus {
  ReadOutcome outcome = ReadOutcome::success;
  ReadErrorKind error = ReadErrorKind::none;
  // Set only when a read fails, for the one line of detail a stop may carry: on an error the text
  // refused (a view into the record, valid until the source moves on) and whether an integer was
  // expected there; at the end of the input, how many items were left without a value.
  std::string_view token = {};
  bool integer_expected = false;
  std::size_t items_left = 0;

  bool ok() const noexcept { return outcome == ReadOutcome::success; }
  // 0 for success, negative for end of input, positive for an error.
  int code() const noexcept {
    return outcome == ReadOutcome::success ? 0 : outcome == ReadOutcome::end_of_input ? -1 : 1;
  }
  // "syntax error", "conversion error" or "end of file"; empty on success.
  std::string_view condition() const noexcept;
};

// One item of a read, or an array of items filled element by element.
class ReadItem {
 public:
  enum class Kind { integer, real };
  ReadItem(std::int32_t& value) noexcept : kind_(Kind::integer), data_(&value), count_(1) {}
  ReadItem(double& value) noexcept : kind_(Kind::real), data_(&value), count_(1) {}
  ReadItem(std::span<std::int32_t> values) noexcept
      : kind_(Kind::integer), data_(values.data()), count_(values.size()) {}
  ReadItem(std::span<double> values) noexcept
      : kind_(Kind::real), data_(values.data()), count_(values.size()) {}

  Kind kind() const noexcept { return kind_; }
  std::size_t count() const noexcept { return count_; }
  std::int32_t* integers() const noexcept { return static_cast<std::int32_t*>(data_); }
  double* reals() const noexcept { return static_cast<double*>(data_); }

 private:
  Kind kind_;
  void* data_;
  std::size_t count_;
};

// A sequence of records. `next_record` yields the next record (without its line end), or false at
// the end of the input; a record longer than the source's window comes as pieces, `next_record`
// handing out the first and `next_piece` the others. A piece ends just after a blank, tab, comma or
// slash, so no value is split between two pieces; only a token longer than the whole window that
// cannot be a number is cut. Views stay valid until the next call.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // Moves past what is left of the record in hand, then yields the next one (or its first piece).
  virtual bool next_record(std::string_view& record) = 0;
  // True when the record in hand goes on after the piece last handed out.
  bool continues() const noexcept { return continues_; }
  // The next piece of the record in hand; false when it has no more.
  virtual bool next_piece(std::string_view& piece) {
    (void)piece;
    return false;
  }

 protected:
  // Set by a source that hands out pieces, while the record in hand goes on (a plain member:
  // every line read asks).
  bool continues_ = false;
};

// An internal read's text: the one and only record, trailing blanks included.
class TextRecord final : public RecordSource {
 public:
  explicit TextRecord(std::string_view text) noexcept : text_(text) {}
  bool next_record(std::string_view& record) override;

 private:
  std::string_view text_;
  bool used_ = false;
};

// A file opened read-only and streamed through one reused buffer, its window: a record that fits
// in it is handed out whole, a longer one in pieces, so that memory stays the window's whatever
// the length of a line. Only a single token longer than the window that may still be a number
// makes the buffer grow, to hold that token whole: every number reads exactly, however many digits
// it is written with, while any other token is cut at the window and refused by the reader. A
// carriage return before a line feed belongs to the line end; a last line without a line feed is
// still a record.
//
// A stream (a pipe, a device such as /dev/zero: anything but a regular file) need never end, nor
// its lines: from a stream no token makes the buffer grow, and passing over the rest of a record
// stops after a window's worth of bytes, the input then ending there (endless_record() says so),
// so that every reader stops at once instead of reading for ever.
class InputFile final : public RecordSource {
 public:
  // The window of a file of at least this size; a smaller regular file gets one of its own size.
  static constexpr std::size_t default_window_bytes = std::size_t{1} << 20;

  InputFile() = default;
  ~InputFile() override;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading; false when it does not exist, cannot be read or is a directory.
  // `window_bytes` (at least 16) bounds the buffer; tests give small ones.
  bool open(const std::string& path, std::size_t window_bytes = default_window_bytes);
  void close() noexcept;
  bool is_open() const noexcept { return descriptor_ >= 0; }
  // Positions the file before its first record.
  void rewind();
  bool next_record(std::string_view& record) override;
  bool next_piece(std::string_view& piece) override;
  // The 1-based number of the record last handed out (pieces do not count); 0 before the first.
  std::size_t record_number() const noexcept { return record_number_; }
  // The bytes of the buffer: at most the window, unless a number longer than it was met.
  std::size_t buffer_bytes() const noexcept { return capacity_; }
  // The open descriptor (-1 when closed) and the byte offset in the file of the next record, for
  // a reader that reads the rest of the file itself (with pread, leaving this file as it is).
  // What is left of the record in hand is passed over first.
  int descriptor() const noexcept { return descriptor_; }
  std::int64_t next_record_offset();
  // The number of line feeds in the whole file, read again in small blocks with pread (the read
  // position stays where it is); nothing for a stream (a pipe, a device), which cannot be read
  // again or need not end. Linear in the file.
  std::optional<std::size_t> count_line_feeds() const;
  // True when the input was ended because a record of a stream went on beyond the window while
  // it was passed over.
  bool endless_record() const noexcept { return endless_record_; }

 private:
  bool fill();
  void grow();
  bool take_line(std::string_view& piece);
  bool take_piece(std::string_view& piece);
  bool pass_over_record();

  int descriptor_ = -1;
  bool regular_ = false;            // a regular file, which ends; anything else is a stream
  std::unique_ptr<char[]> buffer_;  // not zeroed: only the bytes read are ever touched
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // first unread byte
  std::size_t end_ = 0;    // one past the last byte read into the buffer
  bool at_end_ = false;
  std::size_t record_number_ = 0;
  bool read_once_ = false;  // a read since opening or rewinding
  bool endless_record_ = false;
};

// Reads the items in order from `source`. Items not reached keep their values. A token that a
// source cut at its window (one that cannot be a number) is refused as a syntax error.
ReadStatus read_items(RecordSource& source, std::initializer_list<ReadItem> items);
ReadStatus read_items(RecordSource& source, std::span<const ReadItem> items);
// An internal read from `text`.
ReadStatus read_text(std::string_view text, std::initializer_list<ReadItem> items);
// The bulk path for filling a model: the same rules as read_items with one real array item.
ReadStatus read_reals(RecordSource& source, std::span<double> values);

// What scan_plain_reals found in its text.
struct PlainRealsScan {
  std::size_t count = 0;  // values stored
  // The scan met something a plain run of values does not hold before `values` was full: a null
  // value (a comma not following a value, including a comma that begins the text), a slash, a
  // repeat count or a token that is no number. A sequential read must decide what it means.
  bool stopped = false;
};

// Stores the reals of `text` (whole records, each ended by a line feed, with a carriage return
// before it belonging to the line end; a last record without one is still a record) in order into
// `values` until it is full, by the rules of read_reals for blanks, tabs, single commas after a
// value and record ends, and with the same conversion. For a reader that splits a file at line
// ends and scans the parts side by side. Linear in the text.
PlainRealsScan scan_plain_reals(std::string_view text, std::span<double> values) noexcept;

// Parsers of one value token (no separators inside). Exposed for the tests and the fuzzers.
// Integer: optional sign and decimal digits, within the 32-bit range.
ReadErrorKind parse_integer(std::string_view token, std::int32_t& value) noexcept;
// Real: optional sign, digits with or without a decimal point, optional exponent with E, e, D or d
// (or a signed exponent without a letter, as written for three-digit exponents: 1.00000-100);
// also NaN, Inf and Infinity in any case with an optional sign. Correctly rounded; values beyond
// the double range read as infinity or zero.
ReadErrorKind parse_real(std::string_view token, double& value) noexcept;

}  // namespace quelby
