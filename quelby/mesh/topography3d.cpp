#include "quelby/mesh/topography3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <utility>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

// A point closer than this (m) to where the surface is asked for gives its own elevation.
constexpr double coincident = 1e-9;
// The scattered points that weigh in at a place.
constexpr std::size_t nearest_count = 8;

// The increasing distinct values of `values`.
std::vector<double> distinct(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

// Where `value` falls among the increasing `nodes`: the two nodes around it and the fraction of
// the way from the first to the second; flat beyond both ends.
struct Bracket {
  std::size_t lower = 0;
  std::size_t upper = 0;
  double fraction = 0;
};

Bracket bracket(const std::vector<double>& nodes, double value) {
  if (!(value > nodes.front())) return {0, 0, 0};
  if (!(value < nodes.back())) return {nodes.size() - 1, nodes.size() - 1, 0};
  const auto above =
      static_cast<std::size_t>(std::upper_bound(nodes.begin(), nodes.end(), value) - nodes.begin());
  const std::size_t below = above - 1;
  return {below, above, (value - nodes[below]) / (nodes[above] - nodes[below])};
}

double grid_elevation_at(const Topography3D& topography, double x, double y) {
  const Bracket bx = bracket(topography.grid_x, x);
  const Bracket by = bracket(topography.grid_y, y);
  const std::size_t columns = topography.grid_x.size();
  const auto at = [&](std::size_t i, std::size_t j) {
    return topography.grid_elevation[j * columns + i];
  };
  // At a grid line a fraction is 0 and the value is the node's own, exactly.
  const auto along_x = [&](std::size_t j) {
    const double first = at(bx.lower, j);
    return bx.fraction == 0 ? first : first + bx.fraction * (at(bx.upper, j) - first);
  };
  const double lower = along_x(by.lower);
  return by.fraction == 0 ? lower : lower + by.fraction * (along_x(by.upper) - lower);
}

// The nearest points of a place, kept in increasing (squared distance, file position) order by
// insertion: at most 8, so that the weighted sum has one order whatever order they are met in.
struct Nearest {
  std::pair<double, std::size_t> points[nearest_count];
  std::size_t held = 0;
  std::size_t kept = 0;

  void offer(const Topography3D& topography, std::size_t p, double x, double y) {
    const double dx = topography.x[p] - x;
    const double dy = topography.y[p] - y;
    const std::pair<double, std::size_t> candidate{dx * dx + dy * dy, p};
    if (held == kept && !(candidate < points[held - 1])) return;
    std::size_t place = held < kept ? held++ : held - 1;
    while (place > 0 && candidate < points[place - 1]) {
      points[place] = points[place - 1];
      --place;
    }
    points[place] = candidate;
  }

  double elevation(const Topography3D& topography) const {
    if (points[0].first <= coincident * coincident) return topography.elevation[points[0].second];
    double weights = 0;
    double weighted = 0;
    for (std::size_t k = 0; k < held; ++k) {
      const double weight = 1 / points[k].first;
      weights += weight;
      weighted += weight * topography.elevation[points[k].second];
    }
    return weighted / weights;
  }
};

// Every point looked at: the literal search, for single places.
double scattered_elevation_at(const Topography3D& topography, double x, double y) {
  Nearest nearest;
  nearest.kept = std::min(topography.x.size(), nearest_count);
  for (std::size_t p = 0; p < topography.x.size(); ++p) nearest.offer(topography, p, x, y);
  return nearest.elevation(topography);
}

// The points sorted into square buckets of about two points each, for the surface at many
// places: the buckets are searched in rings around a place's own until no point beyond the rings
// can be nearer than the 8th nearest found. It finds the same 8 points as the literal search, and
// so the same elevation to the bit.
class PointBuckets {
 public:
  // False when the points' extent gives no usable buckets (one point, or an extent beyond the
  // doubles): the literal search is used then.
  bool build(const Topography3D& topography) {
    const std::size_t count = topography.x.size();
    if (count < 2 * nearest_count) return false;
    const auto [x_low, x_high] = std::minmax_element(topography.x.begin(), topography.x.end());
    const auto [y_low, y_high] = std::minmax_element(topography.y.begin(), topography.y.end());
    x0_ = *x_low;
    y0_ = *y_low;
    const double width = *x_high - x0_;
    const double height = *y_high - y0_;
    const double half_count = static_cast<double>(count) / 2;
    size_ = width > 0 && height > 0 ? std::sqrt(width * height / half_count)
                                    : std::max(width, height) / half_count;
    if (!std::isfinite(width) || !std::isfinite(height) || !(size_ > 0) || !std::isfinite(size_)) {
      return false;
    }
    constexpr double most = 4096;
    columns_ = static_cast<std::size_t>(std::min(std::floor(width / size_) + 1, most));
    rows_ = static_cast<std::size_t>(std::min(std::floor(height / size_) + 1, most));
    // Bucket positions are not exact near a bucket's edge: the search bound leaves this margin.
    margin_ = 1e-6 * size_ + 1e-12 * (std::abs(x0_) + std::abs(y0_) + width + height);
    start_.assign(columns_ * rows_ + 1, 0);
    for (std::size_t p = 0; p < count; ++p)
      ++start_[bucket_of(topography.x[p], topography.y[p]) + 1];
    for (std::size_t b = 0; b + 1 < start_.size(); ++b) start_[b + 1] += start_[b];
    points_.assign(count, 0);
    std::vector<std::size_t> next(start_.begin(), start_.end() - 1);
    for (std::size_t p = 0; p < count; ++p) {
      points_[next[bucket_of(topography.x[p], topography.y[p])]++] = p;
    }
    return true;
  }

  double elevation_at(const Topography3D& topography, double x, double y) const {
    Nearest nearest;
    nearest.kept = nearest_count;
    const std::size_t column = clamped(x - x0_, columns_);
    const std::size_t row = clamped(y - y0_, rows_);
    for (std::size_t ring = 0;; ++ring) {
      visit_ring(topography, column, row, ring, x, y, nearest);
      // The nearest distance from (x, y) to a bucket outside the rings searched; a side of the
      // block at the edge of the buckets has nothing beyond it.
      const double infinite = std::numeric_limits<double>::infinity();
      const double left =
          column >= ring + 1 ? x - (x0_ + static_cast<double>(column - ring) * size_) : infinite;
      const double right = column + ring + 1 < columns_
                               ? x0_ + static_cast<double>(column + ring + 1) * size_ - x
                               : infinite;
      const double below =
          row >= ring + 1 ? y - (y0_ + static_cast<double>(row - ring) * size_) : infinite;
      const double above =
          row + ring + 1 < rows_ ? y0_ + static_cast<double>(row + ring + 1) * size_ - y : infinite;
      const double bound = std::min({left, right, below, above});
      if (bound == infinite) break;
      const double safe = bound - margin_;
      if (nearest.held == nearest.kept && safe > 0 &&
          nearest.points[nearest.held - 1].first < safe * safe) {
        break;
      }
    }
    return nearest.elevation(topography);
  }

 private:
  std::size_t clamped(double offset, std::size_t buckets) const {
    const double index = std::floor(offset / size_);
    if (!(index > 0)) return 0;
    return index >= static_cast<double>(buckets - 1) ? buckets - 1
                                                     : static_cast<std::size_t>(index);
  }
  std::size_t bucket_of(double x, double y) const {
    return clamped(y - y0_, rows_) * columns_ + clamped(x - x0_, columns_);
  }

  void visit_bucket(const Topography3D& topography, std::size_t column, std::size_t row, double x,
                    double y, Nearest& nearest) const {
    const std::size_t bucket = row * columns_ + column;
    for (std::size_t k = start_[bucket]; k < start_[bucket + 1]; ++k) {
      nearest.offer(topography, points_[k], x, y);
    }
  }

  // The buckets at Chebyshev distance `ring` from (column, row) that exist.
  void visit_ring(const Topography3D& topography, std::size_t column, std::size_t row,
                  std::size_t ring, double x, double y, Nearest& nearest) const {
    const auto first_column = static_cast<std::int64_t>(column) - static_cast<std::int64_t>(ring);
    const auto last_column = static_cast<std::int64_t>(column + ring);
    const auto first_row = static_cast<std::int64_t>(row) - static_cast<std::int64_t>(ring);
    const auto last_row = static_cast<std::int64_t>(row + ring);
    const auto columns = static_cast<std::int64_t>(columns_);
    const auto rows = static_cast<std::int64_t>(rows_);
    const auto visit = [&](std::int64_t c, std::int64_t r) {
      visit_bucket(topography, static_cast<std::size_t>(c), static_cast<std::size_t>(r), x, y,
                   nearest);
    };
    for (std::int64_t r = std::max<std::int64_t>(first_row, 0); r <= std::min(last_row, rows - 1);
         ++r) {
      if (r == first_row || r == last_row) {
        for (std::int64_t c = std::max<std::int64_t>(first_column, 0);
             c <= std::min(last_column, columns - 1); ++c) {
          visit(c, r);
        }
      } else {
        // Between the ring's first and last rows only its two side columns are new.
        if (first_column >= 0) visit(first_column, r);
        if (last_column < columns) visit(last_column, r);
      }
    }
  }

  double x0_ = 0;
  double y0_ = 0;
  double size_ = 0;
  double margin_ = 0;
  std::size_t columns_ = 0;
  std::size_t rows_ = 0;
  std::vector<std::size_t> start_;   // bucket b's points are points_[start_[b]..start_[b + 1])
  std::vector<std::size_t> points_;  // file positions
};

// The layers above the z node nearest `surface` (0 to nz); a tie goes to the upper node.
std::int32_t air_layers(const std::vector<double>& z_nodes, double surface) {
  if (!(surface > z_nodes.front())) return 0;
  std::size_t k = 1;
  while (k + 1 < z_nodes.size() && z_nodes[k] < surface) ++k;
  const bool upper = surface - z_nodes[k - 1] <= z_nodes[k] - surface;
  return static_cast<std::int32_t>(upper ? k - 1 : k);
}

}  // namespace

void topography3d_from_points(std::vector<double> x, std::vector<double> y,
                              std::vector<double> elevation, double reference_elevation,
                              Topography3D& topography) {
  Topography3D built;
  built.has_topography = true;
  built.reference_elevation = reference_elevation;
  built.x = std::move(x);
  built.y = std::move(y);
  built.elevation = std::move(elevation);
  std::vector<double> grid_x = distinct(built.x);
  std::vector<double> grid_y = distinct(built.y);
  // Distinct positions fill a grid exactly when there are as many as its nodes.
  if (grid_x.size() * grid_y.size() == built.x.size()) {
    built.is_grid = true;
    built.grid_elevation.assign(built.x.size(), 0.0);
    for (std::size_t p = 0; p < built.x.size(); ++p) {
      const auto i = static_cast<std::size_t>(
          std::lower_bound(grid_x.begin(), grid_x.end(), built.x[p]) - grid_x.begin());
      const auto j = static_cast<std::size_t>(
          std::lower_bound(grid_y.begin(), grid_y.end(), built.y[p]) - grid_y.begin());
      built.grid_elevation[j * grid_x.size() + i] = built.elevation[p];
    }
    built.grid_x = std::move(grid_x);
    built.grid_y = std::move(grid_y);
  }
  topography = std::move(built);
}

void read_topography3d(const Io& io, bool use_file, std::string_view name,
                       Topography3D& topography) {
  if (!use_file) {
    topography = Topography3D{};
    return;
  }
  ReaderFrame frame(io, "3-D topography", name);
  frame.set_read_error(Order::log_then_console,
                       "\nError reading the 3-D topography file: " + frame.name() + "\n");
  constexpr std::string_view value = "a value";

  std::int32_t count = 0;
  double reference = 0;
  frame.read_finite({count, reference}, value);
  if (count <= 0) {
    frame.stop(Order::console_then_log,
               "\nError: # of points in the 3-D topography file should be positive.\n" +
                   frame.name() + "\n",
               frame.detail(std::to_string(count) + " points"));
  }
  // The arrays grow with the points read, so a large count in a short file asks for no memory.
  std::vector<double> xs, ys, elevations;
  try {
    for (std::int32_t p = 0; p < count; ++p) {
      double x = 0;
      double y = 0;
      double elevation = 0;
      frame.read_finite({x, y, elevation}, value);
      xs.push_back(x);
      ys.push_back(y);
      elevations.push_back(elevation);
    }
    // Two points at one place give the surface two heights there.
    std::vector<std::size_t> order(xs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return xs[a] != xs[b] ? xs[a] < xs[b] : ys[a] != ys[b] ? ys[a] < ys[b] : a < b;
    });
    for (std::size_t k = 1; k < order.size(); ++k) {
      const std::size_t a = order[k - 1];
      const std::size_t b = order[k];
      if (xs[a] == xs[b] && ys[a] == ys[b]) {
        // Points are numbered from 1, in file order.
        frame.stop(Order::console_then_log,
                   "\nError: two points of the 3-D topography file lie at one position.\n" +
                       frame.name() + "\n",
                   frame.file_detail("points " + std::to_string(std::min(a, b) + 1) + " and " +
                                     std::to_string(std::max(a, b) + 1) + " at x " +
                                     shortest(xs[a]) + ", y " + shortest(ys[a])));
      }
    }
    topography3d_from_points(std::move(xs), std::move(ys), std::move(elevations), reference,
                             topography);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  frame.log_read("3-D topography was read from file: ");
}

double surface_z_at(const Topography3D& topography, double x, double y) {
  if (!topography.has_topography || topography.x.empty()) return topography.flat_z;
  const double elevation = topography.is_grid ? grid_elevation_at(topography, x, y)
                                              : scattered_elevation_at(topography, x, y);
  return topography.reference_elevation - elevation;
}

std::vector<double> surface_z_at_columns(const Io& io, const Mesh3D& mesh,
                                         const Topography3D& topography) {
  const std::size_t nx = mesh.x_centres.size();
  const std::size_t ny = mesh.y_centres.size();
  if (static_cast<std::int64_t>(nx) != mesh.nx || static_cast<std::int64_t>(ny) != mesh.ny) {
    internal_check_failed(io, "3-D mesh arrays /= its counts");
  }
  std::vector<double> surface;
  try {
    surface.assign(nx * ny, topography.flat_z);
    if (!topography.has_topography || topography.x.empty()) return surface;
    PointBuckets buckets;
    const bool bucketed = !topography.is_grid && buckets.build(topography);
    for (std::size_t j = 0; j < ny; ++j) {
      for (std::size_t i = 0; i < nx; ++i) {
        const double x = mesh.x_centres[i];
        const double y = mesh.y_centres[j];
        surface[j * nx + i] =
            bucketed ? topography.reference_elevation - buckets.elevation_at(topography, x, y)
                     : surface_z_at(topography, x, y);
      }
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  return surface;
}

std::vector<std::int32_t> air_cells_3d(const Io& io, const Mesh3D& mesh,
                                       const Topography3D& topography) {
  if (mesh.z_nodes.size() != static_cast<std::size_t>(mesh.nz) + 1 || mesh.z_nodes.empty()) {
    internal_check_failed(io, "3-D mesh arrays /= its counts");
  }
  std::vector<std::int32_t> air;
  try {
    air.assign(mesh.x_centres.size() * mesh.y_centres.size(), 0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  if (!topography.has_topography) return air;
  const std::vector<double> surface = surface_z_at_columns(io, mesh, topography);
  for (std::size_t column = 0; column < air.size(); ++column) {
    air[column] = air_layers(mesh.z_nodes, surface[column]);
  }
  return air;
}

}  // namespace quelby
