#include "quelby/base/control_input.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/string_records.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::StringRecords;
using testing::TempFolder;
using testing::Transcript;

TEST(ControlInput, NextDataLineSkipsCommentAndBlankLines) {
  StringRecords source(
      "! comment\n% also a comment\n\n   \n \t \ndata 1\n ! a blank first: data\n%x\n  last\n");
  LineBuffer line(20);
  std::int32_t counter = 0;
  std::vector<std::string> lines;
  std::vector<std::int32_t> counts;
  while (next_data_line(source, line, &counter)) {
    lines.emplace_back(line.text());
    counts.push_back(counter);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"data 1              ", " ! a blank first: da",
                                             "  last              "}));
  EXPECT_EQ(counts, (std::vector<std::int32_t>{6, 7, 9}));
  EXPECT_EQ(counter, 10);               // the read that met the end is counted
  EXPECT_EQ(line.trimmed(), "  last");  // the last line read stays in the buffer
}

TEST(ControlInput, OnlyCommentsGiveFalseWithTheCounterOneAboveTheLines) {
  StringRecords source("!a\n\n%b\n    \n");
  LineBuffer line(10);
  std::int32_t counter = 3;
  EXPECT_FALSE(next_data_line(source, line, &counter));
  EXPECT_EQ(counter, 3 + 5);
  StringRecords empty("");
  EXPECT_FALSE(next_data_line(empty, line));
}

TEST(ControlInput, LongLinesAreCutAndShortOnesPadded) {
  StringRecords source(std::string(30, 'x') + "\nab\n" + std::string(12, ' ') + "late text\n");
  LineBuffer line(12);
  ASSERT_TRUE(next_data_line(source, line));
  EXPECT_EQ(line.text(), std::string(12, 'x'));
  ASSERT_TRUE(next_data_line(source, line));
  EXPECT_EQ(line.text(), "ab          ");
  EXPECT_EQ(line.content(), "ab");
  // Text beyond the buffer's length does not make a line a data line.
  EXPECT_FALSE(next_data_line(source, line));
}

// A line longer than the file's window comes in pieces: the buffer is filled from as many as it
// takes and the rest of the line is passed over, whatever the window.
TEST(ControlInput, LinesInPiecesFillTheBuffer) {
  std::string long_line;
  for (int i = 0; long_line.size() < 3000; ++i)
    long_line += std::to_string(i) + (i % 7 ? " " : ",");
  const std::string text = "!note\n" + long_line + "\r\n   \n" + long_line.substr(0, 40) + "\n";
  TempFolder folder;
  const std::string path = folder.write("lines.txt", text);
  for (const std::size_t window : {16, 64, 500, 4096}) {
    SCOPED_TRACE(window);
    InputFile file;
    ASSERT_TRUE(file.open(path, window));
    LineBuffer line(500);
    ASSERT_TRUE(next_data_line(file, line));
    EXPECT_EQ(line.text(), long_line.substr(0, 500));
    ASSERT_TRUE(next_data_line(file, line));
    EXPECT_EQ(line.content(), long_line.substr(0, 40));
    EXPECT_EQ(file.record_number(), 4u);
    EXPECT_FALSE(next_data_line(file, line));
  }
}

TEST(ControlInput, StripCommentBlanksFromTheFirstMark) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"file.dat ! the data", "file.dat           "},
      {"no comment here", "no comment here"},
      {"!all comment", "            "},
      {"a!b!c", "a    "},
  };
  for (const Case& c : cases) {
    LineBuffer line(c.in.size() + 4);
    line.assign(c.in);
    strip_comment(line);
    EXPECT_EQ(line.text(), c.out + "    ") << c.in;
  }
}

TEST(ControlInput, ReadInputFileNameChecksThatTheFileExists) {
  TempFolder folder;
  const std::string existing = folder.write("obs.dat", "x\n");
  {
    Transcript transcript;
    LineBuffer name(200);
    bool found = false;
    // Trailing spaces and tabs alike are not part of the checked name.
    read_input_file_name(transcript.io(), "data \t", existing + " \t ", name, found);
    EXPECT_TRUE(found);
    EXPECT_EQ(name.text(), existing + " \t" + std::string(200 - existing.size() - 2, ' '));
    EXPECT_EQ(transcript.console(), "");
    EXPECT_EQ(transcript.log(), "");
  }
  {
    Transcript transcript;
    LineBuffer name(200);
    bool found = true;
    const std::string missing = folder.file("missing.dat");
    read_input_file_name(transcript.io(), "reference model  ", missing, name, found);
    EXPECT_FALSE(found);
    const std::string expected = "\nError: reference model file does not exist:\n" + missing + "\n";
    EXPECT_EQ(transcript.console(), expected);
    EXPECT_EQ(transcript.log(), expected);
    EXPECT_EQ(transcript.order(), (std::vector<std::string>{"console", "log"}));
  }
  {
    Transcript transcript;
    LineBuffer name(50);
    bool found = true;
    read_input_file_name(transcript.io(), "topography", " \t ", name, found);
    EXPECT_FALSE(found);
    const std::string expected = "\nError: expecting topography file.\n";
    EXPECT_EQ(transcript.console(), expected);
    EXPECT_EQ(transcript.log(), expected);
  }
}

}  // namespace
}  // namespace quelby
