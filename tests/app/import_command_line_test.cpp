// quelby-import's command line in process: each option's value in the run's ImportOptions
// (--drop-electrode repeatable, the rest their last value), and the values each option refuses.
#include "app/import_command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

ImportArguments parse(std::vector<const char*> words, testing::Transcript& transcript) {
  words.insert(words.begin(), "quelby-import");
  return parse_import_command_line(transcript.io(), static_cast<int>(words.size()), words.data());
}

TEST(ImportCommandLine, EveryOptionReachesTheImport) {
  testing::Transcript transcript;
  const ImportArguments arguments = parse({"--format",
                                           "syscal",
                                           "--spacing=2.5",
                                           "--geometric-factor",
                                           "numeric",
                                           "--error",
                                           "3",
                                           "--error-floor",
                                           "0.001",
                                           "--error-voltage",
                                           "1e-4",
                                           "--ip-error",
                                           "5",
                                           "--ip-error-floor",
                                           "0.5",
                                           "--reciprocal",
                                           "--drop-unpaired",
                                           "--max-reciprocal-error",
                                           "10",
                                           "--drop-electrode",
                                           "12.5",
                                           "--drop-electrode=-3",
                                           "--max-deviation",
                                           "2",
                                           "--min-current",
                                           "0.01",
                                           "--min-voltage",
                                           "1e-5",
                                           "--keep-negative",
                                           "line.csv",
                                           "out"},
                                          transcript);
  const ImportOptions& o = arguments.options;
  EXPECT_EQ(arguments.input, "line.csv");
  EXPECT_EQ(arguments.folder, "out");
  EXPECT_EQ(o.format, FieldFormat::syscal);
  EXPECT_EQ(o.spacing, 2.5);
  EXPECT_EQ(o.geometric_factors, GeometricFactorChoice::numeric);
  EXPECT_EQ(o.error_percent, 3);
  EXPECT_EQ(o.error_floor, 0.001);
  EXPECT_EQ(o.error_voltage, 1e-4);
  EXPECT_EQ(o.ip_error_percent, 5);
  EXPECT_EQ(o.ip_error_floor, 0.5);
  EXPECT_TRUE(o.reciprocal && o.drop_unpaired && o.keep_negative);
  EXPECT_EQ(o.max_reciprocal_error, 10);
  EXPECT_EQ(o.drop_electrodes, (std::vector<double>{12.5, -3}));
  EXPECT_EQ(o.max_deviation, 2);
  EXPECT_EQ(o.min_current, 0.01);
  EXPECT_EQ(o.min_voltage, 1e-5);

  const ImportArguments plain = parse({"in.ohm", "out"}, transcript);
  EXPECT_FALSE(plain.options.format || plain.options.reciprocal || plain.options.max_deviation);
  EXPECT_EQ(plain.options.spacing, 1);
  EXPECT_EQ(plain.options.geometric_factors, GeometricFactorChoice::automatic);
}

TEST(ImportCommandLine, RefusedValuesAreUsageErrors) {
  const struct {
    std::vector<const char*> words;
    std::string error;
  } cases[] = {
      {{"--format", "res", "a", "b"},
       "quelby-import: option '--format' needs one of unified, dat2d, syscal, terrameter, "
       "protocol, syscal-binary, sting, lund, lippmann, ares, das1, electra, prime, ohmpi, not "
       "'res'\n"},
      {{"--spacing", "1e-320", "a", "b"},
       "quelby-import: option '--spacing' needs a spacing of 1e-6 m or more, not '1e-320'\n"},
      {{"--error", "2", "--error", "3", "a", "b"},
       "quelby-import: option '--error' is given twice\n"},
      {{"--ip-range", "5", "a", "b"},
       "quelby-import: option '--ip-range' needs MIN,MAX with MIN below MAX, not '5'\n"},
      {{"--ip-unit", "ppm", "a", "b"},
       "quelby-import: option '--ip-unit' needs mV/V, %, ms or mrad, not 'ppm'\n"},
      {{"--columns", "r,phase", "a", "b"},
       "quelby-import: option '--columns' needs names among r, err, rhoa, ip, iperr, skip, not "
       "'r,phase'\n"},
      {{"--spacing", "0", "a", "b"},
       "quelby-import: option '--spacing' needs a positive number of metres, not '0'\n"},
      {{"--geometric-factor", "exact", "a", "b"},
       "quelby-import: option '--geometric-factor' needs flat, numeric or auto, not 'exact'\n"},
      {{"--error", "-2", "a", "b"},
       "quelby-import: option '--error' needs a number of 0 or more, not '-2'\n"},
      {{"--max-deviation", "0", "a", "b"},
       "quelby-import: option '--max-deviation' needs a positive number, not '0'\n"},
      {{"--drop-electrode", "twelve", "a", "b"},
       "quelby-import: option '--drop-electrode' needs a position in metres, not 'twelve'\n"},
      {{"--drop-unpaired", "a", "b"}, "quelby-import: --drop-unpaired needs --reciprocal\n"},
      {{"--reciprocal=yes", "a", "b"}, "quelby-import: option '--reciprocal' takes no value\n"},
      {{"a"}, ""},
  };
  for (const auto& test : cases) {
    testing::Transcript transcript;
    try {
      parse(test.words, transcript);
      ADD_FAILURE() << test.error;
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.status(), exit_usage);
      EXPECT_EQ(transcript.error(), test.error);
      EXPECT_TRUE(transcript.console().starts_with("\nUsage: quelby-import")) << test.error;
    }
  }
}

}  // namespace
}  // namespace quelby
