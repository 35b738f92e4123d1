#include "quelby/survey/data_file.hpp"
#include "quelby/base/stops.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/support/stop_details.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"
#include "tests/survey/exchange_literal.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

struct DataRun {
  bool stopped = false;
  Transcript transcript;
  SurveyData data;
};

struct Options {
  bool locations_only = false;
  bool use_z = false;
  bool dc_data = true;
};

void read(const std::string& path, Options options, DataRun& run) {
  try {
    read_data_file(run.transcript.io(), path + "  ", options.locations_only, options.use_z,
                   options.dc_data, run.data);
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure);
    run.stopped = true;
  }
}

std::string summary(const std::string& path, int ncur, int ndat, bool locations = false) {
  auto count = [](int value) {
    std::string text = std::to_string(value);
    return text.size() > 5 ? std::string(5, '*') : std::string(5 - text.size(), ' ') + text;
  };
  return std::string(locations ? "electrode locations" : "data") + " were read from: " + path +
         "\n       # of current locations:" + count(ncur) +
         "\n                    # of data:" + count(ndat) + "\n";
}

using Ints = std::vector<std::int32_t>;
using Reals = std::vector<double>;

TEST(SurveyDataFile, PresenceFlagsTellWhichArraysExist) {
  TempFolder folder;
  const std::string general = folder.write("g.dat", "h\n5 7 1 2 10 0.5\n1 2 3 4 20 1\n");
  const std::string cc =
      folder.write("c.dat", "COMMON_CURRENT\n1\n0 1 2 1 2\n2 1 3 1 5 1\n4 1 5 1 6 1\n");
  struct Case {
    std::string path;
    Options options;
    bool values, z, file_order;
  };
  const std::vector<Case> cases = {
      {general, {}, true, false, true},
      {general, {.locations_only = true}, false, false, true},
      {cc, {}, true, false, false},
      {cc, {.use_z = true}, true, true, false},
      {cc, {.locations_only = true, .use_z = true}, false, true, false},
  };
  for (const Case& c : cases) {
    DataRun run;
    read(c.path, c.options, run);
    ASSERT_FALSE(run.stopped) << run.transcript.console();
    const SurveyData& data = run.data;
    const std::size_t ndat = 2;
    EXPECT_EQ(data.has_values, c.values) << c.path;
    EXPECT_EQ(data.has_z, c.z) << c.path;
    EXPECT_EQ(data.has_file_order, c.file_order) << c.path;
    // A present array has its full size, an absent one is empty.
    EXPECT_EQ(data.dobs.size(), c.values ? ndat : 0u);
    EXPECT_EQ(data.dstd.size(), c.values ? ndat : 0u);
    EXPECT_EQ(data.zm.size(), c.z ? ndat : 0u);
    EXPECT_EQ(data.za_cur.size(), c.z ? 1u : 0u);
    EXPECT_EQ(data.sorted_pos.size(), c.file_order ? ndat : 0u);
    EXPECT_EQ(data.xa_file.size(), c.file_order ? ndat : 0u);
    // The 0-based accessors of the 1-based fields.
    for (std::size_t k = 0; k <= static_cast<std::size_t>(data.ncur); ++k) {
      EXPECT_EQ(data.data_begin(k) + 1, static_cast<std::size_t>(data.idat_idx[k]));
    }
    if (c.file_order) {
      EXPECT_EQ(data.grouped_position(0), 1u);  // A = 5 sorts after A = 1
      EXPECT_EQ(data.grouped_position(1), 0u);
    }
  }
}

TEST(SurveyGeneralLayout, TheWorkedExampleReversesTiedData) {
  TempFolder folder;
  const std::string path = folder.write("d.dat",
                                        "free text header\n"
                                        "5 7 1 2 10 0.5\n"
                                        "5 7 3 4 20 0.25\n"
                                        "1 2 5 6 30 2\n");
  DataRun run;
  read(path, {}, run);
  ASSERT_FALSE(run.stopped) << run.transcript.console();
  const SurveyData& d = run.data;
  EXPECT_EQ(d.header_line, "free text header" + std::string(84, ' '));
  EXPECT_FALSE(d.common_current);
  EXPECT_EQ(d.ndat, 3);
  EXPECT_EQ(d.ncur, 2);
  EXPECT_EQ(d.xa_cur, (Reals{1, 5}));
  EXPECT_EQ(d.xb_cur, (Reals{2, 7}));
  EXPECT_EQ(d.ndat_cur, (Ints{1, 2}));
  EXPECT_EQ(d.xm, (Reals{5, 3, 1}));
  EXPECT_EQ(d.xn, (Reals{6, 4, 2}));
  EXPECT_EQ(d.dobs, (Reals{30, 20, 10}));
  EXPECT_EQ(d.dstd, (Reals{2, 0.25, 0.5}));
  EXPECT_EQ(d.iptype, (Ints{0, 0, 0}));
  EXPECT_EQ(d.sorted_pos, (Ints{3, 2, 1}));
  EXPECT_EQ(d.idat_idx, (Ints{1, 2, 4}));
  EXPECT_EQ(d.xa_file, (Reals{5, 5, 1}));
  EXPECT_EQ(d.xb_file, (Reals{7, 7, 2}));
  EXPECT_EQ(d.xm_file, (Reals{1, 3, 5}));
  EXPECT_EQ(d.xn_file, (Reals{2, 4, 6}));
  EXPECT_FALSE(d.std_missing);
  EXPECT_TRUE(d.dstd_read);
  EXPECT_TRUE(d.za_cur.empty() && d.zb_cur.empty() && d.zm.empty() && d.zn.empty());
  // Separations: d1 4, 3 (and 6, 5), d2 2, 1 (4, 3), d3 4, 5 (3, 4).
  EXPECT_EQ(d.sep_max, 6);
  EXPECT_EQ(d.sep_min, 1);
  EXPECT_EQ(d.sep_mean, (6.0 + 4.0 + 5.0) / 3.0);
  EXPECT_EQ(run.transcript.console(), "");
  EXPECT_EQ(run.transcript.log(), summary(path, 2, 3));
}

TEST(SurveyGeneralLayout, GroupsByAThenBAndKeepsDistinctPairsApart) {
  TempFolder folder;
  const std::string path = folder.write("g.dat",
                                        "h\n"
                                        "20 10 0 1 1\n"
                                        "10 20 0 2 2\n"
                                        "10 15 0 3 3 99\n"  // the sixth value is ignored
                                        "-0 5 0 4 4\n"
                                        "0 5 0 5 5\n");
  DataRun run;
  read(path, {}, run);
  ASSERT_FALSE(run.stopped) << run.transcript.console();
  const SurveyData& d = run.data;
  EXPECT_TRUE(d.std_missing);
  EXPECT_FALSE(d.dstd_read);
  ASSERT_EQ(d.dstd.size(), 5u);
  for (const double value : d.dstd) EXPECT_TRUE(std::isnan(value));
  EXPECT_EQ(d.ncur, 4);  // 0 and -0 are one position
  EXPECT_EQ(d.xa_cur, (Reals{0, 10, 10, 20}));
  EXPECT_EQ(d.xb_cur, (Reals{5, 15, 20, 10}));
  EXPECT_EQ(d.ndat_cur, (Ints{2, 1, 1, 1}));
  EXPECT_EQ(d.dobs, (Reals{4, 5, 3, 2, 1}));
  EXPECT_EQ(d.sorted_pos, (Ints{5, 4, 3, 1, 2}));
  EXPECT_EQ(d.idat_idx, (Ints{1, 3, 4, 5, 6}));
}

TEST(SurveyGeneralLayout, CommentsBlankLinesAndIpTypes) {
  TempFolder folder;
  std::string text = "header\n! comment\n\n \t \n%percent\nIPTYPE=2\n";
  // 40 secondary potentials then 20 apparent chargeabilities.
  for (int i = 0; i < 40; ++i) text += std::to_string(i) + " 100 1 2 0.5 0.1\n";
  text += "IPTYPE=1 notes\n! between\n";
  for (int i = 0; i < 20; ++i) text += std::to_string(i) + ", 200, 1, 2, 0.5, 0.1\n";
  const std::string path = folder.write("ip.dat", text);
  DataRun run;
  read(path, {.dc_data = false}, run);
  ASSERT_FALSE(run.stopped) << run.transcript.console();
  EXPECT_EQ(run.data.ndat, 60);
  EXPECT_EQ(run.data.ncur, 60);
  EXPECT_EQ(run.transcript.log(), summary(path, 60, 60) +
                                      "IP data is made up of:\n"
                                      "     # of apparent chargeabilities:   20\n"
                                      "         # of secondary potentials:   40\n\n");
  // Pairs in increasing A, then B: (0, 100), (0, 200), (1, 100), ...
  EXPECT_EQ(run.data.iptype[0], 2);
  EXPECT_EQ(run.data.iptype[1], 1);
  EXPECT_EQ(run.data.xb_cur[1], 200);
}

TEST(SurveyGeneralLayout, IpSummariesForOneKindOfData) {
  TempFolder folder;
  struct Case {
    std::string text;
    std::string log_tail;
  };
  const std::vector<Case> cases = {
      {"h\n1 2 3 4 5\n2 3 4 5 6\n", "All IP data are apparent chargeabilities.\n\n"},
      {"h\nIPTYPE=2\n1 2 3 4 5\n2 3 4 5 6\n", "All IP data are secondary potentials.\n\n"},
  };
  for (const Case& c : cases) {
    const std::string path = folder.write("one.dat", c.text);
    DataRun run;
    read(path, {.dc_data = false}, run);
    ASSERT_FALSE(run.stopped) << run.transcript.console();
    EXPECT_EQ(run.transcript.log(), summary(path, 2, 2) + c.log_tail);
  }
}

TEST(SurveyGeneralLayout, LocationsOnly) {
  TempFolder folder;
  const std::string path = folder.write("loc.dat", "h\n0 1 2 3\n0 1 4 5 bad values\n");
  DataRun run;
  read(path, {.locations_only = true}, run);
  ASSERT_FALSE(run.stopped) << run.transcript.console();
  EXPECT_TRUE(run.data.dobs.empty());
  EXPECT_TRUE(run.data.dstd.empty());
  EXPECT_FALSE(run.data.dstd_read);
  EXPECT_EQ(run.data.xm, (Reals{2, 4}));  // one key: no rotation, file order
  EXPECT_EQ(run.transcript.log(), summary(path, 1, 2, true));
}

TEST(SurveyGeneralLayout, NullValuesAndSlashesLeaveZero) {
  TempFolder folder;
  const std::string path = folder.write("n.dat", "h\n1 2,,4 5 6\n1 2 3 4 5 /\n");
  DataRun run;
  read(path, {}, run);
  ASSERT_TRUE(run.stopped);
  // The standard deviation left out by the slash counts as present, and its 0 is refused.
  EXPECT_EQ(run.transcript.console(),
            "\n1 2 3 4 5 /\nStandard deviation must be greater than zero.\n" + path + "\n");
  const std::string ok = folder.write("m.dat", "h\n1 2,,4 5 6\n1 2 3,,5 6\n");
  DataRun second;
  read(ok, {}, second);
  ASSERT_FALSE(second.stopped) << second.transcript.console();
  EXPECT_EQ(second.data.xm_file, (Reals{0, 3}));
  EXPECT_EQ(second.data.xn_file, (Reals{4, 0}));
}

struct MessageCase {
  std::string text;
  Options options;
  std::string message;  // with "@" standing for the file name
};

std::string with_name(std::string message, const std::string& path) {
  const auto at = message.find('@');
  if (at != std::string::npos) message.replace(at, 1, path);
  return message;
}

TEST(SurveyGeneralLayout, MessagesShowTheLineInHand) {
  TempFolder folder;
  const Options ip{.dc_data = false};
  const std::vector<MessageCase> cases = {
      {"h\n1 2 3 4\n1 2 x 4 5 6\n", {}, "\n1 2 x 4 5 6\nError reading data file.\n@\n"},
      {"h\n1 2 3\n", {}, "\n1 2 3\nError reading data file.\n@\n"},
      {"h\n1 2 3 nan 5\n", {}, "\n1 2 3 nan 5\nError reading data file.\n@\n"},
      {"h\n1 2 3 -inf 5\n", {}, "\n1 2 3 -inf 5\nError reading data file.\n@\n"},
      {"h\n1 2 3 4 5 6\nIPTYPE=0\n", {}, "\nIPTYPE=0\nError reading data file.\n@\n"},
      // After the fetch that met the end, the line in hand is the last line read.
      {"h\n1 2 3 4 5 6\nIPTYPE=0\n! trailing note   \n",
       {},
       "\n! trailing note\nError reading data file.\n@\n"},
      {"h\nIPTYPE=1\nIPTYPE=2\n1 2 3 4\n", ip, "\nIPTYPE=2\nError reading data file.\n@\n"},
      {"h\nIPTYPE =1\n1 2 3 4 5\n", ip, "\nIPTYPE =1\nError reading data file.\n@\n"},
      {"h\nIPTYPE=x\n1 2 3 4 5\n", ip, "\nIPTYPE=x\nError reading data file.\n@\n"},
      {"h\n1 2 3 4 5 6\n1 2 3 4 5\n", {}, "\n1 2 3 4 5\nError reading data file.\n@\n"},
      {"h\n1 2 3 4\n", {}, "\n1 2 3 4\nError reading data file.\n@\n"},
      {"h\n1 2 3 4 5 0\n", {}, "\n1 2 3 4 5 0\nStandard deviation must be greater than zero.\n@\n"},
      {"h\n1 2 3 4 5 1\n1 2 3 4 5 -2\t\n",
       {},
       "\n1 2 3 4 5 -2\nStandard deviation must be greater than zero.\n@\n"},
      {"h\n1 2 3 4 5 1\n1 2 3 4 5 nan\n",
       {},
       "\n1 2 3 4 5 nan\nStandard deviation must be greater than zero.\n@\n"},
      {"h\n1 2 3 4 5\nIPTYPE=3\n2 3 4 5 6  \n", ip,
       "\nError: for IP data, IPTYPE should be 1 or 2.\n2 3 4 5 6\n@\n"},
      {"h\nIPTYPE=0\n2 3 4 5 6\n", ip,
       "\nError: for IP data, IPTYPE should be 1 or 2.\n2 3 4 5 6\n@\n"},
      {"h\nIPTYPE=1\n2 3 4 5 6\n", {}, "\nError: for DC data, IPTYPE should be 0.\n2 3 4 5 6\n@\n"},
      // An IPTYPE line that ends the file: its type is checked first, so only a right type meets
      // the read error (above); the line in hand is then the IPTYPE line itself.
      {"h\n1 2 3 4 5 6\nIPTYPE=1\n",
       {},
       "\nError: for DC data, IPTYPE should be 0.\nIPTYPE=1\n@\n"},
      {"h\n1 2 3 4 5\nIPTYPE=0\n", ip,
       "\nError: for IP data, IPTYPE should be 1 or 2.\nIPTYPE=0\n@\n"},
      {"h\n1 2 3 4 5\nIPTYPE=2\n", ip, "\nIPTYPE=2\nError reading data file.\n@\n"},
      {"h\n! only comments\n\n", {}, "\nError: there is no data.\n@\n"},
      {"1 2 3 4 5 6\n", {}, "\nError: there is no data.\n@\n"},
      {"h\n1 2 3 4\n",
       {.use_z = true},
       "\nThe Z locations in the data file can only be used with the\ncommon current format.\n@\n"},
      {" COMMON_CURRENT\n1\n", {}, "\n1\nError reading data file.\n@\n"},
      {"common_current\n1\n", {}, "\n1\nError reading data file.\n@\n"},
      {"COMMON_CURRENT 2\n1\n", {}, "\n1\nError reading data file.\n@\n"},
  };
  for (const MessageCase& c : cases) {
    const std::string path = folder.write("e.dat", c.text);
    DataRun run;
    read(path, c.options, run);
    ASSERT_TRUE(run.stopped) << c.text;
    const std::string expected = with_name(c.message, path);
    EXPECT_EQ(run.transcript.console(), expected) << c.text;
    EXPECT_TRUE(run.transcript.log().ends_with(expected)) << c.text << run.transcript.log();
    EXPECT_EQ(run.transcript.order().back(), "log") << c.text;
    EXPECT_EQ(run.transcript.error(), "");
  }
}

TEST(SurveyDataFile, NoDataIsReportedAfterTheSummary) {
  TempFolder folder;
  const std::string path = folder.write("none.dat", "header\n% nothing\n\n");
  DataRun run;
  read(path, {}, run);
  ASSERT_TRUE(run.stopped);
  const std::string message = "\nError: there is no data.\n" + path + "\n";
  EXPECT_EQ(run.transcript.log(), summary(path, 0, 0) + message);
  EXPECT_EQ(run.transcript.console(), message);
  EXPECT_EQ(run.transcript.order(), (std::vector<std::string>{"log", "console", "log"}));
}

TEST(SurveyDataFile, MissingAndEmptyFiles) {
  TempFolder folder;
  DataRun missing;
  read(folder.file("absent.dat"), {}, missing);
  ASSERT_TRUE(missing.stopped);
  const std::string expected =
      "\n ERROR: data location file not found: " + folder.file("absent.dat") + "\n";
  EXPECT_EQ(missing.transcript.console(), expected);
  EXPECT_EQ(missing.transcript.log(), expected);

  const std::string empty = folder.write("empty.dat", "");
  DataRun run;
  read(empty, {}, run);
  ASSERT_TRUE(run.stopped);
  EXPECT_EQ(run.transcript.console(),
            "Error: cannot read the first line of the data file (end of file): " + empty + "\n");
  EXPECT_EQ(run.transcript.log(), "");
}

TEST(SurveyCommonCurrentLayout, ReadsPairsInFileOrder) {
  TempFolder folder;
  const std::string path = folder.write("cc.dat",
                                        "COMMON_CURRENT   \n"
                                        "! three pairs\n"
                                        "3 pairs\n"
                                        "10 20 2\n"
                                        "1 2 0.5 0.1\n"
                                        "\n"
                                        "3 4 0.6 0.2 extra\n"
                                        "IPTYPE=2\n"
                                        "0 5 0\n"
                                        "10 20 1\n"
                                        "5 6 0.7 0.3\n"
                                        "never read\n");
  DataRun run;
  read(path, {.dc_data = false}, run);
  ASSERT_FALSE(run.stopped) << run.transcript.console();
  const SurveyData& d = run.data;
  EXPECT_TRUE(d.common_current);
  EXPECT_EQ(d.header_line, "COMMON_CURRENT" + std::string(86, ' '));
  EXPECT_EQ(d.ncur, 3);
  EXPECT_EQ(d.ndat, 3);
  EXPECT_EQ(d.xa_cur, (Reals{10, 0, 10}));
  EXPECT_EQ(d.xb_cur, (Reals{20, 5, 20}));
  EXPECT_EQ(d.ndat_cur, (Ints{2, 0, 1}));
  EXPECT_EQ(d.xm, (Reals{1, 3, 5}));
  EXPECT_EQ(d.xn, (Reals{2, 4, 6}));
  EXPECT_EQ(d.dobs, (Reals{0.5, 0.6, 0.7}));
  EXPECT_EQ(d.dstd, (Reals{0.1, 0.2, 0.3}));
  EXPECT_EQ(d.iptype, (Ints{1, 1, 2}));
  EXPECT_EQ(d.idat_idx, (Ints{1, 3, 3, 4}));
  EXPECT_TRUE(d.xa_file.empty() && d.xb_file.empty() && d.xm_file.empty() && d.xn_file.empty());
  EXPECT_TRUE(d.sorted_pos.empty());
  EXPECT_TRUE(d.zm.empty() && d.za_cur.empty());
  EXPECT_EQ(d.sep_max, 19);
  EXPECT_EQ(d.sep_min, 4);
  EXPECT_EQ(d.sep_mean, (19.0 + 17.0 + 15.0) / 3.0);
  EXPECT_EQ(run.transcript.log(), summary(path, 3, 3) +
                                      "IP data is made up of:\n"
                                      "     # of apparent chargeabilities:    2\n"
                                      "         # of secondary potentials:    1\n\n");
}

TEST(SurveyCommonCurrentLayout, ZPositionsAndLocationsOnly) {
  TempFolder folder;
  const std::string text = "COMMON_CURRENT\n1\n0 1 10 1 3\n1 0 2 0\n3 0.5 4 0.5\n5 1 6 1 9 9\n";
  const std::string path = folder.write("z.dat", text);
  DataRun with_z;
  read(path, {.locations_only = true, .use_z = true}, with_z);
  ASSERT_FALSE(with_z.stopped) << with_z.transcript.console();
  const SurveyData& d = with_z.data;
  EXPECT_TRUE(d.use_z);
  EXPECT_EQ(d.xa_cur, (Reals{0}));
  EXPECT_EQ(d.za_cur, (Reals{1}));
  EXPECT_EQ(d.xb_cur, (Reals{10}));
  EXPECT_EQ(d.zb_cur, (Reals{1}));
  EXPECT_EQ(d.ndat_cur, (Ints{3}));
  EXPECT_EQ(d.xm, (Reals{1, 3, 5}));
  EXPECT_EQ(d.zm, (Reals{0, 0.5, 1}));
  EXPECT_EQ(d.xn, (Reals{2, 4, 6}));
  EXPECT_EQ(d.zn, (Reals{0, 0.5, 1}));
  EXPECT_TRUE(d.dobs.empty() && d.dstd.empty());
  EXPECT_EQ(with_z.transcript.log(), summary(path, 1, 3, true));

  // Without use_z the same current line is A 0, B 1 and 10 data, and the file ends too early.
  DataRun without_z;
  read(path, {.locations_only = true}, without_z);
  ASSERT_TRUE(without_z.stopped);
  EXPECT_EQ(without_z.transcript.console(),
            "\n5 1 6 1 9 9\nError reading data file: " + path + "\n");
}

TEST(SurveyCommonCurrentLayout, StandardDeviationsMissing) {
  TempFolder folder;
  const std::string path = folder.write("s.dat", "COMMON_CURRENT\n1\n0 1 2\n5 6 7\n8 9 10 11\n");
  DataRun run;
  read(path, {}, run);
  ASSERT_FALSE(run.stopped) << run.transcript.console();
  EXPECT_TRUE(run.data.std_missing);
  EXPECT_EQ(run.data.dobs, (Reals{7, 10}));
  EXPECT_EQ(run.data.dstd.size(), 2u);
}

TEST(SurveyCommonCurrentLayout, Messages) {
  TempFolder folder;
  const Options ip{.dc_data = false};
  const std::string cc = "COMMON_CURRENT\n";
  const std::vector<MessageCase> cases = {
      {cc, {}, "\nCOMMON_CURRENT\nError reading data file: @\n"},
      {cc + "x\n", {}, "\nx\nError reading data file: @\n"},
      {cc + "2\n0 1 1\n2 3\n", {}, "\n2 3\nError reading data file: @\n"},
      {cc + "1\n0 1 2\n2 3\n! end\n", {}, "\n! end\nError reading data file: @\n"},
      {cc + "1\n0 1 2\n2 3\nIPTYPE=0\n", {}, "\nIPTYPE=0\nError reading data file: @\n"},
      {cc + "1\n0 1\n", {}, "\n0 1\nError reading data file: @\n"},
      {cc + "1\n0 inf 1\n2 3\n", {}, "\n0 inf 1\nError reading data file: @\n"},
      {cc + "1\n0 1 1\nnan 3\n", {}, "\nnan 3\nError reading data file: @\n"},
      {cc + "1\nIPTYPE=\n0 1 1\n2 3\n", {}, "\nIPTYPE=\nError reading data file: @\n"},
      {cc + "1\n0 1 2\n2 3 4 5\n2 3 4\n", {}, "\n2 3 4\nError reading data file: @\n"},
      {cc + "1\n0 1 1\n2 3 4 -1\n",
       {},
       "\n2 3 4 -1\nStandard deviation must be greater than zero.\n@\n"},
      {cc + "1\nIPTYPE=5\n0 1 1\n2 3 4\n", ip,
       "\nError: for IP data, IPTYPE should be 1 or 2.\n@\n"},
      {cc + "2\n0 1 1\n2 3 4\nIPTYPE=2\n0 1 1\n2 3 4\n",
       {},
       "\nError: for DC data, IPTYPE should be 0.\n@\n"},
      {cc + "2\n0 1 1\n2 3\nIPTYPE=1\n", {}, "\nError: for DC data, IPTYPE should be 0.\n@\n"},
      {cc + "2\n0 1 1\n2 3 4\nIPTYPE=0\n", ip,
       "\nError: for IP data, IPTYPE should be 1 or 2.\n@\n"},
      {cc + "2\n0 1 1\n2 3 4\nIPTYPE=1\n", ip, "\nIPTYPE=1\nError reading data file: @\n"},
      {cc + "0\n", {}, "\nError: there is no data.\n@\n"},
      {cc + "-3\n", {}, "\nError: there is no data.\n@\n"},
      {cc + "1\n0 1 0\n", {}, "\nError: there is no data.\n@\n"},
  };
  for (const MessageCase& c : cases) {
    const std::string path = folder.write("e.dat", c.text);
    DataRun run;
    read(path, c.options, run);
    ASSERT_TRUE(run.stopped) << c.text;
    const std::string expected = with_name(c.message, path);
    EXPECT_EQ(run.transcript.console(), expected) << c.text;
    EXPECT_TRUE(run.transcript.log().ends_with(expected)) << c.text << run.transcript.log();
    EXPECT_EQ(run.transcript.error(), "");
  }
}

TEST(SurveyCommonCurrentLayout, NegativeCountFailsTheIndexCheck) {
  TempFolder folder;
  const std::string path =
      folder.write("neg.dat", "COMMON_CURRENT\n2\n0 1 -1\n0 2 2\n1 2 3 4\n5 6 7 8\n");
  DataRun run;
  read(path, {}, run);
  ASSERT_TRUE(run.stopped);
  EXPECT_EQ(run.transcript.error(), "idat_idx(ncur+1)-1 /= ndat\n");
  EXPECT_EQ(run.transcript.console(), "");
  EXPECT_EQ(run.transcript.log(), summary(path, 2, 2));
}

TEST(SurveyDataFile, CountsThatDoNotFitShowAsterisks) {
  TempFolder folder;
  std::string text = "COMMON_CURRENT\n1\n0 1 100000\n";
  for (int i = 0; i < 100000; ++i) text += "2 3\n";
  const std::string path = folder.write("big.dat", text);
  DataRun run;
  read(path, {.locations_only = true}, run);
  ASSERT_FALSE(run.stopped) << run.transcript.console();
  EXPECT_EQ(run.transcript.log(),
            "electrode locations were read from: " + path +
                "\n       # of current locations:    1\n                    # of data:*****\n");
}

TEST(SurveyDataFile, SeparationStatisticsAndNormalisation) {
  double sep_max = 0, sep_min = 1e50, sep_sum = 0;
  update_separation_stats(sep_max, sep_min, sep_sum, 5, 5, 2, 2);  // pole-pole: |A - M| only
  EXPECT_EQ(sep_max, 3);
  EXPECT_EQ(sep_min, 3);
  EXPECT_EQ(sep_sum, 3);
  update_separation_stats(sep_max, sep_min, sep_sum, 0, 10, 4, 4);  // pole M: |A-M|, |B-M|
  EXPECT_EQ(sep_max, 6);
  EXPECT_EQ(sep_min, 3);
  EXPECT_EQ(sep_sum, 9);
  update_separation_stats(sep_max, sep_min, sep_sum, 0, 0, 1, 9);  // pole A: |A-M|, |A-N|
  EXPECT_EQ(sep_max, 9);
  EXPECT_EQ(sep_min, 1);
  EXPECT_EQ(sep_sum, 18);

  TempFolder folder;
  const std::string path = folder.write("n.dat", "h\n1 2 3 4 8 2\n");
  DataRun run;
  read(path, {}, run);
  ASSERT_FALSE(run.stopped);
  normalize_data(run.transcript.io(), run.data);
  normalize_data(run.transcript.io(), run.data);
  EXPECT_EQ(run.data.dobs, (Reals{2}));

  SurveyData locations;
  locations.ndat = 1;
  EXPECT_THROW(normalize_data(run.transcript.io(), locations), Stop);
  EXPECT_EQ(run.transcript.error(), "normalize_data: dobs and dstd must hold ndat values\n");
}

TEST(SurveyDataFile, ASecondReadingReplacesTheFirst) {
  TempFolder folder;
  const std::string first = folder.write("a.dat", "COMMON_CURRENT\n1\n0 1 0 1 1\n2 0 3 0 4 5\n");
  const std::string second = folder.write("b.dat", "h\n1 2 3 4 5\n");
  Transcript transcript;
  SurveyData data;
  read_data_file(transcript.io(), first, false, true, true, data);
  read_data_file(transcript.io(), second, false, false, true, data);
  EXPECT_FALSE(data.common_current);
  EXPECT_FALSE(data.use_z);
  EXPECT_TRUE(data.zm.empty() && data.za_cur.empty());
  EXPECT_EQ(data.xm, (Reals{3}));
  EXPECT_EQ(data.sorted_pos, (Ints{1}));
  EXPECT_EQ(data.sep_max, 3);
}

TEST(SurveyGeneralLayout, LargeFilesFollowTheLiteralPasses) {
  TempFolder folder;
  std::mt19937_64 random(424242);
  for (const int distinct : {1, 3, 20}) {
    std::uniform_int_distribution<int> pick(0, distinct - 1);
    const std::size_t n = 2000;
    std::string text = "random\n";
    Reals a(n), b(n);
    Ints type(n);
    std::int32_t current = 1;
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = pick(random) * 0.5;
      b[i] = pick(random) * 0.25;
      // IP data whose type changes now and then: each datum carries the type in force.
      if (i % 97 == 5) {
        current = 3 - current;
        text += "IPTYPE=" + std::to_string(current) + "\n";
      }
      type[i] = current;
      text += std::to_string(a[i]) + " " + std::to_string(b[i]) + " " + std::to_string(i) + " 0 " +
              std::to_string(i) + " " + std::to_string(i + 1) + "\n";
    }
    const std::string path = folder.write("r.dat", text);
    DataRun run;
    read(path, {.dc_data = false}, run);
    ASSERT_FALSE(run.stopped) << run.transcript.console();
    const std::vector<std::int32_t> perm = testing::literal_exchange_passes(a, b);
    for (std::size_t i = 0; i < n; ++i) {
      const auto d = static_cast<std::size_t>(perm[i]);
      ASSERT_EQ(run.data.xm[i], static_cast<double>(d)) << i;
      ASSERT_EQ(run.data.sorted_pos[d], static_cast<std::int32_t>(i + 1));
      // The values, deviations and types travel with their datum.
      ASSERT_EQ(run.data.dobs[i], static_cast<double>(d)) << i;
      ASSERT_EQ(run.data.dstd[i], static_cast<double>(d + 1)) << i;
      ASSERT_EQ(run.data.iptype[i], type[d]) << i;
    }
    std::int32_t total = 0;
    for (std::size_t k = 0; k < run.data.ndat_cur.size(); ++k) {
      const std::size_t first = static_cast<std::size_t>(run.data.idat_idx[k] - 1);
      EXPECT_EQ(run.data.xa_cur[k], a[static_cast<std::size_t>(perm[first])]);
      EXPECT_EQ(run.data.xb_cur[k], b[static_cast<std::size_t>(perm[first])]);
      total += run.data.ndat_cur[k];
    }
    EXPECT_EQ(total, run.data.ndat);
  }
}

}  // namespace
// Files broken in several places stop as the two passes over the file would: a fault the first
// pass finds (an IP type, a position, a line that cannot be read at all, the end of the file)
// anywhere in the file comes before any fault only the values' read finds (the read of the values,
// a standard deviation), and among the latter the first in file order is the one reported.
TEST(SurveyDataFile, FilesBrokenInSeveralPlacesStopAtTheFirstPassFirst) {
  TempFolder folder;
  struct Case {
    std::string text;
    std::string message;  // "@" stands for the file name
    std::string detail;
  };
  const std::string cc = "COMMON_CURRENT\n";
  const std::vector<Case> cases = {
      // General layout.
      {"h\n1 2 3 4 5 0\n1 2 x 4 5 6\n", "\n1 2 x 4 5 6\nError reading data file.\n@\n",
       "@:3: 'x' is not a number"},
      {"h\n1 2 3 4 5 1\n1 2 3 4 x 1\n1 2 3 4 5 0\n", "\n1 2 3 4 x 1\nError reading data file.\n@\n",
       "@:3: 'x' is not a number"},
      {"h\n1 2 3 4 5 0\n1 2 3 4 x 1\n",
       "\n1 2 3 4 5 0\nStandard deviation must be greater than zero.\n@\n",
       "@:2: a standard deviation of 0"},
      {"h\n1 2 3 4 5 -1\n1 2 3 4 5 1\nIPTYPE=1\n",
       "\nError: for DC data, IPTYPE should be 0.\nIPTYPE=1\n@\n", "@:4: IP type 1"},
      {"h\n1 2 3 4 5 0\n1 2 3 nan 5 1\n", "\n1 2 3 nan 5 1\nError reading data file.\n@\n",
       "@:3: a position that is not a finite number"},
      {"h\n1 2 3 4 5\n1 2 3 4 x\n1 2 3 4 5 6\n", "\n1 2 3 4 x\nError reading data file.\n@\n",
       "@:3: 'x' is not a number"},
      {"h\n1 2 3 4 5\n1 2 3 4 x\n1 2 y\n", "\n1 2 y\nError reading data file.\n@\n",
       "@:4: 'y' is not a number"},
      {"h\n1 2 3 4 5 0\n\n! note\n1 2 3 4 5 -1\n1 2 3 4 5 1\n",
       "\n1 2 3 4 5 0\nStandard deviation must be greater than zero.\n@\n",
       "@:2: a standard deviation of 0"},
      // Common-current layout.
      {cc + "1\n0 1 2\n2 3 4 0\nx 3\n", "\nx 3\nError reading data file: @\n",
       "@:5: 'x' is not a number"},
      {cc + "2\n0 1 1\n2 3 4 0\n0 y 1\n2 3 4 1\n", "\n0 y 1\nError reading data file: @\n",
       "@:5: 'y' is not a number"},
      {cc + "1\n0 1 3\n2 3 4 1\n2 3 z 1\n2 3 4 0\n", "\n2 3 z 1\nError reading data file: @\n",
       "@:5: 'z' is not a number"},
      {cc + "1\n0 1 2\n2 3 4 0\n2 3 z 1\n",
       "\n2 3 4 0\nStandard deviation must be greater than zero.\n@\n",
       "@:4: a standard deviation of 0"},
      {cc + "2\n0 1 1\n2 3 4 -1\nIPTYPE=1\n0 1 1\n2 3 4 1\n",
       "\nError: for DC data, IPTYPE should be 0.\n@\n", "@:6: IP type 1"},
      {cc + "1\n0 1 2\n2 3 4\n2 3 w\n", "\n2 3 w\nError reading data file: @\n",
       "@:5: 'w' is not a number"},
  };
  for (const Case& c : cases) {
    const std::string path = folder.write("e.dat", c.text);
    Transcript transcript;
    SurveyData data;
    std::string detail;
    try {
      read_data_file(transcript.io(), path, false, false, true, data);
      ADD_FAILURE() << "no stop: " << c.text;
    } catch (const Stop& stop) {
      detail = stop.detail();
    }
    EXPECT_EQ(transcript.console(), with_name(c.message, path)) << c.text;
    EXPECT_EQ(detail, with_name(c.detail, path)) << c.text;
  }
}

// Each refusal carries the line of its fault and what it is, never shown on a stream.
TEST(SurveyDataFile, StopsCarryTheirDetail) {
  testing::check_details(
      {
          {"five values where the first line has six",
           "header\n0 10 20 30 1.5 0.1\n1 10 20 30 1.5\n", "f.txt:3: 5 values, 6 expected"},
          {"letters in a position", "header\n! a note\n0 10 2O 30 1.5\n",
           "f.txt:3: '2O' is not a number"},
          {"a bad standard deviation", "header\n0 10 20 30 1.5 -0.1\n",
           "f.txt:2: a standard deviation of -0.1"},
          {"an IPTYPE line at the end", "header\n0 10 20 30 1.5\nIPTYPE=0\n",
           "f.txt:3: the file ends where one more line was expected"},
          {"no data", "header\n\n! nothing\n", "f.txt: 0 current pairs, 0 data"},
          {"the common-current layout, a short file", "COMMON_CURRENT\n1\n0 10 2\n20 30 1.5\n",
           "f.txt:4: the file ends where one more line was expected"},
          {"the common-current layout, a bad count", "COMMON_CURRENT\n1\n0 10 two\n",
           "f.txt:3: 'two' is not an integer"},
          {"the common-current layout, a short line", "COMMON_CURRENT\n1\n0 10 1\n20\n",
           "f.txt:4: 1 value, 2 expected"},
          {"empty", "", "f.txt: the file is empty"},
          {"an escape sequence in a position", "header\n0 10 \x1b]0;x\x07 30 1.5\n",
           "f.txt:2: '\\x1B]0;x\\x07' is not a number"},
      },
      [](const Io& io, const std::string& path) {
        SurveyData data;
        read_data_file(io, path, false, false, true, data);
      });
  testing::check_details(
      {{"IP type 3", "header\nIPTYPE=3\n0 10 20 30 1.5\n", "f.txt:3: IP type 3"}},
      [](const Io& io, const std::string& path) {
        SurveyData data;
        read_data_file(io, path, false, false, false, data);
      });
}

}  // namespace quelby
