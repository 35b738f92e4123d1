// Survey data written in the general layout with their standard deviations: the file's own order,
// IPTYPE lines where the type changes, and a file that the data-file reader reads back to the same
// survey, values and deviations, from either layout.
#include "quelby/survey/data_writer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quelby/survey/data_file.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

TEST(DataWriter, WrittenInTheFileOrderWithIpTypesAndReadBackAlike) {
  TempFolder folder;
  Transcript t;
  struct Case {
    std::string name;
    std::string text;
    bool dc;
    std::string written;  // empty: not compared byte for byte
  };
  const std::vector<Case> cases = {
      {"general.dat",
       "IP survey\n"
       "0 30 10 20 12.5 0.5\n"
       "-30 60 0 30 11.0 0.5\n"
       "IPTYPE=2\n"
       "0 30 10 20 0.031 0.002\n"
       "IPTYPE=1\n"
       "-30.25 60 0 30 1e-300 3\n",
       false,
       "! xA xB xM xN value std\n"
       "IPTYPE=1\n"
       "0 30 10 20 1.2500000E+01 5.0000000E-01\n"
       "-30 60 0 30 1.1000000E+01 5.0000000E-01\n"
       "IPTYPE=2\n"
       "0 30 10 20 3.1000000E-02 2.0000000E-03\n"
       "IPTYPE=1\n"
       "-30.25 60 0 30 1.0000000E-300 3.0000000E+00\n"},
      {"common.dat",
       "COMMON_CURRENT\n2\n0 30 2\n10 20 -12.5 0.5\n40 50 4.1 0.2\n-5 5 1\n110 100 2.2 0.1\n", true,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SurveyData original, again;
    read_data_file(t.io(), folder.write(c.name, c.text), false, false, c.dc, original);
    write_general_data(t.io(), folder.file("out.dat"), "! xA xB xM xN value std", original,
                       original.dobs, original.dstd);
    if (!c.written.empty()) {
      EXPECT_EQ(read_file(folder.file("out.dat")), c.written);
    }
    read_data_file(t.io(), folder.file("out.dat"), false, false, c.dc, again);
    ASSERT_EQ(again.ndat, original.ndat);
    // Line j of the written file is datum j of the original in its file order (grouped order for
    // the common-current layout); the reader groups it anew.
    for (std::size_t j = 0; j < static_cast<std::size_t>(original.ndat); ++j) {
      const std::size_t from = original.has_file_order ? original.grouped_position(j) : j;
      const std::size_t to = again.grouped_position(j);
      EXPECT_EQ(again.xm[to], original.xm[from]);
      EXPECT_EQ(again.xn[to], original.xn[from]);
      EXPECT_EQ(again.iptype[to], original.iptype[from]);
      EXPECT_EQ(again.dobs[to], original.dobs[from]);
      EXPECT_EQ(again.dstd[to], original.dstd[from]);
    }
    if (original.has_file_order) {
      EXPECT_EQ(again.sorted_pos, original.sorted_pos);
      EXPECT_EQ(again.xa_file, original.xa_file);
      EXPECT_EQ(again.xb_file, original.xb_file);
    }
    EXPECT_EQ(again.ncur, original.ncur);
  }
  EXPECT_EQ(t.console(), "");
}

}  // namespace
}  // namespace quelby
