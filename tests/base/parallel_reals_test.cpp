#include "quelby/base/parallel_reals.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "quelby/base/free_format.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

// A model text after a header line: values in random layouts (blanks, tabs, single commas, empty
// lines, carriage returns, long lines, exponents with D, three-digit exponents without a letter),
// and in some files the forms only the sequential reader may judge: null values, slashes, repeat
// counts, bad tokens, a comma starting a line, too few values, text after the last value.
std::string random_text(std::mt19937& random, std::size_t n_values, int breakage) {
  const auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution(low, high)(random);
  };
  const char* const plain[] = {"1.5",         "-2.25e3",  "7",       "0.001D-2", "3.14159",
                               "1.00000-100", "+4.5E+02", "6.02e23", "-0.0",     "123456789012"};
  const char* const broken[] = {"1OO", ",,", "/", "3*2.5", "2*", "abc", "-", "1.5.5", "0*4", "1e"};
  std::string text = "header line, ignored\n";
  std::size_t written = 0;
  const std::size_t total = n_values + static_cast<std::size_t>(uniform(-3, 3));
  int line_length = uniform(1, 40);
  int on_line = 0;
  while (written < total) {
    if (breakage > 0 && uniform(0, 400) == 0) {
      text += broken[uniform(0, 9)];
      text += ' ';
      --breakage;
    }
    text += plain[uniform(0, 9)];
    ++written;
    ++on_line;
    switch (uniform(0, 5)) {
      case 0:
        text += '\t';
        break;
      case 1:
        text += " , ";
        break;
      case 2:
        text += ',';
        break;
      default:
        text += "  ";
        break;
    }
    if (on_line >= line_length) {
      text += uniform(0, 4) == 0 ? "\r\n" : "\n";
      if (uniform(0, 10) == 0) text += "   \n";
      if (breakage > 0 && uniform(0, 30) == 0) text += ", 5\n";
      on_line = 0;
      line_length = uniform(0, 20) == 0 ? uniform(100, 3000) : uniform(1, 40);
    }
  }
  if (uniform(0, 1) == 0) text += "\n";
  if (uniform(0, 3) == 0) text += "trailing words are ignored 1OO\n";
  return text;
}

std::vector<std::uint64_t> bits(const std::vector<double>& values) {
  std::vector<std::uint64_t> result;
  for (const double value : values) result.push_back(std::bit_cast<std::uint64_t>(value));
  return result;
}

// The parallel read, falling back as the model reader does, against the sequential read alone,
// on random plain and broken files with windows from a few values to many lines (lines longer than
// the window are split between values): the same outcome, the same error kind, the same bits in
// every element (also those a failed read leaves).
TEST(ParallelReals, MatchesTheSequentialReaderOnRandomFiles) {
  testing::TempFolder folder;
  std::mt19937 random(20261209);
  int fallbacks = 0;
  int parallel = 0;
  for (int trial = 0; trial < 600; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const auto n_values = static_cast<std::size_t>(std::uniform_int_distribution(1, 3000)(random));
    const int breakage = trial % 3 == 0 ? 0 : std::uniform_int_distribution(1, 4)(random);
    const std::string path = folder.write("values.txt", random_text(random, n_values, breakage));
    const std::size_t window = std::size_t{1} << std::uniform_int_distribution(4, 14)(random);

    std::vector<double> expected(n_values, 0.5);
    InputFile sequential;
    ASSERT_TRUE(sequential.open(path));
    std::string_view header;
    ASSERT_TRUE(sequential.next_record(header));
    const ReadStatus expected_status = read_reals(sequential, expected);

    std::vector<double> values(n_values, 0.5);
    InputFile file;
    ASSERT_TRUE(file.open(path));
    ASSERT_TRUE(file.next_record(header));
    ReadStatus status;
    if (read_plain_reals_in_parallel(file.descriptor(), file.next_record_offset(), values,
                                     window)) {
      ++parallel;
    } else {
      ++fallbacks;
      status = read_reals(file, values);
    }
    EXPECT_EQ(status.outcome, expected_status.outcome);
    EXPECT_EQ(status.error, expected_status.error);
    EXPECT_EQ(bits(values), bits(expected));
    if (HasFailure()) break;
  }
  EXPECT_GT(parallel, 100);
  EXPECT_GT(fallbacks, 100);
}

// Plain runs stop exactly where the sequential reader would need to judge.
TEST(ParallelReals, PlainScanStopsAtWhatItCannotJudge) {
  struct Case {
    const char* text;
    std::size_t count;
    bool stopped;
  };
  const Case cases[] = {
      {"1 2 3\n", 3, false}, {"1,2 ,3\r\n4", 4, false},  {"1,,2\n", 1, true},
      {",1\n", 0, true},     {"1 / 2\n", 1, true},       {"1 2*3\n", 1, true},
      {"1 x\n", 1, true},    {"1\n\n  \n2\n", 2, false}, {"1 2 3 4 5 6\n", 4, false},
      {"5\r", 0, true},  // a carriage return not before a line feed is part of the token
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<double> values(4, -1.0);
    const PlainRealsScan scan = scan_plain_reals(c.text, values);
    EXPECT_EQ(scan.count, c.count);
    EXPECT_EQ(scan.stopped, c.stopped);
  }
}

}  // namespace
}  // namespace quelby
