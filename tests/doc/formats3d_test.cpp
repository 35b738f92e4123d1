// The 3-D examples of doc/formats.md are read by their readers and hold what the text says.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "quelby/cells/active_cells3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/model3d.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/survey/survey3d_file.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

// The fenced blocks opened by "```text file3d=NAME", by name.
std::map<std::string, std::string> example_files(const std::string& markdown) {
  const std::string opening = "```text file3d=";
  std::map<std::string, std::string> files;
  std::size_t at = 0;
  while ((at = markdown.find(opening, at)) != std::string::npos) {
    const std::size_t name_end = markdown.find('\n', at);
    const std::string name = markdown.substr(at + opening.size(), name_end - at - opening.size());
    const std::size_t close = markdown.find("\n```", name_end);
    files[name] = markdown.substr(name_end + 1, close - name_end);
    at = close + 4;
  }
  return files;
}

TEST(Formats3DReference, EveryThreeDimensionalExampleIsReadByItsReader) {
  const std::filesystem::path source(QUELBY_SOURCE_DIR);
  const auto files = example_files(read_file((source / "doc" / "formats.md").string()));
  std::vector<std::string> names;
  for (const auto& entry : files) names.push_back(entry.first);
  ASSERT_EQ(names, (std::vector<std::string>{"small3d.act", "small3d.dat", "small3d.mod",
                                             "small3d.msh", "small3d.topo"}));
  TempFolder folder;
  for (const auto& [name, text] : files) folder.write(name, text);

  Transcript transcript;
  const Io& io = transcript.io();
  Mesh3D mesh;
  load_mesh3d(io, folder.file("small3d.msh"), mesh);
  EXPECT_EQ(mesh.y_nodes, (std::vector<double>{-10, 0, 10, 30}));
  EXPECT_EQ(mesh.nz, 2);

  // The model as write_model3d writes it.
  std::vector<double> values;
  read_model3d(io, mesh, folder.file("small3d.mod"), "model", values);
  write_model3d(io, mesh, folder.file("written.mod"), values);
  EXPECT_EQ(read_file(folder.file("written.mod")), files.at("small3d.mod"));
  EXPECT_EQ(values[static_cast<std::size_t>(mesh.cell(2, 1, 1))], 1000);

  Topography3D topography;
  read_topography3d(io, true, folder.file("small3d.topo"), topography);
  EXPECT_TRUE(topography.is_grid);
  EXPECT_EQ(surface_z_at(topography, 15, 0), 3);
  const std::vector<std::int32_t> air = air_cells_3d(io, mesh, topography);
  ActiveCells3D cells;
  read_active_cells3d(io, mesh, air, folder.file("small3d.act"), cells);
  EXPECT_EQ(cells.npar, 15);

  Survey3D survey;
  read_survey3d(io, folder.file("small3d.dat"), false, survey);
  EXPECT_EQ(survey.ndat, 2);
  EXPECT_EQ(survey.electrodes.size(), 6u);
  EXPECT_EQ(survey.b[1], survey.a[1]);
  EXPECT_EQ(transcript.console(), "");
}

}  // namespace
}  // namespace quelby
