#include "quelby/mesh/model_detail.hpp"

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "quelby/base/free_format.hpp"

namespace quelby {
namespace {

enum class Scanned { success, end_of_input, error };

// One free-format read of `needed` items of one kind, as read_into makes it, counting records
// and keeping the token that failed.
class LineCountingScan {
 public:
  explicit LineCountingScan(InputFile& file) : file_(file) {}

  std::int64_t line() const { return line_; }
  std::int64_t count() const { return count_; }
  const std::string& bad_token() const { return bad_token_; }
  ReadErrorKind error() const { return error_; }
  std::int32_t integer(std::size_t k) const { return integers_[k]; }

  Scanned read(bool integers, std::int64_t needed) {
    count_ = 0;
    if (!next()) return Scanned::end_of_input;
    bool after_value = false;
    for (;;) {
      while (p_ < end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
      if (p_ == end_) {
        if (!next()) return Scanned::end_of_input;
        continue;
      }
      if (*p_ == ',') {
        ++p_;
        if (after_value) {
          after_value = false;
        } else if (++count_ == needed) {
          return Scanned::success;
        }
        continue;
      }
      if (*p_ == '/') return Scanned::success;
      const char* const token = p_;
      while (p_ < end_ && !separator(*p_) && *p_ != '*') ++p_;
      std::int64_t repeat = 1;
      std::string_view value(token, static_cast<std::size_t>(p_ - token));
      if (p_ < end_ && *p_ == '*') {
        repeat = repeat_count(value);
        const char* const value_begin = ++p_;
        while (p_ < end_ && !separator(*p_)) ++p_;
        value = std::string_view(value_begin, static_cast<std::size_t>(p_ - value_begin));
        if (repeat < 1) return fail(token, ReadErrorKind::syntax);
      }
      after_value = true;
      if (!value.empty()) {
        ReadErrorKind error;
        if (integers) {
          std::int32_t parsed = 0;
          error = parse_integer(value, parsed);
          if (error == ReadErrorKind::none)
            for (std::int64_t r = 0; r < repeat && count_ + r < 2; ++r)
              integers_[static_cast<std::size_t>(count_ + r)] = parsed;
        } else {
          double parsed = 0;
          error = parse_real(value, parsed);
        }
        if (error != ReadErrorKind::none) return fail(token, error);
      }
      count_ = count_ + repeat < needed ? count_ + repeat : needed;
      if (count_ == needed) return Scanned::success;
    }
  }

 private:
  static bool separator(char c) { return c == ' ' || c == '\t' || c == ',' || c == '/'; }

  // A repeat count: a positive integer within the 32-bit range, else 0.
  static std::int64_t repeat_count(std::string_view text) {
    std::int64_t count = 0;
    if (text.empty()) return 0;
    for (const char c : text) {
      if (c < '0' || c > '9') return 0;
      count = count * 10 + (c - '0');
      if (count > 2147483647) return 0;
    }
    return count;
  }

  bool next() {
    std::string_view record;
    if (!file_.next_record(record)) return false;
    ++line_;
    p_ = record.data();
    end_ = p_ + record.size();
    return true;
  }

  Scanned fail(const char* token, ReadErrorKind error) {
    const char* stop = p_;
    while (stop < end_ && !separator(*stop)) ++stop;
    bad_token_.assign(token, static_cast<std::size_t>(stop - token));
    error_ = error;
    return Scanned::error;
  }

  InputFile& file_;
  std::int64_t line_ = 0;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  std::int64_t count_ = 0;
  std::int32_t integers_[2] = {0, 0};
  std::string bad_token_;
  ReadErrorKind error_ = ReadErrorKind::none;
};

std::string values_text(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " value" : " values");
}

}  // namespace

std::string model_read_detail(std::string_view file_name, std::int32_t nx, std::int32_t nz) {
  const std::string name(file_name);
  // Only a regular file reads again from its start; a pipe would go on where it stopped.
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  InputFile file;
  if (!file.open(name)) return {};
  LineCountingScan scan(file);
  const auto at_line = [&] {
    return name + ":" + std::to_string(scan.line() > 0 ? scan.line() : 1) + ": ";
  };
  const auto refused = [&](bool integer) {
    if (scan.error() == ReadErrorKind::conversion)
      return at_line() + "'" + scan.bad_token() + "' is out of range";
    return at_line() + "'" + scan.bad_token() +
           (integer ? "' is not an integer" : "' is not a number");
  };

  switch (scan.read(true, 2)) {
    case Scanned::end_of_input:
      return at_line() + values_text(scan.count()) + ", 2 expected";
    case Scanned::error:
      return refused(true);
    case Scanned::success:
      break;
  }
  if (scan.integer(0) != nx || scan.integer(1) != nz) {
    return at_line() + std::to_string(scan.integer(0)) + " x " + std::to_string(scan.integer(1)) +
           " cells, the mesh has " + std::to_string(nx) + " x " + std::to_string(nz);
  }
  const std::int64_t expected = static_cast<std::int64_t>(nx) * nz;
  switch (scan.read(false, expected)) {
    case Scanned::end_of_input:
      return at_line() + values_text(scan.count()) + ", " + std::to_string(expected) + " expected";
    case Scanned::error:
      return refused(false);
    case Scanned::success:
      break;
  }
  return {};
}

}  // namespace quelby
