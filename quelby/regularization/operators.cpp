#include "quelby/regularization/operators.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "quelby/base/huge_pages.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

constexpr std::int64_t max_entries = std::numeric_limits<std::int32_t>::max();

std::size_t cell_count(const Mesh& mesh) {
  if (mesh.nx < 1 || mesh.nz < 1) return 0;
  return static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
}

// The arrays a builder reads must cover the mesh, and the widths every column and row.
void check_cells(const Io& io, const ParameterCells& cells) {
  const std::size_t n_cells = cell_count(cells.mesh);
  if (cells.npar < 0) internal_check_failed(io, "npar < 0");
  if (cells.cell_idx.size() < n_cells) internal_check_failed(io, "size(cell_idx) < nx*nz");
  if (n_cells > 0 && (cells.mesh.dx.size() < static_cast<std::size_t>(cells.mesh.nx) ||
                      cells.mesh.dz.size() < static_cast<std::size_t>(cells.mesh.nz)))
    internal_check_failed(io, "mesh widths missing");
}

void check_cell_array(const Io& io, std::span<const double> array, const ParameterCells& cells,
                      const char* text) {
  if (array.size() < cell_count(cells.mesh)) internal_check_failed(io, text);
}

// The zone of a cell as an index into the zone arrays.
std::size_t zone_of(const Io& io, std::int32_t zone, std::size_t n_zones) {
  if (zone < 1 || static_cast<std::size_t>(zone) > n_zones)
    internal_check_failed(io, "zone_idx out of range");
  return static_cast<std::size_t>(zone - 1);
}

// Distances between neighbouring centres: centres[i] = (widths[i] + widths[i+1]) / 2.
std::vector<double> centre_distances(const std::vector<double>& widths, std::int32_t count) {
  std::vector<double> distances;
  if (count < 2) return distances;
  distances.resize(static_cast<std::size_t>(count - 1));
  for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(count); ++i)
    distances[i] = (widths[i] + widths[i + 1]) / 2;
  return distances;
}

// The capacity of an operator of two entries per row, within the 32-bit positions of a CsrMatrix.
std::int64_t two_per_row(std::int32_t npar) {
  return std::min<std::int64_t>(2 * static_cast<std::int64_t>(npar), max_entries);
}

// Appends the rows of a first-difference operator, checking row count and capacity before any
// element is stored beyond them.
class OperatorWriter {
 public:
  OperatorWriter(const Io& io, std::int32_t npar, const char* capacity_text, CsrMatrix& out)
      : io_(io),
        npar_(npar),
        capacity_(two_per_row(npar)),
        capacity_text_(capacity_text),
        out_(out) {
    out_.values.clear();
    out_.columns.clear();
    out_.row_start.clear();
    reserve_with_huge_pages(out_.values, static_cast<std::size_t>(capacity_));
    reserve_with_huge_pages(out_.columns, static_cast<std::size_t>(capacity_));
    reserve_with_huge_pages(out_.row_start, static_cast<std::size_t>(npar) + 1);
  }

  void pair(std::int32_t first, std::int32_t second, double v) {
    start_row(2);
    out_.columns.push_back(first);
    out_.values.push_back(-v);
    out_.columns.push_back(second);
    out_.values.push_back(v);
  }

  // A row that differences nothing: one entry 0 in column 0.
  void empty_row() {
    start_row(1);
    out_.columns.push_back(0);
    out_.values.push_back(0.0);
  }

  void finish() {
    if (static_cast<std::int64_t>(out_.row_start.size()) != npar_)
      internal_check_failed(io_, "irow /= npar");
    out_.row_start.push_back(static_cast<std::int32_t>(out_.values.size()));
  }

 private:
  void start_row(std::int64_t entries) {
    if (static_cast<std::int64_t>(out_.row_start.size()) >= npar_)
      internal_check_failed(io_, "irow /= npar");
    if (static_cast<std::int64_t>(out_.values.size()) + entries > capacity_)
      internal_check_failed(io_, capacity_text_);
    out_.row_start.push_back(static_cast<std::int32_t>(out_.values.size()));
  }

  const Io& io_;
  std::int64_t npar_;
  std::int64_t capacity_;
  const char* capacity_text_;
  CsrMatrix& out_;
};

}  // namespace

std::int64_t count_visited_cells(std::span<const std::int32_t> cell_idx) {
  std::int64_t count = 0;
  for (const std::int32_t index : cell_idx) count += index != 0 ? 1 : 0;
  return count;
}

void build_smallness(const Io& io, const ParameterCells& cells, std::span<const double> s_weights,
                     std::span<const std::int32_t> zone_idx, std::span<const double> zone_alpha_s,
                     std::vector<double>& WTWs) {
  check_cells(io, cells);
  check_cell_array(io, s_weights, cells, "size(s_weights) < nx*nz");
  if (zone_idx.size() < cell_count(cells.mesh)) internal_check_failed(io, "size(zone_idx) < nx*nz");
  const Mesh& mesh = cells.mesh;
  assign_with_huge_pages(WTWs, static_cast<std::size_t>(cells.npar), 0.0);
  std::size_t count = 0;
  const std::size_t nx = cell_count(mesh) == 0 ? 0 : static_cast<std::size_t>(mesh.nx);
  const std::size_t nz = nx == 0 ? 0 : static_cast<std::size_t>(mesh.nz);
  for (std::size_t iz = 0; iz < nz; ++iz) {
    for (std::size_t ix = 0; ix < nx; ++ix) {
      const std::size_t cell = iz * nx + ix;
      if (cells.cell_idx[cell] == 0) continue;
      if (count >= WTWs.size()) internal_check_failed(io, "icount > size(WTWs)");
      const std::size_t zone = zone_of(io, zone_idx[cell], zone_alpha_s.size());
      WTWs[count++] = mesh.dz[iz] * mesh.dx[ix] * s_weights[cell] * zone_alpha_s[zone];
    }
  }
}

void build_rotated_weights(const Io& io, const ParameterCells& cells,
                           std::span<const double> x_weights, std::span<const double> z_weights,
                           std::span<const std::int32_t> zone_idx, const ZoneCoefficients& zones,
                           RotatedWeights& weights) {
  check_cells(io, cells);
  check_cell_array(io, x_weights, cells, "size(x_weights) < nx*nz");
  check_cell_array(io, z_weights, cells, "size(z_weights) < nx*nz");
  if (zone_idx.size() < cell_count(cells.mesh)) internal_check_failed(io, "size(zone_idx) < nx*nz");
  const std::size_t n_zones =
      std::min({zones.alpha_x.size(), zones.alpha_z.size(), zones.dip.size()});

  // The sine and cosine of a zone's dip, once per zone: the same values as per cell.
  std::vector<double> sines(n_zones);
  std::vector<double> cosines(n_zones);
  for (std::size_t zone = 0; zone < n_zones; ++zone) {
    sines[zone] = std::sin(zones.dip[zone]);
    cosines[zone] = std::cos(zones.dip[zone]);
  }

  const auto npar = static_cast<std::size_t>(cells.npar);
  assign_with_huge_pages(weights.Bx, npar, 0.0);
  assign_with_huge_pages(weights.Bz, npar, 0.0);
  assign_with_huge_pages(weights.Bxz, npar, 0.0);
  std::size_t count = 0;
  const std::size_t n_cells = cell_count(cells.mesh);
  for (std::size_t cell = 0; cell < n_cells; ++cell) {
    if (cells.cell_idx[cell] == 0) continue;
    if (count >= npar) internal_check_failed(io, "icount > size(Bx)");
    const std::size_t zone = zone_of(io, zone_idx[cell], n_zones);
    const double s = sines[zone];
    const double c = cosines[zone];
    const double a = x_weights[cell] * zones.alpha_x[zone];
    const double b = z_weights[cell] * zones.alpha_z[zone];
    weights.Bx[count] = a * (c * c) + b * (s * s);
    weights.Bz[count] = a * (s * s) + b * (c * c);
    weights.Bxz[count] = s * c * (a - b);
    ++count;
  }
}

void build_x_operator(const Io& io, const ParameterCells& cells, CsrMatrix& Wx) {
  check_cells(io, cells);
  const Mesh& mesh = cells.mesh;
  const std::vector<double> dxc = centre_distances(mesh.dx, mesh.nx);
  OperatorWriter writer(io, cells.npar, "ndx > size(Wx)", Wx);
  const std::size_t nx = cell_count(mesh) == 0 ? 0 : static_cast<std::size_t>(mesh.nx);
  const std::size_t nz = nx == 0 ? 0 : static_cast<std::size_t>(mesh.nz);
  std::int32_t k = 0;  // the 0-based row of the cell being visited
  for (std::size_t iz = 0; iz < nz; ++iz) {
    const std::span<const std::int32_t> row = cells.cell_idx.subspan(iz * nx, nx);
    for (std::size_t ix = 0; ix < nx; ++ix) {
      if (row[ix] == 0) continue;
      if (ix + 1 < nx && row[ix + 1] != 0) {
        writer.pair(k, k + 1, std::sqrt(mesh.dz[iz] * dxc[ix]) / dxc[ix]);
      } else if (ix > 0 && row[ix - 1] != 0) {
        writer.pair(k - 1, k, std::sqrt(mesh.dz[iz] * dxc[ix - 1]) / dxc[ix - 1]);
      } else {
        writer.empty_row();
      }
      ++k;
    }
  }
  writer.finish();
}

void build_z_operator(const Io& io, const ParameterCells& cells, CsrMatrix& Wz) {
  check_cells(io, cells);
  const Mesh& mesh = cells.mesh;
  const std::vector<double> dzc = centre_distances(mesh.dz, mesh.nz);
  OperatorWriter writer(io, cells.npar, "ndz > size(Wz)", Wz);
  const std::size_t nx = cell_count(mesh) == 0 ? 0 : static_cast<std::size_t>(mesh.nx);
  const std::size_t nz = nx == 0 ? 0 : static_cast<std::size_t>(mesh.nz);
  std::int32_t k = 0;
  for (std::size_t iz = 0; iz < nz; ++iz) {
    for (std::size_t ix = 0; ix < nx; ++ix) {
      if (cells.cell_idx[iz * nx + ix] == 0) continue;
      if (nz == 1) {
        writer.empty_row();
      } else if (iz + 1 < nz) {
        const std::int32_t below = cells.cell_idx[(iz + 1) * nx + ix] - 1;
        writer.pair(k, below, std::sqrt(mesh.dx[ix] * dzc[iz]) / dzc[iz]);
      } else {
        const std::int32_t above = cells.cell_idx[(iz - 1) * nx + ix] - 1;
        writer.pair(above, k, std::sqrt(mesh.dx[ix] * dzc[iz - 1]) / dzc[iz - 1]);
      }
      ++k;
    }
  }
  writer.finish();
}

void store_term(CsrMatrix& product, std::int32_t npar, CsrMatrix& term) {
  const auto rows = static_cast<std::size_t>(npar < 0 ? 0 : npar);
  std::int32_t entries = product.row_start.size() > rows ? product.row_start[rows] : 0;
  if (entries < 1) entries = 0;
  term = CsrMatrix{};
  term.values = std::move(product.values);
  term.columns = std::move(product.columns);
  term.row_start = std::move(product.row_start);
  product = CsrMatrix{};
  term.values.resize(static_cast<std::size_t>(entries));
  term.columns.resize(static_cast<std::size_t>(entries));
  term.row_start.resize(rows + 1, entries);
  // Capacity a product reserved beyond its entries stays: pages never written cost no memory, and
  // copying into an exact block would cost a fresh block's first touch.
}

void symmetric_sum(const Io& io, const CsrMatrix& c, std::int32_t npar, CsrMatrix& s) {
  CsrWorkspace work;
  symmetric_sum(io, c, npar, s, work);
}

void symmetric_sum(const Io& io, const CsrMatrix& c, std::int32_t npar, CsrMatrix& s,
                   CsrWorkspace& work) {
  if (npar < 0) internal_check_failed(io, "npar < 0");
  const auto n = static_cast<std::size_t>(npar);
  if (c.row_start.size() < n + 1) internal_check_failed(io, "size(row_start) < npar+1");

  // Row r of the transpose lists, for q ascending, the first entry of row q of C in column r.
  CsrMatrix& transposed = work.transposed;
  csr_transpose(c, npar, transposed, work);

  // Every entry of C and of its transpose takes at most one position.
  std::int64_t c_entries = 0;
  for (std::size_t r = 0; r < n; ++r)
    c_entries += std::max<std::int64_t>(c.row_start[r + 1] - c.row_start[r], 0);
  const std::int64_t needed =
      std::min<std::int64_t>(c_entries + transposed.row_start[n], max_entries);
  s = CsrMatrix{};
  reserve_with_huge_pages(s.values, static_cast<std::size_t>(needed));
  reserve_with_huge_pages(s.columns, static_cast<std::size_t>(needed));
  assign_with_huge_pages(s.row_start, n + 1, 0);

  // slots[q].row == r when row r of S holds column q, at position slots[q].position (its first
  // such entry).
  struct Slot {
    std::int32_t row;
    std::int32_t position;
  };
  std::vector<Slot> slots;
  assign_with_huge_pages(slots, n, Slot{-1, 0});
  std::int64_t p = 0;
  const auto append = [&](std::int32_t column, double value) {
    if (p >= needed) internal_check_failed(io, "icnt > size(B)");
    s.columns.push_back(column);
    s.values.push_back(value);
    ++p;
  };
  for (std::size_t r = 0; r < n; ++r) {
    const auto row = static_cast<std::int32_t>(r);
    s.row_start[r] = static_cast<std::int32_t>(p);
    for (std::int32_t k = c.row_start[r]; k < c.row_start[r + 1]; ++k) {
      const std::int32_t column = c.columns[static_cast<std::size_t>(k)];
      if (column >= 0 && column < npar && slots[static_cast<std::size_t>(column)].row != row)
        slots[static_cast<std::size_t>(column)] = {row, static_cast<std::int32_t>(p)};
      append(column, c.values[static_cast<std::size_t>(k)]);
    }
    for (std::int32_t k = transposed.row_start[r]; k < transposed.row_start[r + 1]; ++k) {
      const std::int32_t q = transposed.columns[static_cast<std::size_t>(k)];
      const double v = transposed.values[static_cast<std::size_t>(k)];
      Slot& slot = slots[static_cast<std::size_t>(q)];
      if (slot.row == row) {
        s.values[static_cast<std::size_t>(slot.position)] += v;
      } else {
        slot = {row, static_cast<std::int32_t>(p)};
        append(q, v);
      }
    }
  }
  s.row_start[n] = static_cast<std::int32_t>(p);
}

}  // namespace quelby
