// The bookkeeping behind a stop's detail line: record numbers, the refused text and the items left
// by a failed read, and the wording of the detail.
#include "quelby/base/read_detail.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/free_format.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

TEST(ReadDetail, InputFilesCountTheirRecords) {
  testing::TempFolder folder;
  const std::string path = folder.write("f.txt", "1 2\n\n  \n3\r\n4");
  InputFile file;
  ASSERT_TRUE(file.open(path));
  EXPECT_EQ(file.record_number(), 0u);
  std::int32_t a = 0, b = 0, c = 0;
  ASSERT_TRUE(read_items(file, {a, b}).ok());
  EXPECT_EQ(file.record_number(), 1u);
  ASSERT_TRUE(read_items(file, {c}).ok());  // blank records are passed over, and counted
  EXPECT_EQ(file.record_number(), 4u);
  const ReadStatus status = read_items(file, {a, b});
  EXPECT_EQ(status.outcome, ReadOutcome::end_of_input);
  EXPECT_EQ(status.items_left, 1u);
  EXPECT_EQ(file.record_number(), 5u);  // a last line without a line feed is a record
  file.rewind();
  EXPECT_EQ(file.record_number(), 0u);
  ASSERT_TRUE(read_items(file, {a}).ok());
  EXPECT_EQ(file.record_number(), 1u);
}

TEST(ReadDetail, FailedReadsKeepWhatTheDetailNeeds) {
  struct Case {
    std::string text;
    int integers;  // items: this many integers, then two reals
    ReadOutcome outcome;
    std::string token;
    bool integer_expected;
    std::size_t items_left;
  };
  const std::vector<Case> cases = {
      {"1 2 x 4", 1, ReadOutcome::error, "x", false, 0},
      {"1 2.5 3 4", 2, ReadOutcome::error, "2.5", true, 0},
      {"1,,3*z", 1, ReadOutcome::error, "3*z", false, 0},
      {"0*1 2 3", 1, ReadOutcome::error, "0*1", true, 0},
      {"99999999999 1 2", 1, ReadOutcome::error, "99999999999", true, 0},
      {"1 2", 2, ReadOutcome::end_of_input, "", false, 2},
      {"1, ,", 1, ReadOutcome::end_of_input, "", false, 1},
      {"", 0, ReadOutcome::end_of_input, "", false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.text + "'");
    std::vector<std::int32_t> integers(static_cast<std::size_t>(c.integers));
    std::vector<double> reals(2);
    const ReadStatus status = [&] {
      TextRecord record(c.text);
      const ReadItem items[] = {ReadItem(std::span<std::int32_t>(integers)),
                                ReadItem(std::span<double>(reals))};
      return read_items(record, items);
    }();
    EXPECT_EQ(status.outcome, c.outcome);
    EXPECT_EQ(status.token, c.token);
    EXPECT_EQ(status.integer_expected, c.integer_expected);
    EXPECT_EQ(status.items_left, c.items_left);
  }
  // The bulk path of models says the same.
  std::vector<double> values(4);
  TextRecord record("1 2 1OO 4");
  const ReadStatus status = read_reals(record, values);
  EXPECT_EQ(status.token, "1OO");
  EXPECT_FALSE(status.integer_expected);
  TextRecord short_record("1 2 3");
  EXPECT_EQ(read_reals(short_record, values).items_left, 1u);
}

TEST(ReadDetail, Wording) {
  ReadStatus number{ReadOutcome::error, ReadErrorKind::syntax, "1OO", false, 0};
  EXPECT_EQ(read_detail("typo.mod", 4, number, 6), "typo.mod:4: '1OO' is not a number");
  ReadStatus integer{ReadOutcome::error, ReadErrorKind::syntax, "4.0", true, 0};
  EXPECT_EQ(read_detail("a.msh", 2, integer, 3), "a.msh:2: '4.0' is not an integer");
  ReadStatus ended{ReadOutcome::end_of_input, ReadErrorKind::none, {}, false, 1};
  EXPECT_EQ(read_detail("d.dat", 12, ended, 6), "d.dat:12: 5 values, 6 expected");
  EXPECT_EQ(read_detail("d.dat", 0, ended, 6), "d.dat: the file is empty");
  const std::string long_token(60, '7');
  ReadStatus wide{ReadOutcome::error, ReadErrorKind::conversion, long_token, true, 0};
  EXPECT_EQ(read_detail("w.txt", 1, wide, 1),
            "w.txt:1: '" + std::string(40, '7') + "...' is beyond the 32-bit integer range");
  // Control characters in the refused text keep the detail on one line.
  ReadStatus controls{ReadOutcome::error, ReadErrorKind::syntax, "1\r2\n\x7f", false, 0};
  EXPECT_EQ(read_detail("c.txt", 3, controls, 2), "c.txt:3: '1\\x0D2\\x0A\\x7F' is not a number");
  EXPECT_EQ(counts_detail("wrongdim.mod", 1, 4, 3, "the mesh has", 5, 3),
            "wrongdim.mod:1: 4 x 3 cells, the mesh has 5 x 3");
  EXPECT_EQ(line_detail("x", 0, "what"), "x: what");
  EXPECT_EQ(shortest(0.1), "0.1");
  EXPECT_EQ(shortest(-2.5), "-2.5");
}

}  // namespace
}  // namespace quelby
