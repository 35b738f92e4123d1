// The library's folders are floors: every include of a library file names a file of its own
// floor or of a floor below, no two folders include each other, and every folder is a known floor.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace quelby {
namespace {

const std::map<std::string, int> floor_of = {
    {"base", 0},    {"sparse", 1},         {"mesh", 1},      {"survey", 2},
    {"cells", 2},   {"regularization", 3}, {"smoothing", 3}, {"report", 4},
    {"forward", 4}, {"fielddata", 5},      {"inversion", 6},
};

// The folder of every "quelby/<folder>/..." include in `path`.
std::set<std::string> included_folders(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::set<std::string> folders;
  const std::string prefix = "#include \"quelby/";
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    const std::size_t slash = line.find('/', prefix.size());
    if (slash == std::string::npos) continue;  // the umbrella header
    folders.insert(line.substr(prefix.size(), slash - prefix.size()));
  }
  return folders;
}

TEST(Floors, EveryIncludePointsDownAndNoTwoFoldersIncludeEachOther) {
  const std::filesystem::path root = std::filesystem::path(QUELBY_SOURCE_DIR) / "quelby";
  std::set<std::pair<std::string, std::string>> arrows;
  int files = 0;
  for (const auto& folder : std::filesystem::directory_iterator(root)) {
    if (!folder.is_directory()) continue;
    const std::string name = folder.path().filename().string();
    ASSERT_TRUE(floor_of.count(name)) << "a folder that is no floor: " << name;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      ++files;
      for (const std::string& target : included_folders(entry.path())) {
        ASSERT_TRUE(floor_of.count(target)) << entry.path() << " includes from " << target;
        EXPECT_LE(floor_of.at(target), floor_of.at(name))
            << entry.path() << " includes from the higher floor " << target;
        if (target != name) arrows.insert({name, target});
      }
    }
  }
  EXPECT_GT(files, 50);
  for (const auto& [from, to] : arrows) {
    EXPECT_FALSE(arrows.count({to, from})) << from << " and " << to << " include each other";
  }
}

}  // namespace
}  // namespace quelby
