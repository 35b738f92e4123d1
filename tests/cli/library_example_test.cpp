#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

// The bundled library example runs on the bundled model and writes a model of the same size.
TEST(LibraryExample, SmoothsTheBundledModel) {
  testing::TempFolder folder;
  const std::string examples = std::string(QUELBY_SOURCE_DIR) + "/examples/";
  const std::string output = folder.file("out.mod");
  const std::string console = folder.file("console.txt");
  const std::string command = std::string(QUELBY_LIBRARY_EXAMPLE) + " '" + examples +
                              "section.msh' '" + examples + "section.mod' '" + output + "' > '" +
                              console + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string text = testing::read_file(console);
  EXPECT_EQ(
      text.rfind(
          "80 by 30 cells, x from -1655 to 2255, z from 0 to 458.5; values from 10 to 1000\n", 0),
      0u)
      << text;
  EXPECT_NE(text.find("example was read from file: "), std::string::npos) << text;
  EXPECT_EQ(testing::read_file(output).substr(0, 11), "   80   30\n");
  EXPECT_EQ(testing::read_file(output).size(), 11 + 30 * (80 * 13 + 1));
}

// The regularisation example sets up the objective from the bundled files, reports its terms and
// writes an iteration history.
TEST(LibraryExample, SetsUpTheRegularisationOfTheBundledSection) {
  testing::TempFolder folder;
  const std::string examples = std::string(QUELBY_SOURCE_DIR) + "/examples/section.";
  const std::string history = folder.file("history.txt");
  const std::string console = folder.file("console.txt");
  std::string command = std::string(QUELBY_REGULARIZATION_EXAMPLE);
  for (const char* extension : {"msh", "topo", "act", "wgt", "dip", "mod"}) {
    command += " '" + examples + extension + "'";
  }
  command += " '" + history + "' > '" + console + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string text = testing::read_file(console);
  // 2400 cells less the bottom row and the air cells under the topography; the dip adds a term.
  EXPECT_EQ(text.rfind("2253 parameters, 4 terms, ", 0), 0u) << text;
  for (const char* line : {"topography was read from: ", "weights were read from: ",
                           "dipping information was read from: ", "    norm comp Wxz = "}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(testing::read_file(history).substr(0, 12), "    0  iter ");
}

}  // namespace
}  // namespace quelby
