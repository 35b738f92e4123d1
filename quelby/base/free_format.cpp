#include "quelby/base/free_format.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace quelby {

namespace {

constexpr std::size_t first_read_bytes = std::size_t{1} << 16;

// Character classes of the scanner.
enum : std::uint8_t { value_char = 0, blank = 1, comma = 2, slash = 3, star = 4 };

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> classes{};
  classes[static_cast<unsigned char>(' ')] = blank;
  classes[static_cast<unsigned char>('\t')] = blank;
  classes[static_cast<unsigned char>(',')] = comma;
  classes[static_cast<unsigned char>('/')] = slash;
  classes[static_cast<unsigned char>('*')] = star;
  return classes;
}
constexpr std::array<std::uint8_t, 256> character_class = make_classes();

inline std::uint8_t class_of(char c) noexcept {
  return character_class[static_cast<unsigned char>(c)];
}

// A blank, tab, comma or slash: a value never goes on past it, so a piece of a record may end
// after it.
inline bool separates_values(char c) noexcept {
  const std::uint8_t kind = class_of(c);
  return kind == blank || kind == comma || kind == slash;
}

constexpr std::array<double, 23> exact_powers_of_ten = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

inline char lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Whether `text` (with a carriage return that may end it) begins "nan" or "infinity", in any case.
bool begins_a_word(std::string_view text) noexcept {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  for (const std::string_view word : {std::string_view("nan"), std::string_view("infinity")}) {
    if (text.size() > word.size()) continue;
    bool matches = true;
    for (std::size_t k = 0; k < text.size(); ++k) matches = matches && lower(text[k]) == word[k];
    if (matches) return true;
  }
  return false;
}

// Whether `text` (a token, or the start of one) can begin a value that reads: an optional repeat
// count and its star, then a sign and digits, a point and an exponent as a real has them (an
// integer's form is among these), or NaN or Infinity. A carriage return may end it, before a line
// feed. Linear.
bool may_begin_a_number(std::string_view text) noexcept {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  std::size_t k = 0;
  const auto at_end = [&] { return k == text.size(); };
  const auto skip_digits = [&] {
    while (k < text.size() && is_digit(text[k])) ++k;
  };
  const auto skip_one_of = [&](std::string_view set) {
    if (at_end() || set.find(text[k]) == std::string_view::npos) return false;
    ++k;
    return true;
  };
  // A repeat count and its star, or nothing of them.
  skip_digits();
  if (at_end()) return true;
  k = text[k] == '*' && k > 0 ? k + 1 : 0;
  // A sign, then digits with a point, or a word.
  skip_one_of("+-");
  if (at_end()) return true;
  if (!is_digit(text[k]) && text[k] != '.') return begins_a_word(text.substr(k));
  skip_digits();
  if (skip_one_of(".")) skip_digits();
  if (at_end()) return true;
  // An exponent: a letter, a sign or both, then digits.
  const bool letter = skip_one_of("eEdD");
  if (!skip_one_of("+-") && !letter) return false;
  skip_digits();
  return at_end();
}

bool equals_ignoring_case(const char* begin, const char* end, std::string_view word) noexcept {
  if (static_cast<std::size_t>(end - begin) != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lower(begin[i]) != word[i]) return false;
  }
  return true;
}

// Correctly rounded conversion of a validated decimal form that the fast path could not take.
// `mantissa` is digits with an optional point, `exponent` the digits after the exponent letter
// (with their sign), possibly empty.
double convert_slowly(bool negative, std::string_view mantissa, std::string_view exponent) {
  std::string text;
  text.reserve(mantissa.size() + exponent.size() + 3);
  if (negative) text.push_back('-');
  text.append(mantissa);
  if (!exponent.empty()) {
    text.push_back('e');
    text.append(exponent);
  }
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // Beyond the double range: strtod rounds to infinity, a subnormal or zero correctly.
    value = std::strtod(text.c_str(), nullptr);
  }
  return value;
}

// Skips an optional sign; true when it was a minus.
inline bool take_sign(const char*& p, const char* const end) noexcept {
  if (p < end && (*p == '+' || *p == '-')) return *p++ == '-';
  return false;
}

// The common shape of a real, parsed in one pass from the cursor: an optional sign, at most 19
// digits with an optional point, an optional exponent of at most 4 digits, and a power of ten that
// a double holds exactly. Returns where the number ends, or nullptr when the value needs the
// general parser (which gives the same value for every form accepted here: both round correctly).
inline const char* parse_plain_real(const char* p, const char* const end, double& value) noexcept {
  const bool negative = take_sign(p, end);
  std::uint64_t digits = 0;
  int digit_count = 0;
  while (p < end && static_cast<unsigned>(*p - '0') < 10) {
    digits = digits * 10 + static_cast<unsigned>(*p - '0');
    ++p;
    ++digit_count;
  }
  int fraction_digits = 0;
  if (p < end && *p == '.') {
    const char* const fraction = ++p;
    while (p < end && static_cast<unsigned>(*p - '0') < 10) {
      digits = digits * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
    fraction_digits = static_cast<int>(p - fraction);
    digit_count += fraction_digits;
  }
  if (digit_count == 0 || digit_count > 19) return nullptr;
  int exponent = 0;
  const char next = p < end ? *p : ' ';
  const char letter = static_cast<char>(next | 0x20);
  if (letter == 'e' || letter == 'd' || next == '+' || next == '-') {
    if (letter == 'e' || letter == 'd') ++p;
    const bool exponent_negative = take_sign(p, end);
    const char* const exponent_digits = p;
    while (p < end && static_cast<unsigned>(*p - '0') < 10 && p - exponent_digits < 4) {
      exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (p == exponent_digits || (p < end && static_cast<unsigned>(*p - '0') < 10)) return nullptr;
    if (exponent_negative) exponent = -exponent;
  }
  const int power = exponent - fraction_digits;
  if (power < -22 || power > 22 || digits > (std::uint64_t{1} << 53)) return nullptr;
  double magnitude = static_cast<double>(digits);
  magnitude = power < 0 ? magnitude / exact_powers_of_ten[static_cast<std::size_t>(-power)]
                        : magnitude * exact_powers_of_ten[static_cast<std::size_t>(power)];
  value = negative ? -magnitude : magnitude;
  return p;
}

}  // namespace

std::string_view ReadStatus::condition() const noexcept {
  switch (outcome) {
    case ReadOutcome::success:
      return {};
    case ReadOutcome::end_of_input:
      return "end of file";
    case ReadOutcome::error:
      return error == ReadErrorKind::conversion ? "conversion error" : "syntax error";
  }
  return {};
}

ReadErrorKind parse_integer(std::string_view token, std::int32_t& value) noexcept {
  const char* p = token.data();
  const char* const end = p + token.size();
  const bool negative = take_sign(p, end);
  if (p == end) return ReadErrorKind::syntax;
  std::int64_t magnitude = 0;
  bool too_large = false;
  for (; p < end; ++p) {
    if (!is_digit(*p)) return ReadErrorKind::syntax;
    if (!too_large) {
      magnitude = magnitude * 10 + (*p - '0');
      too_large = magnitude > std::int64_t{1} << 31;
    }
  }
  const std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (too_large || signed_value > std::numeric_limits<std::int32_t>::max() ||
      signed_value < std::numeric_limits<std::int32_t>::min()) {
    return ReadErrorKind::conversion;
  }
  value = static_cast<std::int32_t>(signed_value);
  return ReadErrorKind::none;
}

ReadErrorKind parse_real(std::string_view token, double& value) noexcept {
  const char* p = token.data();
  const char* const end = p + token.size();
  double plain = 0;
  if (parse_plain_real(p, end, plain) == end) {
    value = plain;
    return ReadErrorKind::none;
  }

  const bool negative = take_sign(p, end);
  if (p == end) return ReadErrorKind::syntax;
  const char first = lower(*p);
  if (first == 'n' || first == 'i') {
    double special;
    if (equals_ignoring_case(p, end, "nan")) {
      special = std::numeric_limits<double>::quiet_NaN();
    } else if (equals_ignoring_case(p, end, "inf") || equals_ignoring_case(p, end, "infinity")) {
      special = std::numeric_limits<double>::infinity();
    } else {
      return ReadErrorKind::syntax;
    }
    value = negative ? -special : special;
    return ReadErrorKind::none;
  }

  // Check the form, then let the correctly rounded conversion take it whole.
  const char* const mantissa_begin = p;
  bool any_digit = false;
  bool nonzero = false;
  const auto take_digits = [&] {
    for (; p < end && is_digit(*p); ++p) {
      any_digit = true;
      nonzero = nonzero || *p != '0';
    }
  };
  take_digits();
  if (p < end && *p == '.') {
    ++p;
    take_digits();
  }
  if (!any_digit) return ReadErrorKind::syntax;
  const char* const mantissa_end = p;
  const char* exponent_begin = end;
  if (p < end) {
    // A written field whose exponent has three digits carries no letter ("1.00000-100"), so a
    // sign alone also starts the exponent.
    const char letter = lower(*p);
    if (letter == 'e' || letter == 'd') {
      ++p;
    } else if (letter != '+' && letter != '-') {
      return ReadErrorKind::syntax;
    }
    exponent_begin = p;
    take_sign(p, end);
    if (p == end) return ReadErrorKind::syntax;
    for (; p < end; ++p) {
      if (!is_digit(*p)) return ReadErrorKind::syntax;
    }
  }
  if (!nonzero) {
    value = negative ? -0.0 : 0.0;
    return ReadErrorKind::none;
  }
  try {
    value =
        convert_slowly(negative, std::string_view(mantissa_begin, mantissa_end - mantissa_begin),
                       std::string_view(exponent_begin, end - exponent_begin));
  } catch (const std::bad_alloc&) {
    return ReadErrorKind::conversion;
  }
  return ReadErrorKind::none;
}

// ---------------------------------------------------------------------------------------------
// Records

bool TextRecord::next_record(std::string_view& record) {
  if (used_) return false;
  used_ = true;
  record = text_;
  return true;
}

InputFile::~InputFile() {
  close();
}

bool InputFile::open(const std::string& path, std::size_t window_bytes) {
  close();
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(descriptor);
    return false;
  }
  descriptor_ = descriptor;
  regular_ = S_ISREG(status.st_mode);
  // A small regular file gets a buffer of its own size (in whole pages), anything else the whole
  // window; a record longer than the buffer comes in pieces, so the size is only a matter of speed.
  std::size_t wanted = std::max<std::size_t>(window_bytes, 16);
  if (S_ISREG(status.st_mode) && status.st_size >= 0 &&
      static_cast<std::uint64_t>(status.st_size) < wanted) {
    wanted = std::min(wanted,
                      (static_cast<std::size_t>(status.st_size) + 1 + 4095) & ~std::size_t{4095});
  }
  if (capacity_ != wanted) {
    buffer_.reset();
    buffer_ = std::make_unique_for_overwrite<char[]>(wanted);
    capacity_ = wanted;
  }
  begin_ = end_ = 0;
  at_end_ = false;
  continues_ = false;
  record_number_ = 0;
  read_once_ = false;
  endless_record_ = false;
  return true;
}

std::int64_t InputFile::next_record_offset() {
  if (descriptor_ < 0 || !pass_over_record()) return -1;
  const off_t read_so_far = ::lseek(descriptor_, 0, SEEK_CUR);
  if (read_so_far < 0) return -1;
  return static_cast<std::int64_t>(read_so_far) - static_cast<std::int64_t>(end_ - begin_);
}

std::optional<std::size_t> InputFile::count_line_feeds() const {
  if (descriptor_ < 0 || !regular_) return std::nullopt;
  char block[1 << 16];
  std::size_t line_feeds = 0;
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(descriptor_, block, sizeof block, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return line_feeds;
    line_feeds += static_cast<std::size_t>(std::count(block, block + got, '\n'));
    offset += got;
  }
}

void InputFile::close() noexcept {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
}

void InputFile::rewind() {
  if (descriptor_ >= 0) ::lseek(descriptor_, 0, SEEK_SET);
  begin_ = end_ = 0;
  at_end_ = descriptor_ < 0;
  continues_ = false;
  record_number_ = 0;
  read_once_ = false;
  endless_record_ = false;
}

void InputFile::grow() {
  auto larger = std::make_unique_for_overwrite<char[]>(capacity_ * 2);
  std::memcpy(larger.get(), buffer_.get() + begin_, end_ - begin_);
  buffer_ = std::move(larger);
  capacity_ *= 2;
  end_ -= begin_;
  begin_ = 0;
}

bool InputFile::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  // The first read after opening takes a little: a reader that wants only a header (or a small
  // file) then touches few fresh pages of the buffer, at about 10 microseconds each.
  const std::size_t room = capacity_ - end_;
  const std::size_t wanted = read_once_ ? room : std::min(room, first_read_bytes);
  read_once_ = true;
  for (;;) {
    const ssize_t count = ::read(descriptor_, buffer_.get() + end_, wanted);
    if (count > 0) {
      end_ += static_cast<std::size_t>(count);
      return true;
    }
    if (count < 0 && errno == EINTR) continue;
    // End of file; a failing read ends the input as well.
    at_end_ = true;
    return false;
  }
}

// The rest of the record in hand when its line end is in the buffer; false otherwise.
inline bool InputFile::take_line(std::string_view& piece) {
  const char* const base = buffer_.get();
  const void* const line_feed = std::memchr(base + begin_, '\n', end_ - begin_);
  if (line_feed == nullptr) return false;
  const std::size_t position = static_cast<std::size_t>(static_cast<const char*>(line_feed) - base);
  std::size_t length = position - begin_;
  if (length > 0 && base[position - 1] == '\r') --length;
  piece = std::string_view(base + begin_, length);
  begin_ = position + 1;
  continues_ = false;
  return true;
}

// The rest of the record in hand up to its line end, or, when the full buffer holds no line end,
// up to just after the last separator in it (at its end when there is none).
bool InputFile::take_piece(std::string_view& piece) {
  for (;;) {
    if (take_line(piece)) return true;
    const char* const base = buffer_.get();
    if (at_end_) {
      const bool any = begin_ < end_;
      piece = std::string_view(base + begin_, end_ - begin_);
      begin_ = end_;
      continues_ = false;
      return any;
    }
    if (begin_ > 0 || end_ < capacity_) {
      fill();
      continue;
    }
    std::size_t cut = end_;
    while (cut > begin_ && !separates_values(base[cut - 1])) --cut;
    if (cut == begin_) {
      // One token fills the window. While it can still be a number it is held whole, so that
      // every number reads exactly (however many digits it is written with); anything else, and
      // any token of a stream (whose digits may never end), is cut here, keeping a carriage
      // return for the line feed that may follow, and refused.
      if (regular_ && may_begin_a_number(std::string_view(base + begin_, end_ - begin_))) {
        grow();
        continue;
      }
      cut = end_;
      if (base[cut - 1] == '\r' && cut - 1 > begin_) --cut;
    }
    piece = std::string_view(base + begin_, cut - begin_);
    begin_ = cut;
    continues_ = true;
    return true;
  }
}

// Moves past what is left of the record in hand. A stream's record is passed over for at most a
// window's worth of bytes: beyond that the input ends here, since the record may never end.
bool InputFile::pass_over_record() {
  std::size_t passed = 0;
  std::string_view rest;
  while (continues_) {
    if (!regular_ && passed >= capacity_) {
      begin_ = end_;
      at_end_ = true;
      continues_ = false;
      endless_record_ = true;
      return false;
    }
    take_piece(rest);
    passed += rest.size();
  }
  return !endless_record_;
}

bool InputFile::next_record(std::string_view& record) {
  if (descriptor_ < 0 || !pass_over_record()) return false;
  // A whole line in the buffer is the common case.
  if (!take_line(record) && !take_piece(record)) return false;
  ++record_number_;
  return true;
}

bool InputFile::next_piece(std::string_view& piece) {
  if (descriptor_ < 0 || !continues_) return false;
  return take_piece(piece);
}

// ---------------------------------------------------------------------------------------------
// Reads

namespace {

// Items of a general read, walked element by element.
class ItemSink {
 public:
  static constexpr bool plain_reals = false;
  explicit ItemSink(std::span<const ReadItem> items) noexcept : items_(items) {
    for (const ReadItem& item : items) remaining_ += item.count();
    skip_empty_items();
  }
  std::size_t remaining() const noexcept { return remaining_; }
  bool expects_integer() const noexcept {
    return remaining_ > 0 && items_[item_].kind() == ReadItem::Kind::integer;
  }

  ReadErrorKind assign(std::string_view token) noexcept {
    const ReadItem& item = items_[item_];
    const ReadErrorKind error = item.kind() == ReadItem::Kind::integer
                                    ? parse_integer(token, item.integers()[element_])
                                    : parse_real(token, item.reals()[element_]);
    if (error == ReadErrorKind::none) skip(1);
    return error;
  }
  // The token is parsed once for each item its run reaches (the kinds may differ) and copied over
  // the item's share of the run: the same values as parsing it element by element.
  ReadErrorKind assign_repeated(std::size_t repeat, std::string_view token) noexcept {
    while (repeat > 0 && remaining_ > 0) {
      const ReadItem& item = items_[item_];
      const std::size_t available = item.count() - element_;
      const std::size_t count = repeat < available ? repeat : available;
      if (item.kind() == ReadItem::Kind::integer) {
        std::int32_t* const first = item.integers() + element_;
        const ReadErrorKind error = parse_integer(token, *first);
        if (error != ReadErrorKind::none) return error;
        std::fill(first + 1, first + count, *first);
      } else {
        double* const first = item.reals() + element_;
        const ReadErrorKind error = parse_real(token, *first);
        if (error != ReadErrorKind::none) return error;
        std::fill(first + 1, first + count, *first);
      }
      skip(count);
      repeat -= count;
    }
    return ReadErrorKind::none;
  }
  void skip(std::size_t count) noexcept {
    while (count > 0 && remaining_ > 0) {
      const std::size_t available = items_[item_].count() - element_;
      const std::size_t taken = count < available ? count : available;
      element_ += taken;
      remaining_ -= taken;
      count -= taken;
      if (element_ == items_[item_].count()) {
        ++item_;
        element_ = 0;
        skip_empty_items();
      }
    }
  }

 private:
  void skip_empty_items() noexcept {
    while (item_ < items_.size() && items_[item_].count() == 0) ++item_;
  }

  std::span<const ReadItem> items_;
  std::size_t item_ = 0;
  std::size_t element_ = 0;
  std::size_t remaining_ = 0;
};

// One array of reals, filled in order: the path that loads models.
class RealSink {
 public:
  static constexpr bool plain_reals = true;
  explicit RealSink(std::span<double> values) noexcept
      : next_(values.data()), end_(values.data() + values.size()) {}
  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - next_); }
  static constexpr bool expects_integer() noexcept { return false; }

  ReadErrorKind assign(std::string_view token) noexcept {
    const ReadErrorKind error = parse_real(token, *next_);
    if (error == ReadErrorKind::none) ++next_;
    return error;
  }
  ReadErrorKind assign_repeated(std::size_t repeat, std::string_view token) noexcept {
    double value = 0;
    const ReadErrorKind error = parse_real(token, value);
    if (error != ReadErrorKind::none) return error;
    const std::size_t count = repeat < remaining() ? repeat : remaining();
    std::fill(next_, next_ + count, value);
    next_ += count;
    return ReadErrorKind::none;
  }
  void skip(std::size_t count) noexcept { next_ += count < remaining() ? count : remaining(); }
  void put(double value) noexcept { *next_++ = value; }

 private:
  double* next_;
  double* end_;
};

// A repeat count: a positive integer without sign.
bool parse_repeat(const char* begin, const char* end, std::size_t& repeat) noexcept {
  if (begin == end) return false;
  std::uint64_t count = 0;
  for (const char* p = begin; p < end; ++p) {
    if (!is_digit(*p)) return false;
    count = count * 10 + static_cast<std::uint64_t>(*p - '0');
    if (count > std::numeric_limits<std::int32_t>::max()) return false;
  }
  if (count == 0) return false;
  repeat = static_cast<std::size_t>(count);
  return true;
}

// The failures carry what a stop's detail needs; they are built only on the way out of a read.
ReadStatus error_status(ReadErrorKind kind, std::string_view token, bool integer) noexcept {
  return {ReadOutcome::error, kind, token, integer, 0};
}
ReadStatus end_of_input(std::size_t items_left) noexcept {
  return {ReadOutcome::end_of_input, ReadErrorKind::none, {}, false, items_left};
}
constexpr ReadStatus success{ReadOutcome::success, ReadErrorKind::none};

// The whole token that starts at `p`: value characters and repeat stars up to a separator.
std::string_view whole_token(const char* p, const char* end) noexcept {
  const char* q = p;
  while (q < end && (class_of(*q) == value_char || class_of(*q) == star)) ++q;
  return std::string_view(p, static_cast<std::size_t>(q - p));
}

// The text that follows the piece in hand: the next piece of its record, or the next record.
bool next_text(RecordSource& source, std::string_view& text) {
  if (source.continues() && source.next_piece(text)) return true;
  return source.next_record(text);
}

template <class Sink>
ReadStatus read_into(RecordSource& source, Sink& sink) {
  std::string_view record;
  if (!source.next_record(record)) return end_of_input(sink.remaining());
  if (sink.remaining() == 0) return success;
  // After a value, the first comma is that value's separator; any further comma is a null value.
  bool after_value = false;
  const char* p = record.data();
  const char* end = p + record.size();
  // A token that runs to the end of a piece whose record goes on is longer than the window.
  bool piece_continues = source.continues();
  const auto cut_by_window = [&] { return p == end && piece_continues; };
  for (;;) {
    while (p < end && class_of(*p) == blank) ++p;
    if (p == end) {
      if (!next_text(source, record)) return end_of_input(sink.remaining());
      p = record.data();
      end = p + record.size();
      piece_continues = source.continues();
      continue;
    }
    const std::uint8_t kind = class_of(*p);
    if (kind == comma) {
      ++p;
      if (after_value) {
        after_value = false;
      } else {
        sink.skip(1);
        if (sink.remaining() == 0) return success;
      }
      continue;
    }
    if (kind == slash) return success;

    if constexpr (Sink::plain_reals) {
      double value = 0;
      const char* const stop = parse_plain_real(p, end, value);
      if (stop != nullptr &&
          (stop == end ? !piece_continues
                       : class_of(*stop) != value_char && class_of(*stop) != star)) {
        sink.put(value);
        p = stop;
        after_value = true;
        if (sink.remaining() == 0) return success;
        continue;
      }
    }
    const char* const token = p;
    while (p < end && class_of(*p) == value_char) ++p;
    after_value = true;
    ReadErrorKind error;
    if (p < end && class_of(*p) == star) {
      std::size_t repeat = 0;
      if (!parse_repeat(token, p, repeat)) {
        return error_status(ReadErrorKind::syntax, whole_token(token, end), sink.expects_integer());
      }
      const char* const value = ++p;
      while (p < end && (class_of(*p) == value_char || class_of(*p) == star)) ++p;
      if (cut_by_window()) {
        error = ReadErrorKind::syntax;
      } else if (p == value) {
        sink.skip(repeat);
        error = ReadErrorKind::none;
      } else {
        error = sink.assign_repeated(repeat, std::string_view(value, p - value));
      }
    } else if (cut_by_window()) {
      error = ReadErrorKind::syntax;
    } else {
      error = sink.assign(std::string_view(token, p - token));
    }
    if (error != ReadErrorKind::none) {
      return error_status(error, whole_token(token, end), sink.expects_integer());
    }
    if (sink.remaining() == 0) return success;
  }
}

}  // namespace

ReadStatus read_items(RecordSource& source, std::span<const ReadItem> items) {
  ItemSink sink(items);
  return read_into(source, sink);
}

ReadStatus read_items(RecordSource& source, std::initializer_list<ReadItem> items) {
  return read_items(source, std::span<const ReadItem>(items.begin(), items.size()));
}

ReadStatus read_text(std::string_view text, std::initializer_list<ReadItem> items) {
  TextRecord record(text);
  return read_items(record, items);
}

ReadStatus read_reals(RecordSource& source, std::span<double> values) {
  RealSink sink(values);
  return read_into(source, sink);
}

// ---------------------------------------------------------------------------------------------
// Plain runs of reals, for the parallel model reader

PlainRealsScan scan_plain_reals(std::string_view text, std::span<double> values) noexcept {
  PlainRealsScan scan;
  double* next = values.data();
  double* const full = next + values.size();
  const char* record_begin = text.data();
  const char* const text_end = record_begin + text.size();
  bool after_value = false;
  while (next < full && record_begin < text_end) {
    const char* line_feed =
        static_cast<const char*>(std::memchr(record_begin, '\n', text_end - record_begin));
    const char* end = line_feed != nullptr ? line_feed : text_end;
    const char* const following = line_feed != nullptr ? line_feed + 1 : text_end;
    if (line_feed != nullptr && end > record_begin && end[-1] == '\r') --end;
    const char* p = record_begin;
    // As in read_into with one real array: the fast path, else the token with parse_real.
    while (next < full) {
      while (p < end && class_of(*p) == blank) ++p;
      if (p == end) break;
      const std::uint8_t kind = class_of(*p);
      if (kind == comma && after_value) {
        after_value = false;
        ++p;
        continue;
      }
      if (kind != value_char) {
        scan.stopped = true;
        scan.count = static_cast<std::size_t>(next - values.data());
        return scan;
      }
      double value = 0;
      const char* const stop = parse_plain_real(p, end, value);
      if (stop != nullptr &&
          (stop == end || (class_of(*stop) != value_char && class_of(*stop) != star))) {
        *next++ = value;
        p = stop;
        after_value = true;
        continue;
      }
      const char* const token = p;
      while (p < end && class_of(*p) == value_char) ++p;
      if ((p < end && class_of(*p) == star) ||
          parse_real(std::string_view(token, p - token), value) != ReadErrorKind::none) {
        scan.stopped = true;
        scan.count = static_cast<std::size_t>(next - values.data());
        return scan;
      }
      *next++ = value;
      after_value = true;
    }
    record_begin = following;
  }
  scan.count = static_cast<std::size_t>(next - values.data());
  return scan;
}

}  // namespace quelby
