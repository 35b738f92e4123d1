// Every import example of doc/formats.md (the blocks opened by "```text import=NAME format=FORMAT
// data=N") is told to be of its format and imports to its number of data; and the units table
// names every file the reference describes.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

struct Example {
  std::string name, format, content;
  int data = 0;
};

std::vector<Example> import_examples(const std::string& markdown) {
  const std::string opening = "```text import=";
  std::vector<Example> examples;
  std::size_t at = 0;
  while ((at = markdown.find(opening, at)) != std::string::npos) {
    const std::size_t end = markdown.find('\n', at);
    std::istringstream words(markdown.substr(at + opening.size(), end - at - opening.size()));
    Example example;
    std::string format, data;
    words >> example.name >> format >> data;
    example.format = format.substr(format.find('=') + 1);
    example.data = std::stoi(data.substr(data.find('=') + 1));
    const std::size_t close = markdown.find("\n```", end);
    example.content = markdown.substr(end + 1, close - end);
    examples.push_back(example);
    at = close + 4;
  }
  return examples;
}

TEST(ImportFormatsReference, EveryExampleImportsAsItsFormat) {
  const std::filesystem::path source(QUELBY_SOURCE_DIR);
  const std::string markdown = testing::read_file((source / "doc" / "formats.md").string());
  const auto examples = import_examples(markdown);
  ASSERT_EQ(examples.size(), 8u);
  for (const Example& example : examples) {
    SCOPED_TRACE(example.name + " as " + example.format);
    testing::TempFolder folder;
    const std::string file = folder.write(example.name, example.content);
    testing::Transcript transcript;
    const FieldSurvey survey = read_field_file(transcript.io(), file, std::nullopt);
    EXPECT_EQ(format_name(survey.format), example.format);
    const ImportResult result = import_field_data(transcript.io(), file, ImportOptions{});
    EXPECT_EQ(result.data.ndat, example.data) << result.log;
  }
  for (const char* file : {"mesh file", "model file", "topography file", "active-cell file",
                           "dipping file", "survey data files", "inversion control file",
                           "iteration history", "sensitivity file", "`quelby-import`"}) {
    const std::size_t table = markdown.find("## Units of every value");
    EXPECT_NE(markdown.find(std::string("| ") + file, table), std::string::npos) << file;
  }
}

}  // namespace
}  // namespace quelby
