// The check of a reader's stop details: each case's text is written to the file "f.txt" and read;
// the stop's detail (the folder's path left out) must be the case's, one line without control
// characters, while the streams hold the stop's message and nothing of the detail.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby::testing {

struct DetailCase {
  std::string what;
  std::string content;  // of the file "f.txt"
  std::string detail;   // with the folder's path left out
};

using DetailReader = std::function<void(const Io&, const std::string&)>;

inline void check_details(const std::vector<DetailCase>& cases, const DetailReader& read) {
  for (const DetailCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string path = folder.write("f.txt", c.content);
    const std::string folder_prefix = path.substr(0, path.size() - 5);
    std::ostringstream console, error, log;
    const Io io{console, error, log};
    try {
      read(io, path);
      ADD_FAILURE() << "no stop";
    } catch (const Stop& stop) {
      ASSERT_TRUE(stop.detail().starts_with(folder_prefix)) << stop.detail();
      EXPECT_EQ(stop.detail().substr(folder_prefix.size()), c.detail);
      EXPECT_TRUE(std::none_of(stop.detail().begin(), stop.detail().end(), [](char ch) {
        return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F;
      })) << stop.detail();
      for (const std::string& shown : {console.str(), error.str(), log.str()}) {
        EXPECT_EQ(shown.find(stop.detail()), std::string::npos) << shown;
      }
      EXPECT_NE((console.str() + error.str()).find(stop.what()), std::string::npos);
    }
  }
}

}  // namespace quelby::testing
