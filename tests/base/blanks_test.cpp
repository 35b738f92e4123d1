#include "quelby/base/blanks.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace quelby {
namespace {

TEST(Blanks, SpacesAndTabsAloneAreTrimmed) {
  struct Case {
    std::string_view text;
    std::string_view trimmed;
  };
  const std::vector<Case> cases = {
      {"", ""},         {" \t \t", ""},         {"a.dat", "a.dat"},     {"a.dat \t", "a.dat"},
      {"a b\t", "a b"}, {"\ta.dat", "\ta.dat"}, {"a.dat\r", "a.dat\r"}, {"a\n ", "a\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_trailing_blanks(c.text), c.trimmed) << c.text;
  EXPECT_TRUE(is_blank('\t'));
  EXPECT_FALSE(is_blank('\v'));
}

}  // namespace
}  // namespace quelby
