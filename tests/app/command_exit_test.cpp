// How a command ends when its run throws: a failed allocation prints the one out-of-memory message
// that every out_of_memory_stop writes, on standard output, and ends with status 1.
#include "app/command_exit.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

namespace quelby {
namespace {

// Runs exit_status_of on `run` with standard output and error captured.
struct Ending {
  int status;
  std::string out, err;
};
template <typename Run>
Ending end_of(Run&& run) {
  std::ostringstream out, err;
  std::streambuf* const old_out = std::cout.rdbuf(out.rdbuf());
  std::streambuf* const old_err = std::cerr.rdbuf(err.rdbuf());
  const bool details = true;
  const int status = exit_status_of(run, details);
  std::cout.rdbuf(old_out);
  std::cerr.rdbuf(old_err);
  return {status, out.str(), err.str()};
}

TEST(CommandExit, EveryEndingHasItsStatusAndOneWording) {
  const Ending memory = end_of([]() -> int { throw std::bad_alloc(); });
  EXPECT_EQ(memory.status, exit_failure);
  EXPECT_EQ(memory.out, "\nERROR: Not enough memory, program terminated!\n\n");
  EXPECT_EQ(memory.err, "");
  const Ending stop = end_of([]() -> int { throw Stop("text", exit_usage, "a.dat:3: detail"); });
  EXPECT_EQ(stop.status, exit_usage);
  EXPECT_EQ(stop.err, "a.dat:3: detail\n");
  const Ending other = end_of([]() -> int { throw std::runtime_error("broken"); });
  EXPECT_EQ(other.status, exit_failure);
  EXPECT_EQ(other.err, "Error: broken\n");
  EXPECT_EQ(end_of([] { return 0; }).status, exit_success);
}

}  // namespace
}  // namespace quelby
