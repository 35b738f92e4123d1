#include "quelby/base/free_format.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/string_records.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::TempFolder;

std::uint64_t bits(double value) {
  return std::bit_cast<std::uint64_t>(value);
}

// Reads `count` reals with one read from a file holding `content`.
struct RealsRead {
  ReadStatus status;
  std::vector<double> values;
};

// Up to `most` of `pieces` drawn at random, each followed by a blank or, one time in three, a
// comma.
std::string random_text(std::mt19937& random, const std::vector<std::string>& pieces, int most) {
  std::string text;
  const int length = std::uniform_int_distribution<int>(0, most)(random);
  for (int p = 0; p < length; ++p) {
    text += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
    text += random() % 3 == 0 ? "," : " ";
  }
  return text;
}

RealsRead read_reals_from(const std::string& content, std::size_t count, double initial = -7) {
  TempFolder folder;
  InputFile file;
  EXPECT_TRUE(file.open(folder.write("input.txt", content)));
  RealsRead result{{}, std::vector<double>(count, initial)};
  result.status = read_items(file, {std::span<double>(result.values)});
  return result;
}

TEST(FreeFormat, SeparatorsAreBlanksTabsAndCommas) {
  const struct {
    std::string text;
  } cases[] = {{"1 2 3 4"}, {"1\t2\t\t3 \t 4"}, {"1,2,3,4"}, {"1 , 2 ,3, 4"}, {"1,\t2 3\t,4"}};
  for (const auto& c : cases) {
    std::int32_t a = 0, b = 0, d = 0, e = 0;
    EXPECT_TRUE(read_text(c.text, {a, b, d, e}).ok()) << c.text;
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(d, 3);
    EXPECT_EQ(e, 4) << c.text;
  }
}

TEST(FreeFormat, EachReadStartsOnANewRecordAndDiscardsTheRestOfItsLast) {
  TempFolder folder;
  InputFile file;
  ASSERT_TRUE(file.open(folder.write("in.txt", "3 4 5 notes here\n\n   \n6\r\n7\n8 9")));
  std::int32_t a = 0, b = 0;
  ASSERT_TRUE(read_items(file, {a, b}).ok());
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
  // The 5 and the notes are discarded; empty and blank records are passed over; CR LF ends a line.
  ASSERT_TRUE(read_items(file, {a, b}).ok());
  EXPECT_EQ(a, 6);
  EXPECT_EQ(b, 7);
  // A last record without a line feed is still a record.
  ASSERT_TRUE(read_items(file, {a}).ok());
  EXPECT_EQ(a, 8);
  EXPECT_EQ(read_items(file, {a}).outcome, ReadOutcome::end_of_input);
  // Rewinding reads the file again from its start.
  file.rewind();
  ASSERT_TRUE(read_items(file, {a}).ok());
  EXPECT_EQ(a, 3);
}

TEST(FreeFormat, ValuesSpreadOverLinesReadLikeOneLine) {
  const RealsRead one_line = read_reals_from("1 2 3 4\n", 4);
  const RealsRead many = read_reals_from("1\n\n2 3\n\t\n4\n", 4);
  ASSERT_TRUE(one_line.status.ok());
  ASSERT_TRUE(many.status.ok());
  EXPECT_EQ(one_line.values, many.values);
  EXPECT_EQ(many.values, (std::vector<double>{1, 2, 3, 4}));
}

TEST(FreeFormat, NullValuesAndSlashKeepPreviousValues) {
  const struct {
    std::string text;
    std::vector<double> expected;
    ReadOutcome outcome;
  } cases[] = {
      {"1,,3", {1, -7, 3}, ReadOutcome::success},
      {",2,3", {-7, 2, 3}, ReadOutcome::success},
      {"1, ,3", {1, -7, 3}, ReadOutcome::success},
      {"1 ,, 3", {1, -7, 3}, ReadOutcome::success},
      {"1,\n,3", {1, -7, 3}, ReadOutcome::success},
      {"1,\n3\n4", {1, 3, 4}, ReadOutcome::success},  // a comma before a line end is one separator
      {"1/ 2 3", {1, -7, -7}, ReadOutcome::success},
      {"1 / 2 3", {1, -7, -7}, ReadOutcome::success},
      {"/", {-7, -7, -7}, ReadOutcome::success},
      {"1,2,", {1, 2, -7}, ReadOutcome::end_of_input},
      {"1,2,,", {1, 2, -7}, ReadOutcome::success},
      {"1 2", {1, 2, -7}, ReadOutcome::end_of_input},
  };
  for (const auto& c : cases) {
    const RealsRead read = read_reals_from(c.text, 3);
    EXPECT_EQ(read.status.outcome, c.outcome) << c.text;
    EXPECT_EQ(read.values, c.expected) << c.text;
  }
}

TEST(FreeFormat, RepeatCountsFillItems) {
  const struct {
    std::string text;
    std::vector<double> expected;
    ReadOutcome outcome;
  } cases[] = {
      {"3*1.5", {1.5, 1.5, 1.5}, ReadOutcome::success},
      {"2*1.5 4", {1.5, 1.5, 4}, ReadOutcome::success},
      {"1 5*2", {1, 2, 2}, ReadOutcome::success},  // more copies than items
      {"2* 9", {-7, -7, 9}, ReadOutcome::success},
      {"2*,9", {-7, -7, 9}, ReadOutcome::success},
      {"1 2*/", {1, -7, -7}, ReadOutcome::success},
      {"0*5", {-7, -7, -7}, ReadOutcome::error},
      {"-2*5", {-7, -7, -7}, ReadOutcome::error},
      {"x*5", {-7, -7, -7}, ReadOutcome::error},
      {"2*3*4", {-7, -7, -7}, ReadOutcome::error},
      {"2*abc", {-7, -7, -7}, ReadOutcome::error},
  };
  for (const auto& c : cases) {
    const RealsRead read = read_reals_from(c.text, 3);
    EXPECT_EQ(read.status.outcome, c.outcome) << c.text;
    EXPECT_EQ(read.values, c.expected) << c.text;
  }
  std::int32_t a = 0, b = 0;
  double x = 0;
  ASSERT_TRUE(read_text("3*2", {a, b, x}).ok());
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(x, 2.0);
  // A run across arrays and kinds: each element as if the token were read on its own.
  std::vector<std::int32_t> first(3, -7);
  std::vector<double> second(2, -7);
  std::int32_t last = -7;
  ASSERT_TRUE(read_text("2*4 3*5 1", {ReadItem(first), ReadItem(second), last}).ok());
  EXPECT_EQ(first, (std::vector<std::int32_t>{4, 4, 5}));
  EXPECT_EQ(second, (std::vector<double>{5, 5}));
  EXPECT_EQ(last, 1);
  // A real token repeated into a real and then an integer: the real is set, the integer fails.
  double y = -7;
  std::int32_t c = -7;
  EXPECT_FALSE(read_text("2*2.5", {y, c}).ok());
  EXPECT_EQ(y, 2.5);
}

TEST(FreeFormat, IntegerForms) {
  const struct {
    std::string text;
    ReadErrorKind error;
    std::int32_t value;
  } cases[] = {
      {"42", ReadErrorKind::none, 42},
      {"+42", ReadErrorKind::none, 42},
      {"-42", ReadErrorKind::none, -42},
      {"007", ReadErrorKind::none, 7},
      {"2147483647", ReadErrorKind::none, 2147483647},
      {"-2147483648", ReadErrorKind::none, std::numeric_limits<std::int32_t>::min()},
      {"2147483648", ReadErrorKind::conversion, 0},
      {"-2147483649", ReadErrorKind::conversion, 0},
      {"99999999999999999999999", ReadErrorKind::conversion, 0},
      {"4.0", ReadErrorKind::syntax, 0},
      {"4e2", ReadErrorKind::syntax, 0},
      {"abc", ReadErrorKind::syntax, 0},
      {"-", ReadErrorKind::syntax, 0},
      {"+", ReadErrorKind::syntax, 0},
      {"nan", ReadErrorKind::syntax, 0},
      {"inf", ReadErrorKind::syntax, 0},
      {"1-", ReadErrorKind::syntax, 0},
  };
  for (const auto& c : cases) {
    std::int32_t value = 0;
    EXPECT_EQ(parse_integer(c.text, value), c.error) << c.text;
    if (c.error == ReadErrorKind::none) {
      EXPECT_EQ(value, c.value) << c.text;
    }
    const ReadStatus status = read_text(c.text, {value});
    EXPECT_EQ(status.error, c.error) << c.text;
  }
}

TEST(FreeFormat, RealForms) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::string text;
    double value;
  } valid[] = {
      {"2.5E3", 2500},
      {"2.5d3", 2500},
      {"2.5D+3", 2500},
      {"2500", 2500},
      {"+2500.", 2500},
      {".25e4", 2500},
      {"25000e-1", 2500},
      {"-0.5", -0.5},
      {"5", 5},
      {"1e400", inf},
      {"-1D400", -inf},
      {"1e-400", 0},
      {"Inf", inf},
      {"-infinity", -inf},
      {"+INFINITY", inf},
      {"0e999999999", 0},
      {"4.9e-324", std::numeric_limits<double>::denorm_min()},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"0.000000000000000000000000000001", 1e-30},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
      {"0." + std::string(2'000'000, '0') + "1e2000001", 1.0},
      {"0." + std::string(9'999'990, '0') + "1e99999999999", inf},
      {"1.00000-100", 1e-100},
      {"-4.94066-324", -4.94066e-324},
      {"2.5+3", 2500},
  };
  for (const auto& c : valid) {
    double value = -7;
    ASSERT_EQ(parse_real(c.text, value), ReadErrorKind::none) << c.text;
    EXPECT_EQ(bits(value), bits(c.value)) << c.text;
  }
  double value = 0;
  ASSERT_EQ(parse_real("NaN", value), ReadErrorKind::none);
  EXPECT_TRUE(std::isnan(value));
  ASSERT_EQ(parse_real("-nan", value), ReadErrorKind::none);
  EXPECT_TRUE(std::isnan(value) && std::signbit(value));
  ASSERT_EQ(parse_real("-0.0", value), ReadErrorKind::none);
  EXPECT_EQ(bits(value), bits(-0.0));

  for (const std::string bad :
       {"abc",   "-",    "+",       ".",  "1e",  "1e+",  "e5", "1.5.2", "1..",  "0x10",   "1,5e",
        "1e5.0", "nana", "infinit", "1f", "--1", "1 e5", "1-", "1e-+5", "1+-5", "1.0-1.0"}) {
    EXPECT_EQ(parse_real(bad, value), ReadErrorKind::syntax) << bad;
  }
}

TEST(FreeFormat, RealsRoundCorrectlyOnEveryPath) {
  std::mt19937_64 random(20261208);
  std::uniform_int_distribution<int> digit_count(1, 25);
  std::uniform_int_distribution<int> exponent(-330, 330);
  std::uniform_int_distribution<int> digit(0, 9);
  for (int n = 0; n < 50000; ++n) {
    std::string text;
    if (n % 3 == 0) text += '-';
    const int digits = digit_count(random);
    const int point = std::uniform_int_distribution<int>(0, digits)(random);
    for (int d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      text += static_cast<char>('0' + digit(random));
    }
    if (n % 2 == 0) {
      text.push_back('e');
      text.append(std::to_string(n % 4 == 0 ? exponent(random) % 25 : exponent(random)));
    }
    double value = 0;
    ASSERT_EQ(parse_real(text, value), ReadErrorKind::none) << text;
    EXPECT_EQ(bits(value), bits(std::strtod(text.c_str(), nullptr))) << text;
  }
}

TEST(FreeFormat, EndOfInputAndErrorAreTold) {
  std::int32_t a = 5;
  double x = 0;
  EXPECT_EQ(read_text("", {a}).outcome, ReadOutcome::end_of_input);
  EXPECT_EQ(read_text("   ", {a}).outcome, ReadOutcome::end_of_input);
  EXPECT_EQ(read_text("   ", {a}).condition(), "end of file");
  const ReadStatus syntax = read_text("abc", {a});
  EXPECT_EQ(syntax.outcome, ReadOutcome::error);
  EXPECT_EQ(syntax.condition(), "syntax error");
  EXPECT_GT(syntax.code(), 0);
  EXPECT_EQ(read_text("9999999999", {a}).condition(), "conversion error");
  // Items assigned before the end keep their new values.
  EXPECT_EQ(read_text("3", {a, x}).outcome, ReadOutcome::end_of_input);
  EXPECT_EQ(a, 3);
  EXPECT_LT(read_text("3", {a, x}).code(), 0);
  // An internal read takes its first value and ignores the rest of the text.
  EXPECT_TRUE(read_text("  7 words after", {a}).ok());
  EXPECT_EQ(a, 7);
  EXPECT_TRUE(read_text("8,9", {a}).ok());
  EXPECT_EQ(a, 8);

  TempFolder folder;
  InputFile file;
  ASSERT_TRUE(file.open(folder.write("empty.txt", "")));
  EXPECT_EQ(read_items(file, {a}).outcome, ReadOutcome::end_of_input);
  EXPECT_FALSE(file.open(folder.file("missing.txt")));
  EXPECT_FALSE(file.open(folder.path().string()));  // a directory is not an input file
}

// A line longer than the window is read in pieces cut between values: the buffer never grows, and
// the values are those of the line.
TEST(FreeFormat, LinesLongerThanTheWindowReadInPieces) {
  std::string content;
  const std::size_t count = 400000;  // about 3 MB on one line
  for (std::size_t i = 0; i < count; ++i) content += std::to_string(i) + ".25 ";
  content += "\n7\n";
  TempFolder folder;
  InputFile file;
  ASSERT_TRUE(file.open(folder.write("long.txt", content)));
  std::vector<double> values(count);
  ASSERT_TRUE(read_reals(file, values).ok());
  for (std::size_t i = 0; i < count; i += 9973) EXPECT_EQ(values[i], static_cast<double>(i) + 0.25);
  EXPECT_EQ(values.back(), static_cast<double>(count - 1) + 0.25);
  std::int32_t next = 0;
  ASSERT_TRUE(read_items(file, {next}).ok());
  EXPECT_EQ(next, 7);
  EXPECT_EQ(file.record_number(), 2u);
  EXPECT_LE(file.buffer_bytes(), InputFile::default_window_bytes);
}

// Reading through small windows gives what reading whole lines gives, read after read: the same
// outcomes, values, refused text and items left, on random texts whose values fit the window.
TEST(FreeFormat, SmallWindowsReadLikeWholeLines) {
  std::mt19937 random(2024);
  const std::vector<std::string> pieces = {
      "1.5",     "-2", "3e2",  "2*7", "3*", ",",  ", ,",  " ",
      "\t",      "\n", "\r\n", "/",   "x",  "1e", "5\r3", "12345678901234567890",
      "0.5-200", "7"};
  TempFolder folder;
  for (int n = 0; n < 500; ++n) {
    const std::string text = random_text(random, pieces, 200);
    const std::size_t window = std::size_t{24} << std::uniform_int_distribution<int>(0, 3)(random);
    InputFile file;
    ASSERT_TRUE(file.open(folder.write("in.txt", text), window));
    testing::StringRecords lines(text);
    for (int r = 0; r < 12; ++r) {
      const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 12)(random);
      std::vector<double> got(count, -1), expected(count, -1);
      const ReadStatus got_status = read_reals(file, got);
      const ReadStatus expected_status = read_items(lines, {std::span<double>(expected)});
      ASSERT_EQ(got_status.outcome, expected_status.outcome) << text;
      EXPECT_EQ(got_status.error, expected_status.error) << text;
      EXPECT_EQ(got_status.token, expected_status.token) << text;
      EXPECT_EQ(got_status.items_left, expected_status.items_left) << text;
      EXPECT_EQ(got, expected) << text;
    }
    EXPECT_LE(file.buffer_bytes(), window);
  }
}

// A token longer than the window is held whole while it may still be a number, so that every
// number reads exactly; any other is refused as soon as the window shows it is none, its text cut
// there. The next read starts on the next record as always.
TEST(FreeFormat, TokensLongerThanTheWindow) {
  const std::string digits(100, '1');
  std::string number = "-0.";
  number.append(300, '0').append(digits).append("D+300");
  struct Case {
    std::string token;
    bool reads;
    std::string refused;  // the text the failed read holds
  };
  const std::vector<Case> cases = {
      {digits, true, ""},
      {number, true, ""},
      {std::string("3*") + number, true, ""},
      {std::string(30, '0') + "1*-InFinity", true, ""},
      {std::string(63, '7') + "\r", true, ""},  // the window ends on the carriage return
      {std::string(40, '2') + "x" + digits, false,
       std::string(40, '2') + "x" + std::string(23, '1')},
      {std::string("1.5.") + digits, false, std::string("1.5.").append(28, '1')},
      {std::string("3*4*") + digits, false, std::string("3*4*").append(28, '1')},
      {std::string("x") + digits, false, std::string("x").append(31, '1')},
  };
  TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    InputFile file;
    ASSERT_TRUE(file.open(folder.write("in.txt", "1 " + c.token + "\n4 5\n"), 32));
    std::vector<double> values(2, 0.0);
    const ReadStatus status = read_reals(file, values);
    if (c.reads) {
      ASSERT_TRUE(status.ok());
      const std::string plain = c.token.substr(c.token.find('*') + 1);
      std::string converted = plain.substr(0, plain.find('\r'));
      std::replace(converted.begin(), converted.end(), 'D', 'e');
      EXPECT_EQ(values[1], std::strtod(converted.c_str(), nullptr));
      EXPECT_GT(file.buffer_bytes(), 32u);
    } else {
      EXPECT_EQ(status.outcome, ReadOutcome::error);
      EXPECT_EQ(status.error, ReadErrorKind::syntax);
      EXPECT_EQ(status.token, c.refused);
      EXPECT_LE(file.buffer_bytes(), 64u);
    }
    std::int32_t a = 0, b = 0;
    ASSERT_TRUE(read_items(file, {a, b}).ok());
    EXPECT_EQ(a, 4);
    EXPECT_EQ(b, 5);
  }
}

// The line feeds of a file, counted again from its start, leave the reading where it was; the
// offset of the next record passes over the rest of a long record first.
TEST(FreeFormat, LineFeedsAndTheNextRecordsOffset) {
  TempFolder folder;
  const std::string header(5000, 'h');
  InputFile file;
  ASSERT_TRUE(file.open(folder.write("in.txt", header + "\n1\n\n2\n3"), 64));
  std::string_view record;
  ASSERT_TRUE(file.next_record(record));
  EXPECT_TRUE(file.continues());
  EXPECT_EQ(file.count_line_feeds(), std::optional<std::size_t>(4));
  EXPECT_EQ(file.next_record_offset(), 5001);
  std::int32_t value = 0;
  ASSERT_TRUE(read_items(file, {value}).ok());
  EXPECT_EQ(value, 1);
  EXPECT_EQ(file.record_number(), 2u);
}

// A stream (a pipe, a device) need not end, nor its lines: the same text that a regular file
// reads whole, a stream reads with no token grown past the window and no record passed over for
// more than a window's worth of bytes; the input then ends, saying why. /dev/zero, one endless
// record, ends after its first piece; its line feeds are not counted.
TEST(FreeFormat, StreamsNeverReadForEver) {
  const std::string long_line(1000, 'x');
  const std::string digits(1000, '7');
  const std::string text = "a\n" + long_line + "\n" + digits + "\n1 2\n";
  TempFolder folder;
  const std::string regular = folder.write("in.txt", text);
  struct Case {
    const char* what;
    bool stream;
  };
  for (const Case c : {Case{"regular file", false}, Case{"pipe", true}}) {
    SCOPED_TRACE(c.what);
    int ends[2] = {-1, -1};
    std::string path = regular;
    if (c.stream) {
      ASSERT_EQ(::pipe(ends), 0);
      ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
      ::close(ends[1]);
      path = "/proc/self/fd/" + std::to_string(ends[0]);
    }
    InputFile file;
    ASSERT_TRUE(file.open(path, 64));
    std::string_view record;
    ASSERT_TRUE(file.next_record(record));
    EXPECT_EQ(record, "a");
    ASSERT_TRUE(file.next_record(record));  // the long line's first piece
    EXPECT_TRUE(file.continues());
    if (!c.stream) {
      // A regular file passes over the rest and holds the long number whole.
      std::vector<double> value(1);
      ASSERT_TRUE(read_reals(file, value).ok());
      EXPECT_TRUE(std::isinf(value[0]));
      EXPECT_GT(file.buffer_bytes(), 64u);
      EXPECT_FALSE(file.endless_record());
      EXPECT_EQ(file.count_line_feeds(), std::optional<std::size_t>(4));
    } else {
      EXPECT_FALSE(file.next_record(record));
      EXPECT_TRUE(file.endless_record());
      EXPECT_FALSE(file.next_record(record));
      EXPECT_EQ(file.count_line_feeds(), std::nullopt);
      ::close(ends[0]);
      // The long number of the same text from a stream is cut at the window and refused.
      ASSERT_EQ(::pipe(ends), 0);
      const std::string number = digits + "\n";
      ASSERT_EQ(::write(ends[1], number.data(), number.size()),
                static_cast<ssize_t>(number.size()));
      ::close(ends[1]);
      ASSERT_TRUE(file.open("/proc/self/fd/" + std::to_string(ends[0]), 64));
      std::vector<double> value(1);
      const ReadStatus status = read_reals(file, value);
      EXPECT_EQ(status.outcome, ReadOutcome::error);
      EXPECT_EQ(status.token.size(), 64u);
      EXPECT_EQ(file.buffer_bytes(), 64u);
      file.close();
      ::close(ends[0]);
    }
  }
  InputFile zero;
  ASSERT_TRUE(zero.open("/dev/zero"));
  std::string_view record;
  ASSERT_TRUE(zero.next_record(record));
  EXPECT_EQ(zero.count_line_feeds(), std::nullopt);
  std::int32_t value = 0;
  EXPECT_EQ(read_items(zero, {value}).outcome, ReadOutcome::end_of_input);
  EXPECT_TRUE(zero.endless_record());
}

// A small file's buffer is sized to the file when it is opened: whatever it holds when read, and
// a larger file opened next with the same reader, still come out whole.
TEST(FreeFormat, BufferSizedAtOpenReadsWhatTheFileHoldsWhenRead) {
  TempFolder folder;
  const std::string path = folder.write("grows.txt", "1 2\n");
  InputFile file;
  ASSERT_TRUE(file.open(path));
  std::string more;
  for (int i = 0; i < 30000; ++i) more += std::to_string(i) + ' ';  // one line of about 170 KB
  {
    std::ofstream append(path, std::ios::app);
    append << more << "\n5\n";
  }
  std::int32_t a = 0, b = 0;
  ASSERT_TRUE(read_items(file, {a, b}).ok());
  std::vector<std::int32_t> values(30000);
  ASSERT_TRUE(read_items(file, {ReadItem(values)}).ok());
  EXPECT_EQ(values.front(), 0);
  EXPECT_EQ(values.back(), 29999);
  ASSERT_TRUE(read_items(file, {a}).ok());
  EXPECT_EQ(a, 5);
  // Reopened on a file larger than its first one.
  ASSERT_TRUE(file.open(folder.write("large.txt", more + "\n")));
  std::fill(values.begin(), values.end(), -1);
  ASSERT_TRUE(read_items(file, {ReadItem(values)}).ok());
  EXPECT_EQ(values[12345], 12345);
  EXPECT_EQ(values.back(), 29999);
}

// The bulk path for models must behave exactly like a general read of one real array.
TEST(FreeFormat, BulkRealPathMatchesGeneralRead) {
  std::mt19937 random(7);
  const std::vector<std::string> pieces = {"1.5",
                                           "-2",
                                           "3e2",
                                           "4D-1",
                                           "2*7",
                                           "3*",
                                           ",",
                                           ", ,",
                                           " ",
                                           "\t",
                                           "\n",
                                           "\r\n",
                                           "/",
                                           "x",
                                           "1e",
                                           "0.1",
                                           "5\r3",
                                           "2\v1",
                                           "7-2",
                                           "1.5E+02",
                                           "-.5d-1",
                                           "1.",
                                           "12345678901234567890",
                                           "1e-30",
                                           "0.5-200"};
  for (int n = 0; n < 20000; ++n) {
    const std::string text = random_text(random, pieces, 14);
    const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 6)(random);
    testing::StringRecords bulk_file(text), general_file(text);
    std::vector<double> bulk(count, -1), general(count, -1);
    const ReadStatus bulk_status = read_reals(bulk_file, bulk);
    const ReadStatus general_status = read_items(general_file, {std::span<double>(general)});
    EXPECT_EQ(bulk_status.outcome, general_status.outcome) << text;
    EXPECT_EQ(bulk_status.error, general_status.error) << text;
    EXPECT_EQ(bulk, general) << text;
    // Both leave the file at the same record.
    std::int32_t after_bulk = -1, after_general = -1;
    read_items(bulk_file, {after_bulk});
    read_items(general_file, {after_general});
    EXPECT_EQ(after_bulk, after_general) << text;
  }
}

TEST(FreeFormat, MixedItemsAndArraysAreFilledInOrder) {
  std::int32_t count = 0;
  std::vector<double> reals(3, 0);
  std::vector<std::int32_t> integers(2, 0);
  double last = 0;
  ASSERT_TRUE(read_text("4 1.5 2*2.5 7 8 9.5",
                        {count, std::span<double>(reals), std::span<std::int32_t>(integers), last})
                  .ok());
  EXPECT_EQ(count, 4);
  EXPECT_EQ(reals, (std::vector<double>{1.5, 2.5, 2.5}));
  EXPECT_EQ(integers, (std::vector<std::int32_t>{7, 8}));
  EXPECT_EQ(last, 9.5);
  // An empty array takes no value.
  std::vector<double> none;
  ASSERT_TRUE(read_text("5 6", {std::span<double>(none), count, last}).ok());
  EXPECT_EQ(count, 5);
}

}  // namespace
}  // namespace quelby
