// The phase timer names no phase of its own: its report lists the phases it was given, in their
// order, then every other phase marked, in the order of its first mark, between the two stamps.
// Only names and layout are checked, never a time.
#include "quelby/base/phase_timer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

TEST(PhaseTimer, ReportsTheGivenPhasesThenTheOthersInTheOrderOfTheirFirstMark) {
  testing::TempFolder folder;
  const std::array<std::string_view, 3> given = {"start", "given", "never marked"};
  start_phase_timer("start");
  EXPECT_FALSE(report_phases_to("", given));
  EXPECT_FALSE(report_phases_to(std::string(5000, 'p'), given));
  ASSERT_FALSE(phase_timing());
  phase_mark("marked while off");  // not timed, so not reported

  ASSERT_TRUE(report_phases_to(folder.file("phases.txt"), given));
  EXPECT_TRUE(phase_timing());
  EXPECT_FALSE(report_phases_to(folder.file("again.txt"), given));
  phase_mark("own");
  phase_mark("given");
  phase_mark_split("second own", "split share", 0.25);
  phase_mark("own");

  std::array<char, 4096> text{};
  const std::size_t length = format_phase_report(text);
  std::istringstream report(std::string(text.data(), length));
  std::vector<std::string> kinds;
  std::vector<std::string> names;
  // "<kind> <name> <seconds>", the name itself possibly holding blanks.
  for (std::string line; std::getline(report, line);) {
    const std::size_t first = line.find(' ');
    const std::size_t last = line.rfind(' ');
    ASSERT_LT(first, last) << line;
    kinds.push_back(line.substr(0, first));
    names.push_back(line.substr(first + 1, last - first - 1));
    EXPECT_NE(line.find('.', last), std::string::npos) << line;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"main", "start", "given", "never marked", "own",
                                             "second own", "split share", "exit"}));
  EXPECT_EQ(kinds, (std::vector<std::string>{"stamp", "phase", "phase", "phase", "phase", "phase",
                                             "phase", "stamp"}));
  EXPECT_NE(std::string(text.data(), length).find("phase never marked 0.000000\n"),
            std::string::npos);
  // A report cut short at its buffer's end.
  std::array<char, 20> short_text{};
  EXPECT_EQ(format_phase_report(short_text), short_text.size());
}

}  // namespace
}  // namespace quelby
