// The memory a process can have now: MemAvailable of /proc/meminfo, read here on its own as the
// oracle, and the check of a size against it; and the one out-of-memory message.
#include "quelby/base/stops.hpp"

#include <gtest/gtest.h>
#include <sys/sysinfo.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

TEST(Stops, AvailableMemoryIsWhatTheSystemCallsAvailable) {
  std::ifstream meminfo("/proc/meminfo");
  ASSERT_TRUE(meminfo) << "no /proc/meminfo";
  unsigned long long kib = 0;
  for (std::string line; std::getline(meminfo, line);) {
    std::istringstream fields(line);
    std::string label;
    fields >> label;
    if (label == "MemAvailable:") fields >> kib;
  }
  ASSERT_GT(kib, 0u);
  const double expected = static_cast<double>(kib) * 1024;
  const double available = static_cast<double>(available_memory());
  // Both readings are of a moving figure: they agree to what other processes change meanwhile.
  EXPECT_GT(available, 0.5 * expected);
  EXPECT_LT(available, 2 * expected);
  struct sysinfo info {};
  ASSERT_EQ(::sysinfo(&info), 0);
  EXPECT_LE(available, static_cast<double>(info.totalram) * info.mem_unit);

  EXPECT_TRUE(fits_in_memory(0));
  EXPECT_TRUE(fits_in_memory(std::size_t{1} << 20));
  // More than the whole memory never fits, whatever swap there is.
  EXPECT_FALSE(fits_in_memory(static_cast<std::size_t>(info.totalram) * info.mem_unit +
                              (std::size_t{1} << 30)));
  EXPECT_FALSE(fits_in_memory(SIZE_MAX));
}

TEST(Stops, OutOfMemoryWritesTheOneMessageConsoleThenLog) {
  testing::Transcript t;
  try {
    out_of_memory_stop(t.io());
    ADD_FAILURE() << "returned";
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure);
    EXPECT_EQ(stop.cause(), StopCause::resource);
  }
  EXPECT_EQ(t.console(), "\nERROR: Not enough memory, program terminated!\n\n");
  EXPECT_EQ(t.log(), t.console());
  EXPECT_EQ(t.order(), (std::vector<std::string>{"console", "log"}));
}

}  // namespace
}  // namespace quelby
