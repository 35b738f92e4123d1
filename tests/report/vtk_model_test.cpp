#include "quelby/report/vtk_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cells/cells_fixtures.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::Outcome;
using testing::run;
using testing::TempFolder;

// What a reader of the file sees: the extent, the coordinates and the appended arrays by name.
struct ReadGrid {
  std::string extent;
  std::vector<double> x, y, z;
  std::vector<std::string> names;
  std::vector<std::vector<double>> arrays;
};

std::string attribute(const std::string& text, std::size_t from, const std::string& name) {
  const std::size_t start = text.find(name + "=\"", from) + name.size() + 2;
  return text.substr(start, text.find('"', start) - start);
}

std::vector<double> numbers_after(const std::string& text, const std::string& tag) {
  const std::size_t start = text.find('>', text.find(tag)) + 1;
  std::istringstream stream(text.substr(start, text.find("</DataArray>", start) - start));
  std::vector<double> values;
  for (double value; stream >> value;) values.push_back(value);
  return values;
}

ReadGrid read_grid(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ReadGrid grid;
  grid.extent = attribute(text, 0, "WholeExtent");
  grid.x = numbers_after(text, "Name=\"x\"");
  grid.y = numbers_after(text, "Name=\"y\"");
  grid.z = numbers_after(text, "Name=\"z\"");
  const std::size_t data = text.find('_', text.find("<AppendedData encoding=\"raw\">")) + 1;
  for (std::size_t at = text.find("format=\"appended\""); at != std::string::npos;
       at = text.find("format=\"appended\"", at + 1)) {
    const std::size_t tag = text.rfind("<DataArray", at);
    grid.names.push_back(attribute(text, tag, "Name"));
    const std::size_t offset = std::stoull(attribute(text, tag, "offset"));
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, text.data() + data + offset, sizeof bytes);
    std::vector<double> values(bytes / sizeof(double));
    std::memcpy(values.data(), text.data() + data + offset + sizeof bytes, bytes);
    grid.arrays.push_back(values);
  }
  EXPECT_NE(text.find("</AppendedData>\n</VTKFile>\n"), std::string::npos);
  return grid;
}

Mesh3D small_mesh() {
  Mesh3D mesh;
  mesh.nx = 2;
  mesh.ny = 3;
  mesh.nz = 2;
  mesh.x_nodes = {-5, 0, 10};
  mesh.y_nodes = {0, 1, 3, 6};
  mesh.z_nodes = {0, 2, 7};
  return mesh;
}

void expect_same_values(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (std::isnan(expected[i]))
      EXPECT_TRUE(std::isnan(actual[i])) << i;
    else
      EXPECT_EQ(actual[i], expected[i]) << i;
  }
}

TEST(VtkModel, WritesCoordinatesAsElevationsAndLayersBottomUp) {
  const Mesh3D mesh = small_mesh();
  // Cell (i, j, k) holds 100 k + 10 j + i; parameters 1..6 on the top layer only.
  std::vector<double> values(12);
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 2; ++i)
        values[static_cast<std::size_t>((k * 3 + j) * 2 + i)] = 100 * k + 10 * j + i;
  const std::vector<std::int32_t> cell_idx = {1, 2, 3, 4, 5, 6, 0, 0, -1, 0, 0, 0};
  const std::vector<double> parameters = {1.5, 2.5, 3.5, 4.5, 5.5, 6.5};
  const std::vector<double> spread = parameters_on_cells(cell_idx, parameters);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expect_same_values(spread, {1.5, 2.5, 3.5, 4.5, 5.5, 6.5, nan, nan, nan, nan, nan, nan});

  struct Case {
    std::optional<double> reference;
    std::vector<double> z;
  };
  const Case cases[] = {{std::nullopt, {-7, -2, 0}}, {120.5, {113.5, 118.5, 120.5}}};
  for (const Case& c : cases) {
    TempFolder folder;
    const std::string path = folder.file("model.vtr");
    const NamedCellArray arrays[] = {{"resistivity", values}, {"a<b", spread}};
    Outcome outcome;
    run(outcome, [&](const Io& io) { write_vtk_rectilinear(io, path, mesh, arrays, c.reference); });
    ASSERT_FALSE(outcome.stopped) << outcome.error();
    const ReadGrid grid = read_grid(path);
    EXPECT_EQ(grid.extent, "0 2 0 3 0 2");
    EXPECT_EQ(grid.x, mesh.x_nodes);
    EXPECT_EQ(grid.y, mesh.y_nodes);
    EXPECT_EQ(grid.z, c.z);
    ASSERT_EQ(grid.names, (std::vector<std::string>{"resistivity", "a&lt;b"}));
    // The bottom layer (k = 1) comes first.
    expect_same_values(grid.arrays[0], {100, 101, 110, 111, 120, 121, 0, 1, 10, 11, 20, 21});
    expect_same_values(grid.arrays[1],
                       {nan, nan, nan, nan, nan, nan, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5});
  }
}

TEST(VtkModel, SectionsAreOneCellAlongY) {
  const Mesh section = testing::mesh_with_widths({1, 2, 3}, {4, 5});
  const std::vector<double> values = {1, 2, 3, 4, 5, 6};
  TempFolder folder;
  const std::string path = folder.file("section.vtr");
  const NamedCellArray arrays[] = {{"log10_resistivity", values}};
  Outcome outcome;
  run(outcome, [&](const Io& io) { write_vtk_rectilinear(io, path, section, arrays); });
  ASSERT_FALSE(outcome.stopped) << outcome.error();
  const ReadGrid grid = read_grid(path);
  EXPECT_EQ(grid.extent, "0 3 0 1 0 2");
  EXPECT_EQ(grid.x, (std::vector<double>{0, 1, 3, 6}));
  EXPECT_EQ(grid.y, (std::vector<double>{0, 1}));
  EXPECT_EQ(grid.z, (std::vector<double>{-9, -4, 0}));
  expect_same_values(grid.arrays[0], {4, 5, 6, 1, 2, 3});
}

TEST(VtkModel, FailuresLeaveNoFile) {
  const Mesh3D mesh = small_mesh();
  const std::vector<double> right(12, 1.0), short_array(11, 1.0);
  TempFolder folder;
  struct Case {
    std::string path;
    std::vector<double> values;
    const char* error;
  };
  const Case cases[] = {
      {folder.file("short.vtr"), short_array, "size(cell array) /= cells"},
      {folder.file("missing/folder.vtr"), right, "Error: cannot write the VTK file"},
  };
  for (const Case& c : cases) {
    const NamedCellArray arrays[] = {{"resistivity", c.values}};
    Outcome outcome;
    run(outcome, [&](const Io& io) { write_vtk_rectilinear(io, c.path, mesh, arrays); });
    EXPECT_TRUE(outcome.stopped);
    EXPECT_NE(outcome.error().find(c.error), std::string::npos) << outcome.error();
    EXPECT_FALSE(std::filesystem::exists(c.path));
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

}  // namespace
}  // namespace quelby
