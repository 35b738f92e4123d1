#include "quelby/report/vtk_model.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <system_error>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/blanks.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

constexpr std::string_view what = "VTK file";

void append_number(std::string& text, double value) {
  char field[32];
  const std::to_chars_result result = std::to_chars(field, field + sizeof field, value);
  text.append(field, result.ptr);
}

// The characters XML gives a meaning to, as entities.
std::string escaped(std::string_view name) {
  std::string text;
  for (const char c : name) {
    switch (c) {
      case '&':
        text += "&amp;";
        break;
      case '<':
        text += "&lt;";
        break;
      case '>':
        text += "&gt;";
        break;
      case '"':
        text += "&quot;";
        break;
      default:
        text += c;
    }
  }
  return text;
}

void append_coordinates(std::string& text, const char* name, std::span<const double> nodes) {
  text += "        <DataArray type=\"Float64\" Name=\"";
  text += name;
  text += "\" format=\"ascii\">\n         ";
  for (const double node : nodes) {
    text += ' ';
    append_number(text, node);
  }
  text += "\n        </DataArray>\n";
}

// The grid's nodes along each axis, z as elevation from the bottom up.
struct GridNodes {
  std::int32_t nx;
  std::int32_t ny;
  std::int32_t nz;
  std::span<const double> x;
  std::span<const double> y;
  std::vector<double> elevations;
};

std::string header(const GridNodes& grid, std::span<const NamedCellArray> arrays,
                   std::uint64_t cell_bytes) {
  const std::string extent = "0 " + std::to_string(grid.nx) + " 0 " + std::to_string(grid.ny) +
                             " 0 " + std::to_string(grid.nz);
  std::string text = "<?xml version=\"1.0\"?>\n";
  text += "<VTKFile type=\"RectilinearGrid\" version=\"1.0\" byte_order=\"";
  text += std::endian::native == std::endian::big ? "BigEndian" : "LittleEndian";
  text += "\" header_type=\"UInt64\">\n";
  text += "  <RectilinearGrid WholeExtent=\"" + extent + "\">\n";
  text += "    <Piece Extent=\"" + extent + "\">\n";
  text += "      <CellData";
  if (!arrays.empty()) text += " Scalars=\"" + escaped(arrays[0].name) + "\"";
  text += ">\n";
  // Each appended block is its byte count (8 bytes) followed by its values.
  std::uint64_t offset = 0;
  for (const NamedCellArray& array : arrays) {
    text += "        <DataArray type=\"Float64\" Name=\"" + escaped(array.name) +
            "\" format=\"appended\" offset=\"" + std::to_string(offset) + "\"/>\n";
    offset += sizeof(std::uint64_t) + cell_bytes;
  }
  text += "      </CellData>\n      <Coordinates>\n";
  append_coordinates(text, "x", grid.x);
  append_coordinates(text, "y", grid.y);
  append_coordinates(text, "z", grid.elevations);
  text += "      </Coordinates>\n    </Piece>\n  </RectilinearGrid>\n";
  text += "  <AppendedData encoding=\"raw\">\n   _";
  return text;
}

void write_grid(const Io& io, std::string_view file_name, const GridNodes& grid,
                std::span<const NamedCellArray> arrays) {
  const auto layer_cells = static_cast<std::size_t>(grid.nx) * static_cast<std::size_t>(grid.ny);
  const std::size_t n_cells = layer_cells * static_cast<std::size_t>(grid.nz);
  for (const NamedCellArray& array : arrays)
    if (array.values.size() != n_cells) internal_check_failed(io, "size(cell array) /= cells");
  const std::uint64_t cell_bytes = n_cells * sizeof(double);

  const std::string name(trim_trailing_blanks(file_name));
  AtomicOutput output(name);
  const auto check = [&](int error) {
    if (error != 0) write_failed(io, what, name, error);
  };
  check(output.create());
  const std::string text = header(grid, arrays, cell_bytes);
  check(output.write(text.data(), text.size()));
  for (const NamedCellArray& array : arrays) {
    check(output.write(reinterpret_cast<const char*>(&cell_bytes), sizeof cell_bytes));
    // The bottom layer first: the z coordinates increase upwards.
    for (std::size_t k = static_cast<std::size_t>(grid.nz); k-- > 0;) {
      check(output.write(reinterpret_cast<const char*>(array.values.data() + k * layer_cells),
                         layer_cells * sizeof(double)));
    }
  }
  const std::string_view tail = "\n  </AppendedData>\n</VTKFile>\n";
  check(output.write(tail.data(), tail.size()));
  check(output.commit());
}

std::vector<double> elevations_of(std::span<const double> depths,
                                  std::optional<double> reference_elevation) {
  std::vector<double> elevations;
  elevations.reserve(depths.size());
  for (std::size_t k = depths.size(); k-- > 0;)
    elevations.push_back(reference_elevation.value_or(0.0) - depths[k]);  // 0 - 0 is +0
  return elevations;
}

void check_nodes(const Io& io, std::size_t have, std::int32_t cells) {
  if (cells < 1 || have != static_cast<std::size_t>(cells) + 1)
    internal_check_failed(io, "mesh nodes /= cells + 1");
}

}  // namespace

std::vector<double> parameters_on_cells(std::span<const std::int32_t> cell_idx,
                                        std::span<const double> parameters) {
  std::vector<double> values(cell_idx.size(), std::numeric_limits<double>::quiet_NaN());
  for (std::size_t cell = 0; cell < cell_idx.size(); ++cell) {
    const std::int32_t index = cell_idx[cell];
    if (index > 0 && static_cast<std::size_t>(index) <= parameters.size())
      values[cell] = parameters[static_cast<std::size_t>(index - 1)];
  }
  return values;
}

void write_vtk_rectilinear(const Io& io, std::string_view file_name, const Mesh3D& mesh,
                           std::span<const NamedCellArray> arrays,
                           std::optional<double> reference_elevation) {
  check_nodes(io, mesh.x_nodes.size(), mesh.nx);
  check_nodes(io, mesh.y_nodes.size(), mesh.ny);
  check_nodes(io, mesh.z_nodes.size(), mesh.nz);
  const GridNodes grid{mesh.nx,      mesh.ny,
                       mesh.nz,      mesh.x_nodes,
                       mesh.y_nodes, elevations_of(mesh.z_nodes, reference_elevation)};
  write_grid(io, file_name, grid, arrays);
}

void write_vtk_rectilinear(const Io& io, std::string_view file_name, const Mesh& mesh,
                           std::span<const NamedCellArray> arrays,
                           std::optional<double> reference_elevation) {
  check_nodes(io, mesh.x_nodes.size(), mesh.nx);
  check_nodes(io, mesh.z_nodes.size(), mesh.nz);
  static constexpr double y_nodes[] = {0.0, 1.0};
  const GridNodes grid{mesh.nx,      1,       mesh.nz,
                       mesh.x_nodes, y_nodes, elevations_of(mesh.z_nodes, reference_elevation)};
  write_grid(io, file_name, grid, arrays);
}

}  // namespace quelby
