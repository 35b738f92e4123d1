// quelby-invert's --error, --error-floor, --ip-error and --ip-error-floor: a data file without
// standard deviations inverts without a control file, with exactly the deviations the options
// give (those of the predicted data file), and wrong values are usage errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/data_writer.hpp"
#include "tests/inversion/block_survey_fixture.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::RunResult;
using testing::TempFolder;
using testing::Transcript;

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_INVERT_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

TEST(InvertErrorOptions, WrongValuesAreUsageErrors) {
  TempFolder folder;
  const struct {
    std::vector<std::string> arguments;
    std::string err;
  } cases[] = {
      {{"--data", "d.dat", "--error", "-1"},
       "quelby-invert: option '--error' needs a number of 0 or more, not '-1'\n"},
      {{"--data", "d.dat", "--error-floor=x"},
       "quelby-invert: option '--error-floor' needs a number of 0 or more, not 'x'\n"},
      {{"--data", "d.dat", "--ip-error"},
       "quelby-invert: option '--ip-error' needs a number of 0 or more, not ''\n"},
      {{"--data", "d.dat", "--error", "0", "--error-floor", "0"},
       "quelby-invert: --error and --error-floor must not both be 0\n"},
      {{"--data", "d.dat", "--ip-error-floor", "0"},
       "quelby-invert: --ip-error and --ip-error-floor must not both be 0\n"},
      {{"--data", "d.dat", "--error", "1", "--error", "2"},
       "quelby-invert: option '--error' given twice\n"},
  };
  for (const auto& test : cases) {
    const RunResult result = run_in(folder, test.arguments);
    EXPECT_EQ(result.status, exit_usage);
    EXPECT_EQ(result.err, test.err);
    EXPECT_TRUE(result.out.starts_with("\nUsage: quelby-invert")) << result.out;
  }
}

TEST(InvertErrorOptions, ADataFileWithoutDeviationsInvertsWithThem) {
  TempFolder folder;
  Transcript transcript;
  const auto block = testing::write_block_survey(transcript.io(), folder);
  // The same data without their standard deviations.
  SurveyData data;
  read_data_file(transcript.io(), block.dc_file, false, false, true, data);
  write_general_data(transcript.io(), folder.file("bare.dat"), "! xA xB xM xN value", data,
                     data.dobs);

  // Without --error the default: 3 % plus 3 % of the 5th percentile of |datum|, said.
  const RunResult defaulted =
      run_in(folder, {"--mesh", "block.msh", "--data", "bare.dat", "--out", "defaulted"});
  ASSERT_EQ(defaulted.status, exit_success) << defaulted.out << defaulted.err;
  std::vector<double> magnitudes;
  for (const double value : data.dobs) magnitudes.push_back(std::abs(value));
  std::sort(magnitudes.begin(), magnitudes.end());
  const double floor = 0.03 * magnitudes[magnitudes.size() / 20];
  EXPECT_NE(defaulted.out.find("Note: bare.dat holds no standard deviations: the default 3 % of "
                               "|datum| plus " +
                               format_significant(floor, 3) + " ohm"),
            std::string::npos)
      << defaulted.out;
  EXPECT_NE(
      testing::read_file(folder.file("defaulted/run.log")).find("Note: bare.dat holds no standard"),
      std::string::npos);
  {
    SurveyData predicted;
    read_data_file(transcript.io(), folder.file("defaulted/predicted.dat"), false, false, true,
                   predicted);
    for (std::size_t j = 0; j < predicted.dstd.size(); ++j) {
      const double observed = data.dobs[data.grouped_position(j)];
      const double used = predicted.dstd[predicted.grouped_position(j)];
      EXPECT_NEAR(used, 0.03 * std::abs(observed) + floor, 1e-9 * used) << j;
    }
  }

  const RunResult run = run_in(folder, {"--mesh", "block.msh", "--data", "bare.dat", "--error", "3",
                                        "--error-floor", "0.0001", "--out", "out"});
  ASSERT_EQ(run.status, exit_success) << run.out << run.err;
  SurveyData predicted;
  read_data_file(transcript.io(), folder.file("out/predicted.dat"), false, false, true, predicted);
  ASSERT_EQ(predicted.ndat, data.ndat);
  ASSERT_TRUE(predicted.dstd_read);
  for (std::size_t j = 0; j < predicted.dstd.size(); ++j) {
    const double observed = data.dobs[data.grouped_position(j)];
    const double used = predicted.dstd[predicted.grouped_position(j)];
    // predicted.dat writes its deviations with 10 significant digits.
    EXPECT_NEAR(used, 0.03 * std::abs(observed) + 0.0001, 1e-9 * used) << j;
  }
}

}  // namespace
}  // namespace quelby
