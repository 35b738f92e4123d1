// The commands given a survey that never ends (/dev/zero, /dev/urandom) in every place a survey
// file is named: each stops at once with the data file's read error and status 1, as they do for
// any other endless input file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::TempFolder;

TEST(EndlessInput, EverySurveyReadStopsAtOnce) {
  TempFolder folder;
  folder.write("line.msh", "1\n0 10 10\n1\n0 5 5\n");
  folder.write("line.mod", "10 5\n50*100\n");
  const auto control = [&](const std::string& data) {
    return folder.write(data.substr(5) + ".inv",
                        "line.msh\n" + data +
                            "\nnone\nnone\nnone\n100\n100\ndefault\nnone\nnone\n"
                            "default\n2\nDC\nout\n");
  };
  struct Case {
    std::string program;
    std::vector<std::string> arguments;
    std::string survey;  // the endless input, as messages name it
  };
  const std::vector<Case> cases = {
      {QUELBY_FORWARD_BINARY, {"line.msh", "line.mod", "/dev/zero", "out.dat"}, "/dev/zero"},
      {QUELBY_FORWARD_BINARY, {"line.msh", "line.mod", "/dev/urandom", "out.dat"}, "/dev/urandom"},
      {QUELBY_MESH_BINARY, {"/dev/zero", "out.msh"}, "/dev/zero"},
      {QUELBY_MESH_BINARY, {"/dev/urandom", "out.msh"}, "/dev/urandom"},
      {QUELBY_INVERT_BINARY, {"--mesh", "line.msh", "--data", "/dev/zero"}, "/dev/zero"},
      {QUELBY_INVERT_BINARY, {control("/dev/zero")}, "/dev/zero"},
      {QUELBY_INVERT_BINARY, {control("/dev/urandom")}, "/dev/urandom"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " " + c.arguments.front() + " ... " + c.survey);
    const testing::RunResult result =
        testing::run_command(c.program, folder.path(), c.arguments, folder.file("out.capture"),
                             folder.file("err.capture"));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("Error reading data file.\n" + c.survey + "\n"), std::string::npos);
    // The detail names the file; /dev/zero's first line is the one that never ends.
    EXPECT_EQ(result.err.rfind(c.survey + ":", 0), 0u) << result.err;
    if (c.survey == "/dev/zero") {
      EXPECT_NE(result.err.find("/dev/zero:1: the line goes on beyond 1048576 bytes"),
                std::string::npos)
          << result.err;
    }
  }
}

}  // namespace
}  // namespace quelby
