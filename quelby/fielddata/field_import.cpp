#include "quelby/fielddata/field_import.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/electrode_table.hpp"
#include "quelby/fielddata/field_checks.hpp"
#include "quelby/fielddata/field_datum.hpp"
#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/geometric_factors.hpp"
#include "quelby/fielddata/import_log.hpp"
#include "quelby/fielddata/remote_electrodes.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/survey/survey_arrays.hpp"

namespace quelby {

namespace {

// Electrodes closer than this (m) to a --drop-electrode position are that electrode.
constexpr double same_place = 1e-6;

double chargeability_scale(const FieldSurvey& survey, std::string& unit, std::string& note) {
  switch (survey.chargeability_unit) {
    case ChargeabilityUnit::none:
      return 1;
    case ChargeabilityUnit::millivolt_per_volt:
      unit = "mV/V";
      note = "chargeability in mV/V";
      return 1;
    case ChargeabilityUnit::percent:
      unit = "mV/V";
      note = "chargeability in % turned into mV/V (x 10)";
      return 10;
    case ChargeabilityUnit::milliseconds:
      if (survey.chargeability_window > 0) {
        unit = "mV/V";
        note = "integral chargeability in ms turned into mV/V over the file's window of " +
               log_number(survey.chargeability_window) + " s (divided by " +
               log_number(survey.chargeability_window) + ")";
        return 1 / survey.chargeability_window;
      }
      unit = "ms";
      note = "integral chargeability kept in ms: the file states no integration window";
      return 1;
    case ChargeabilityUnit::milliradians:
      unit = "mrad";
      note = "IP kept as a phase in mrad (no chargeability in mV/V follows from it)";
      return 1;
    case ChargeabilityUnit::other:
      unit = survey.chargeability_unit_text;
      note = "IP kept in the file's unit " + quoted_text(survey.chargeability_unit_text);
      return 1;
  }
  return 1;
}

// The state of one import while its steps run.
class Import {
 public:
  Import(const Io& io, std::string_view input, const ImportOptions& options)
      : io_(io), options_(options), input_(trim_trailing_blanks(input)) {}

  ImportResult run();

 private:
  void place_electrodes_from_table();
  double factor_with_remotes(const FieldReading& reading,
                             const std::array<double, 4>& recorded) const;
  void bring_onto_line();
  void settle_chargeability_unit();
  void find_boreholes();
  void find_buried_depths();
  void convert_along_ground();
  void count_drop(const std::string& reason);
  void drop(std::size_t line, const std::string& reason, const std::string& detail = {});
  // The same for a datum the filters drop: its electrodes go into the list and the tally.
  void drop(const FieldDatum& datum, const std::string& reason, const std::string& detail = {});
  void build_data();
  void find_ground();
  void apply_ground_factors();
  void filter_values();
  void check_errors_column();
  void filter_ip();
  void pair_and_fit();
  void run_checks();
  void give_deviations();
  void refuse_what_cannot_be_inverted();
  // The ground's elevation at x: the ground's points interpolated, flat where there are none.
  double ground_elevation(double x) const;
  void make_stores();
  // "Error: <text>" (console, then run log); the detail names the file and `what`, one line.
  [[noreturn]] void stop(const std::string& text, const std::string& what) const;

  const Io& io_;
  const ImportOptions& options_;
  std::string input_;
  FieldSurvey survey_;
  ImportResult result_;
  ImportSummary summary_;
  // Per datum: the source reading (for the filters that read its raw values).
  std::vector<FieldDatum> data_;
  std::vector<const FieldReading*> reading_of_;
  std::vector<double> file_factor_;  // the file's K per datum, NaN where none
  // Per reading, the depth of each electrode below the ground (0 on the ground).
  std::vector<std::array<double, 4>> depths_;
  // Per reading, the positions the file records (before distances along the ground become
  // horizontal positions): the file's apparent resistivities belong to them.
  std::vector<std::array<double, 4>> recorded_x_;
  double chargeability_factor_ = 1;
  std::vector<double> ip_deviation_;  // per datum with IP
  double flat_ground_ = 0;            // the ground's elevation where it is flat (m)
  bool ground_known_ = false;         // electrodes on the ground or the file's points give it
};

void Import::stop(const std::string& text, const std::string& what) const {
  stop_with(io_, Order::console_then_log, "\nError: " + text + "\n", exit_failure,
            line_detail(input_, 0, what));
}

void Import::count_drop(const std::string& reason) {
  auto at = std::find_if(result_.dropped.begin(), result_.dropped.end(),
                         [&](const auto& entry) { return entry.first == reason; });
  if (at == result_.dropped.end()) {
    result_.dropped.push_back({reason, 0});
    at = result_.dropped.end() - 1;
  }
  ++at->second;
}

void Import::drop(std::size_t line, const std::string& reason, const std::string& detail) {
  count_drop(reason);
  summary_.dropped_lines.push_back("  line " + std::to_string(line) + ": " + reason +
                                   (detail.empty() ? "" : " (" + detail + ")"));
}

void Import::drop(const FieldDatum& datum, const std::string& reason, const std::string& detail) {
  count_drop(reason);
  summary_.dropped_lines.push_back("  line " + std::to_string(datum.line) + " (A " +
                                   log_number(datum.a) + " B " + log_number(datum.b) + " M " +
                                   log_number(datum.m) + " N " + log_number(datum.n) +
                                   "): " + reason + (detail.empty() ? "" : " (" + detail + ")"));
  ++summary_.electrode_drops[datum.a];
  ++summary_.electrode_drops[datum.m];
  if (datum.b != datum.a) ++summary_.electrode_drops[datum.b];
  if (datum.n != datum.m) ++summary_.electrode_drops[datum.n];
}

// The flat-surface K of a reading whose remote electrodes stand where the file places them (the
// horizontal distances in x and y), in the file's electrode order.
double Import::factor_with_remotes(const FieldReading& reading,
                                   const std::array<double, 4>& recorded) const {
  std::array<std::optional<std::array<double, 2>>, 4> at;
  for (std::size_t role = 0; role < 4; ++role) {
    const FieldElectrode& electrode = reading.electrodes[role];
    if (electrode.present) {
      at[role] = std::array<double, 2>{recorded[role], electrode.y};
    } else {
      const auto& remote = role < 2 ? survey_.remote_current : survey_.remote_potential;
      if (remote) at[role] = std::array<double, 2>{(*remote)[0], (*remote)[1]};
    }
  }
  double denominator = 0;
  const std::pair<std::size_t, std::size_t> pairs[4] = {{0, 2}, {0, 3}, {1, 2}, {1, 3}};
  const double signs[4] = {1, -1, -1, 1};
  for (std::size_t k = 0; k < 4; ++k) {
    const auto& p = at[pairs[k].first];
    const auto& q = at[pairs[k].second];
    if (!p || !q) continue;
    const double distance = std::hypot((*p)[0] - (*q)[0], (*p)[1] - (*q)[1]);
    if (distance == 0) return not_given;
    denominator += signs[k] / distance;
  }
  const double factor = 2 * std::numbers::pi / denominator;
  return std::isfinite(factor) ? factor : not_given;
}

// Positions and elevations from the electrode table, where one is given.
void Import::place_electrodes_from_table() {
  if (options_.electrodes.empty()) return;
  const ElectrodeTable table = read_electrode_table(io_, options_.electrodes);
  result_.electrode_table = table.name;
  for (std::string& note : place_from_table(io_, table, survey_)) {
    summary_.notes.push_back(std::move(note));
  }
}

// Electrodes given in x and y: on a line parallel to x they are read by x; on another straight
// line by their distance along it from its first electrode; electrodes far off the line (more
// than 5 times its length) are remote. Electrodes spread across a plane make a 3-D survey
// (import_field_data3d), which a 2-D import cannot write: refused, naming the electrode.
void Import::bring_onto_line() {
  std::vector<std::array<double, 2>> points;
  for (const FieldReading& reading : survey_.readings) {
    for (const FieldElectrode& electrode : reading.electrodes) {
      if (electrode.present && std::isfinite(electrode.x) && std::isfinite(electrode.y)) {
        points.push_back({electrode.x, electrode.y});
      }
    }
  }
  if (points.empty()) return;
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  bool spread = false;
  for (const auto& point : points) spread = spread || point[1] != points.front()[1];
  if (!spread) return;
  // The line: the direction of the median electrodes' extent, through the points' median.
  std::vector<double> xs, ys;
  for (const auto& point : points) {
    xs.push_back(point[0]);
    ys.push_back(point[1]);
  }
  const auto median = [](std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  };
  const double cx = median(xs), cy = median(ys);
  // Principal direction of the points within the bulk (the remote ones left out by the median
  // distance test below).
  std::vector<double> distances;
  for (const auto& point : points) distances.push_back(std::hypot(point[0] - cx, point[1] - cy));
  const double typical = median(distances);
  double sxx = 0, syy = 0, sxy = 0;
  for (const auto& point : points) {
    const double dx = point[0] - cx, dy = point[1] - cy;
    if (std::hypot(dx, dy) > 10 * std::max(typical, 1e-9)) continue;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
  const double ux = std::cos(angle), uy = std::sin(angle);
  double low = 0, high = 0, first = std::numeric_limits<double>::infinity();
  for (const auto& point : points) {
    const double along = (point[0] - cx) * ux + (point[1] - cy) * uy;
    low = std::min(low, along);
    high = std::max(high, along);
  }
  const double length = std::max(high - low, 1e-9);
  const auto across = [&](double x, double y) { return -(x - cx) * uy + (y - cy) * ux; };
  const auto along = [&](double x, double y) { return (x - cx) * ux + (y - cy) * uy; };
  std::size_t remote = 0;
  for (FieldReading& reading : survey_.readings) {
    for (std::size_t role = 0; role < 4; ++role) {
      FieldElectrode& electrode = reading.electrodes[role];
      if (!electrode.present) continue;
      const double off = std::abs(across(electrode.x, electrode.y));
      if (off > 5 * length) {
        electrode.present = false;
        ++remote;
        continue;
      }
      if (off > 1e-3 * length + 1e-6) {
        stop("electrode " + std::string(1, "ABMN"[role]) + " of the reading of line " +
                 std::to_string(reading.line) + " of " + input_ +
                 " at x = " + log_number(electrode.x) + ", y = " + log_number(electrode.y) +
                 " stands " + log_number(off) +
                 " m off the line of the others: electrodes spread in y make a 3-D survey, "
                 "which quelby-import writes without --2d (import_field_data3d)",
             "line " + std::to_string(reading.line) + ": y = " + log_number(electrode.y));
      }
      first = std::min(first, along(electrode.x, electrode.y));
    }
  }
  if (!std::isfinite(first)) return;
  const bool along_x = std::abs(uy) < 1e-12;
  for (FieldReading& reading : survey_.readings) {
    for (FieldElectrode& electrode : reading.electrodes) {
      if (!electrode.present) continue;
      if (!along_x) electrode.x = along(electrode.x, electrode.y) - first;
      electrode.y = 0;
    }
  }
  summary_.notes.push_back("positions: the electrodes stand on a straight line in x and y" +
                           std::string(along_x
                                           ? ""
                                           : "; x is the distance along it from its end at x = " +
                                                 log_number(cx + first * ux) +
                                                 ", y = " + log_number(cy + first * uy)) +
                           (remote > 0 ? "; " + count_text(remote, "reading electrode") +
                                             " far off the line taken as remote (poles)"
                                       : std::string()));
}

// The unit of the IP values: the file's, else --ip-unit, else a phase in mrad, said in the log
// and as a warning. A file whose IP values are all zero holds no IP.
void Import::settle_chargeability_unit() {
  std::size_t values = 0, zeros = 0;
  for (const FieldReading& reading : survey_.readings) {
    if (!std::isfinite(reading.chargeability)) continue;
    ++values;
    zeros += reading.chargeability == 0 ? 1 : 0;
  }
  if (values > 0 && zeros == values) {
    for (FieldReading& reading : survey_.readings) {
      reading.chargeability = not_given;
      reading.chargeability_std = not_given;
    }
    survey_.chargeability_unit = ChargeabilityUnit::none;
    summary_.notes.push_back("IP: every one of the " + count_text(values, "value") +
                             " is 0 (a DC-only export): no ip.dat is written");
    return;
  }
  if (values == 0 || survey_.chargeability_unit_stated) return;
  const ChargeabilityUnit unit = options_.ip_unit.value_or(ChargeabilityUnit::milliradians);
  survey_.chargeability_unit = unit;
  switch (unit) {
    case ChargeabilityUnit::millivolt_per_volt:
      survey_.chargeability_unit_text = "mV/V";
      break;
    case ChargeabilityUnit::percent:
      survey_.chargeability_unit_text = "%";
      break;
    case ChargeabilityUnit::milliseconds:
      survey_.chargeability_unit_text = "ms";
      break;
    default:
      survey_.chargeability_unit_text = "mrad";
      break;
  }
  const std::string text =
      options_.ip_unit ? "the file does not state the unit of its IP values: taken as " +
                             survey_.chargeability_unit_text + " (--ip-unit)"
                       : "the file does not state the unit of its IP values: taken as a phase "
                         "in mrad, the default (give --ip-unit mV/V, %, ms or mrad)";
  summary_.notes.push_back("IP: " + text);
  if (!options_.ip_unit) result_.warnings.push_back(text);
}

// Distances along the ground become horizontal positions: between consecutive points of the
// ground (s_k, z_k) the horizontal distance is sqrt(ds^2 - dz^2); positions between points are
// interpolated along s, and beyond the ends the end segments' slopes go on.
void Import::convert_along_ground() {
  recorded_x_.clear();
  for (const FieldReading& reading : survey_.readings) {
    recorded_x_.push_back({reading.electrodes[0].x, reading.electrodes[1].x,
                           reading.electrodes[2].x, reading.electrodes[3].x});
  }
  if (!survey_.x_along_ground) return;
  std::map<double, double> ground;  // s -> elevation
  for (const auto& point : survey_.topography) {
    if (std::isfinite(point[0]) && std::isfinite(point[1])) ground.emplace(point[0], point[1]);
  }
  if (ground.size() < 2) {
    summary_.notes.push_back(
        "positions: the file records distances along the ground, but fewer than 2 points of "
        "the ground: taken as horizontal");
    return;
  }
  std::vector<double> s, x;
  for (const auto& [along, elevation] : ground) {
    if (s.empty()) {
      s.push_back(along);
      x.push_back(along);
      continue;
    }
    const double ds = along - s.back();
    const double dz = elevation - std::prev(ground.find(along))->second;
    if (std::abs(dz) > ds) {
      stop("the ground of " + input_ + " rises " + log_number(std::abs(dz)) + " m between " +
               log_number(s.back()) + " and " + log_number(along) +
               " m measured along it: more than the distance itself",
           "topography point at " + log_number(along) + " m along the ground");
    }
    x.push_back(x.back() + std::sqrt(ds * ds - dz * dz));
    s.push_back(along);
  }
  const auto horizontal = [&](double along) {
    std::size_t k =
        static_cast<std::size_t>(std::upper_bound(s.begin(), s.end(), along) - s.begin());
    k = std::clamp<std::size_t>(k, 1, s.size() - 1);
    const double t = (along - s[k - 1]) / (s[k] - s[k - 1]);
    return x[k - 1] + t * (x[k] - x[k - 1]);
  };
  for (FieldReading& reading : survey_.readings) {
    for (FieldElectrode& electrode : reading.electrodes) {
      if (electrode.present && std::isfinite(electrode.x)) electrode.x = horizontal(electrode.x);
    }
  }
  for (auto& point : survey_.topography) point[0] = horizontal(point[0]);
  summary_.notes.push_back(
      "positions: the file records distances along the ground; turned into horizontal x by "
      "the ground's elevations (dx = sqrt(ds^2 - dz^2) between consecutive points); geometric "
      "factors from the recorded distances");
}

// Electrodes of the file at one x with different elevations stand in a borehole: they are buried
// (the file's z is theirs, not the ground's). The ground then comes from the other electrodes and
// the file's topography points.
void Import::find_boreholes() {
  std::map<double, std::pair<double, double>> range;  // x -> lowest, highest elevation
  for (const FieldReading& reading : survey_.readings) {
    for (const FieldElectrode& electrode : reading.electrodes) {
      if (!electrode.present || electrode.buried || !std::isfinite(electrode.elevation)) continue;
      const auto [at, inserted] =
          range.emplace(electrode.x, std::make_pair(electrode.elevation, electrode.elevation));
      at->second.first = std::min(at->second.first, electrode.elevation);
      at->second.second = std::max(at->second.second, electrode.elevation);
    }
  }
  std::size_t holes = 0, marked = 0;
  for (const auto& [x, elevations] : range) holes += elevations.first < elevations.second ? 1 : 0;
  if (holes == 0) return;
  for (FieldReading& reading : survey_.readings) {
    for (FieldElectrode& electrode : reading.electrodes) {
      if (!electrode.present || electrode.buried || !std::isfinite(electrode.elevation)) continue;
      const auto& elevations = range.at(electrode.x);
      if (elevations.first < elevations.second) {
        electrode.buried = true;
        ++marked;
      }
    }
  }
  summary_.notes.push_back("boreholes: " + count_text(holes, "position") +
                           " along the line hold electrodes at several elevations: " +
                           count_text(marked, "reading electrode") + " taken as buried");
}

double Import::ground_elevation(double x) const {
  const std::vector<double>& gx = result_.topography_x;
  const std::vector<double>& gz = result_.topography_elevation;
  if (gx.empty()) return flat_ground_;
  if (x <= gx.front()) return gz.front();
  if (x >= gx.back()) return gz.back();
  const std::size_t k =
      static_cast<std::size_t>(std::upper_bound(gx.begin(), gx.end(), x) - gx.begin());
  const double t = (x - gx[k - 1]) / (gx[k] - gx[k - 1]);
  return gz[k - 1] + t * (gz[k] - gz[k - 1]);
}

// Depths below the ground of buried electrodes: the ground's elevation at their x (the surface
// electrodes and the file's ground points, interpolated) less their own.
void Import::find_buried_depths() {
  depths_.assign(survey_.readings.size(), {0, 0, 0, 0});
  bool any = false;
  for (const FieldReading& reading : survey_.readings) {
    for (const FieldElectrode& electrode : reading.electrodes) any = any || electrode.buried;
  }
  if (!any) return;
  result_.buried = true;
  const std::vector<double>& gx = result_.topography_x;
  if (!ground_known_) {
    // Nothing gives the ground: at the highest electrode where elevations are above 0, at 0
    // where they are depths below it (given negative).
    double highest = -std::numeric_limits<double>::infinity();
    for (const FieldReading& reading : survey_.readings) {
      for (const FieldElectrode& electrode : reading.electrodes) {
        if (electrode.present && std::isfinite(electrode.elevation)) {
          highest = std::max(highest, electrode.elevation);
        }
      }
    }
    flat_ground_ = std::isfinite(highest) ? std::max(0.0, highest) : 0;
    result_.reference_elevation = flat_ground_;
    summary_.notes.push_back("ground: no electrode on it and no topography: taken at elevation " +
                             log_number(flat_ground_) +
                             " m (give --electrodes with the ground's electrodes to set it)");
  }
  const auto ground_at = [&](double x) { return ground_elevation(x); };
  std::size_t count = 0;
  for (std::size_t r = 0; r < survey_.readings.size(); ++r) {
    const FieldReading& reading = survey_.readings[r];
    for (std::size_t role = 0; role < 4; ++role) {
      const FieldElectrode& electrode = reading.electrodes[role];
      if (!electrode.present || !electrode.buried) continue;
      if (!std::isfinite(electrode.elevation)) {
        stop("the buried electrode " + std::string(1, "ABMN"[role]) + " of line " +
                 std::to_string(reading.line) + " of " + input_ + " has no elevation",
             "line " + std::to_string(reading.line) + ": buried electrode without z");
      }
      const double depth = ground_at(electrode.x) - electrode.elevation;
      if (depth < 0) {
        stop("the buried electrode " + std::string(1, "ABMN"[role]) + " of line " +
                 std::to_string(reading.line) + " of " + input_ + " at x = " +
                 log_number(electrode.x) + " m, elevation " + log_number(electrode.elevation) +
                 " m, stands above the ground (" + log_number(ground_at(electrode.x)) + " m there)",
             "line " + std::to_string(reading.line) + ": buried electrode above the ground");
      }
      depths_[r][role] = depth;
      ++count;
    }
  }
  summary_.notes.push_back(
      "buried electrodes: " + count_text(count, "reading electrode") +
      " below the ground (depths from the ground's elevation at their x" +
      (gx.empty() ? ", the ground at elevation " + log_number(flat_ground_) + " m"
                  : std::string()) +
      "); data.dat and ip.dat carry z (give --z to quelby-mesh and quelby-invert)");
}

// The data from the readings: remote electrodes made poles, geometry checked, the values that
// need no geometric factor taken.
void Import::build_data() {
  summary_.remote = remote_positions(survey_);
  const auto is_remote = [&](double x) {
    return std::binary_search(summary_.remote.begin(), summary_.remote.end(), x);
  };
  for (std::size_t r = 0; r < survey_.readings.size(); ++r) {
    const FieldReading& reading = survey_.readings[r];
    if (!reading.valid) {
      drop(reading.line, "marked invalid in the file");
      continue;
    }
    std::array<FieldElectrode, 4> e = reading.electrodes;
    std::array<double, 4> depth = depths_[r];
    std::array<double, 4> recorded = recorded_x_[r];
    for (FieldElectrode& electrode : e) {
      if (electrode.present && !electrode.buried && is_remote(electrode.x)) {
        electrode.present = false;
      }
    }
    if (!e[electrode_a].present && !e[electrode_b].present) {
      drop(reading.line, "no current electrode on the line");
      continue;
    }
    if (std::any_of(e.begin(), e.end(), [](const FieldElectrode& electrode) {
          return electrode.present && !std::isfinite(electrode.x);
        })) {
      drop(reading.line, "an electrode position that is not a finite number");
      continue;
    }
    if (!e[electrode_m].present && !e[electrode_n].present) {
      drop(reading.line, "no potential electrode on the line");
      continue;
    }
    // A pole of B (or N) becomes one of A (or M): the datum's sign turns with the exchange.
    double sign = 1;
    if (!e[electrode_a].present) {
      std::swap(e[electrode_a], e[electrode_b]);
      std::swap(depth[electrode_a], depth[electrode_b]);
      std::swap(recorded[electrode_a], recorded[electrode_b]);
      sign = -sign;
    }
    if (!e[electrode_m].present) {
      std::swap(e[electrode_m], e[electrode_n]);
      std::swap(depth[electrode_m], depth[electrode_n]);
      std::swap(recorded[electrode_m], recorded[electrode_n]);
      sign = -sign;
    }
    const bool b_present = e[electrode_b].present, n_present = e[electrode_n].present;
    if (!b_present) {
      depth[electrode_b] = depth[electrode_a];
      recorded[electrode_b] = recorded[electrode_a];
    }
    if (!n_present) {
      depth[electrode_n] = depth[electrode_m];
      recorded[electrode_n] = recorded[electrode_m];
    }
    FieldDatum datum;
    datum.line = reading.line;
    datum.a = e[electrode_a].x;
    datum.b = b_present ? e[electrode_b].x : datum.a;
    datum.m = e[electrode_m].x;
    datum.n = n_present ? e[electrode_n].x : datum.m;
    datum.depth_a = depth[electrode_a];
    datum.depth_b = depth[electrode_b];
    datum.depth_m = depth[electrode_m];
    datum.depth_n = depth[electrode_n];
    const auto same = [](double x1, double d1, double x2, double d2) {
      return x1 == x2 && d1 == d2;
    };
    if (b_present && same(datum.a, datum.depth_a, datum.b, datum.depth_b)) {
      drop(reading.line, "the two current electrodes at one place");
      continue;
    }
    if (n_present && same(datum.m, datum.depth_m, datum.n, datum.depth_n)) {
      drop(reading.line, "the two potential electrodes at one place");
      continue;
    }
    if (same(datum.a, datum.depth_a, datum.m, datum.depth_m) ||
        same(datum.a, datum.depth_a, datum.n, datum.depth_n) ||
        same(datum.b, datum.depth_b, datum.m, datum.depth_m) ||
        same(datum.b, datum.depth_b, datum.n, datum.depth_n)) {
      drop(reading.line, "a current electrode on a potential electrode");
      continue;
    }
    bool dropped = false;
    for (const double x : options_.drop_electrodes) {
      for (const FieldElectrode& electrode : e) {
        if (electrode.present && std::abs(electrode.x - x) <= same_place && !dropped) {
          drop(reading.line, "an electrode given to --drop-electrode", "x = " + log_number(x));
          dropped = true;
        }
      }
    }
    if (dropped) continue;
    if (std::isfinite(reading.resistance)) {
      datum.resistance = sign * reading.resistance;
      ++summary_.from_resistance;
    } else if (std::isfinite(reading.voltage) && std::isfinite(reading.current) &&
               reading.current != 0) {
      datum.resistance = sign * (reading.voltage / reading.current);
      ++summary_.from_voltage;
    }
    datum.current = std::abs(reading.current);
    datum.chargeability = reading.chargeability;
    datum.chargeability_std = reading.chargeability_std;
    // The file's convention: its own K; else the flat-surface K (with images for buried
    // electrodes) of the positions it records.
    FieldDatum as_recorded = datum;
    as_recorded.a = recorded[electrode_a];
    as_recorded.b = recorded[electrode_b];
    as_recorded.m = recorded[electrode_m];
    as_recorded.n = recorded[electrode_n];
    const bool file_k = std::isfinite(reading.geometric_factor) && reading.geometric_factor != 0;
    // The file's K belongs to its own electrode order, as does its apparent resistivity.
    datum.geometric_factor = file_k ? sign * reading.geometric_factor
                             : survey_.remote_in_factor
                                 ? sign * factor_with_remotes(reading, recorded_x_[r])
                                 : flat_geometric_factor(as_recorded);
    file_factor_.push_back(file_k ? datum.geometric_factor : not_given);
    data_.push_back(datum);
    reading_of_.push_back(&reading);
  }
}

// The ground under the electrodes: the elevations of the electrodes on it and the file's
// topography points.
void Import::find_ground() {
  std::map<double, double> ground;
  for (const FieldReading& reading : survey_.readings) {
    for (const FieldElectrode& electrode : reading.electrodes) {
      if (electrode.present && !electrode.buried && std::isfinite(electrode.elevation) &&
          std::isfinite(electrode.x)) {
        ground.emplace(electrode.x, electrode.elevation);
      }
    }
  }
  for (const auto& point : survey_.topography) {
    if (std::isfinite(point[1])) ground.emplace(point[0], point[1]);
  }
  if (ground.empty()) return;
  double lowest = ground.begin()->second, highest = lowest;
  for (const auto& [x, elevation] : ground) {
    lowest = std::min(lowest, elevation);
    highest = std::max(highest, elevation);
  }
  flat_ground_ = highest;
  result_.reference_elevation = highest;
  ground_known_ = true;
  if (lowest == highest) {
    summary_.notes.push_back("elevations: all " + log_number(lowest) +
                             " m, flat ground (no topography file)");
    return;
  }
  for (const auto& [x, elevation] : ground) {
    result_.topography_x.push_back(x);
    result_.topography_elevation.push_back(elevation);
  }
}

// Resistances from apparent resistivities by the file's convention; the ground's geometric
// factors (the checks' apparent resistivities) where asked for.
void Import::apply_ground_factors() {
  for (std::size_t i = 0; i < data_.size(); ++i) {
    FieldDatum& datum = data_[i];
    if (std::isnan(datum.resistance)) {
      const double apparent = reading_of_[i]->apparent_resistivity;
      if (std::isfinite(apparent) && std::isfinite(datum.geometric_factor)) {
        datum.resistance = apparent / datum.geometric_factor;
        if (std::isfinite(file_factor_[i])) {
          ++summary_.from_file_factor;
        } else {
          ++summary_.from_ground_factor;
        }
      }
    }
  }
  summary_.ground_factors =
      survey_.remote_in_factor
          ? "the file's K, else the flat-surface K with its remote electrodes where it places them"
      : survey_.x_along_ground
          ? "the file's K, else the flat-surface K of the distances along the ground it records"
          : "the file's K, else the flat-surface K of the positions it records" +
                std::string(result_.buried ? " (with images for buried electrodes)" : "");
  if (options_.geometric_factors != GeometricFactorChoice::numeric || data_.empty() ||
      result_.buried) {
    return;
  }
  // The numeric factors of the ground serve the checks' apparent resistivities only.
  std::vector<double> x = result_.topography_x, elevation = result_.topography_elevation;
  if (x.empty()) {
    double low = data_.front().a, high = low;
    for (const FieldDatum& datum : data_) {
      for (const double position : {datum.a, datum.b, datum.m, datum.n}) {
        low = std::min(low, position);
        high = std::max(high, position);
      }
    }
    x = {low, high};
    elevation = {0, 0};
  }
  const std::vector<double> numeric = numeric_geometric_factors(io_, data_, x, elevation);
  for (std::size_t i = 0; i < data_.size(); ++i) data_[i].ground_factor = numeric[i];
  summary_.ground_factors += "; the checks use the forward model's numeric K over the ground";
}

void Import::filter_values() {
  std::vector<FieldDatum> kept;
  for (std::size_t i = 0; i < data_.size(); ++i) {
    const FieldDatum& datum = data_[i];
    const FieldReading& reading = *reading_of_[i];
    if (options_.min_current && std::isfinite(reading.current) &&
        std::abs(reading.current) < *options_.min_current) {
      drop(datum, "current below " + log_number(*options_.min_current) + " A",
           log_number(std::abs(reading.current)) + " A");
      continue;
    }
    if (!options_.keep_zero_current && std::isfinite(reading.current)) {
      const double current = std::abs(reading.current);
      if (current == 0) {
        drop(datum, "no current (--keep-zero-current keeps it)");
        continue;
      }
      if (std::isfinite(survey_.current_resolution) && current < survey_.current_resolution) {
        drop(datum,
             "current below the instrument's resolution of " +
                 log_number(survey_.current_resolution) + " A (--keep-zero-current keeps it)",
             log_number(current) + " A");
        continue;
      }
    }
    if (!std::isfinite(datum.resistance)) {
      drop(datum, "no value (no resistance, voltage and current, or apparent resistivity)");
      continue;
    }
    if (datum.resistance == 0) {
      drop(datum, "a resistance of zero");
      continue;
    }
    if (options_.max_geometric_factor &&
        std::abs(datum.geometric_factor) > *options_.max_geometric_factor) {
      drop(
          datum,
          "|K| above " + log_number(*options_.max_geometric_factor) + " m (--max-geometric-factor)",
          "K = " + log_number(datum.geometric_factor) + " m");
      continue;
    }
    if (options_.max_deviation && std::isfinite(reading.deviation) &&
        reading.deviation > *options_.max_deviation) {
      drop(datum, "stacking deviation above " + log_number(*options_.max_deviation) + " %",
           log_number(reading.deviation) + " %");
      continue;
    }
    const double voltage = std::isfinite(reading.voltage) ? std::abs(reading.voltage)
                           : std::isfinite(reading.current)
                               ? std::abs(datum.resistance * reading.current)
                               : not_given;
    if (options_.min_voltage && std::isfinite(voltage) && voltage < *options_.min_voltage) {
      drop(datum, "voltage below " + log_number(*options_.min_voltage) + " V",
           log_number(voltage) + " V");
      continue;
    }
    const double factor =
        std::isfinite(datum.ground_factor) ? datum.ground_factor : datum.geometric_factor;
    const double apparent = factor * datum.resistance;
    if (!options_.keep_negative && std::isfinite(apparent) && apparent < 0) {
      drop(datum, "negative apparent resistivity (--keep-negative keeps it)",
           log_number(apparent) + " ohm-m");
      continue;
    }
    FieldDatum copy = datum;
    if (!options_.ignore_file_errors) {
      if (std::isfinite(reading.std) && reading.std > 0) {
        copy.std = reading.std;
      } else if (std::isfinite(reading.relative_error) && reading.relative_error > 0) {
        copy.std = reading.relative_error * std::abs(copy.resistance);
      }
    }
    kept.push_back(copy);
  }
  data_ = std::move(kept);
  reading_of_.clear();  // the readings no longer follow the data once they are merged
  summary_.duplicates_removed = average_duplicates(data_);
  if (summary_.duplicates_removed > 0) {
    for (const FieldDatum& datum : data_) summary_.duplicate_groups += datum.readings > 1 ? 1 : 0;
  }
}

// The file's standard deviations checked against the values: most of them larger than |R|, or
// equal to |rho_a|, mean the column is something else (an apparent resistivity, a phase).
void Import::check_errors_column() {
  std::size_t given = 0, above = 0, apparent = 0;
  for (const FieldDatum& datum : data_) {
    if (!std::isfinite(datum.std)) continue;
    ++given;
    const double magnitude = std::abs(datum.resistance);
    above += datum.std > magnitude ? 1 : 0;
    const double rho = std::abs(datum.geometric_factor * datum.resistance);
    apparent += std::isfinite(rho) && std::abs(datum.std - rho) <= 1e-3 * rho ? 1 : 0;
  }
  if (given == 0 || 2 * std::max(above, apparent) <= given) return;
  const std::string column =
      survey_.error_column.empty() ? "the file's error column" : survey_.error_column;
  const std::string fixes =
      "give --ignore-file-errors to leave them out (and --error or "
      "--reciprocal for standard deviations)" +
      std::string(survey_.format == FieldFormat::protocol
                      ? ", or --columns to name the file's values"
                      : "");
  if (2 * apparent > given) {
    stop(column + " of " + input_ + " equals the apparent resistivity |K R| for " +
             std::to_string(apparent) + " of " + count_text(given, "reading") +
             ": it holds apparent resistivities, not standard deviations; " + fixes,
         std::to_string(apparent) + " standard deviations equal to |rho_a|");
  }
  stop(column + " of " + input_ + " is larger than |R| for " + std::to_string(above) + " of " +
           count_text(given, "reading") +
           ": these are no standard deviations of the resistances; " + fixes,
       std::to_string(above) + " standard deviations larger than |R|");
}

// IP values outside --ip-range leave their datum's IP (the DC datum stays).
void Import::filter_ip() {
  if (!options_.ip_range) return;
  const auto [low, high] = *options_.ip_range;
  for (FieldDatum& datum : data_) {
    if (!std::isfinite(datum.chargeability)) continue;
    const double value = datum.chargeability * chargeability_factor_;
    if (value >= low && value <= high) continue;
    count_drop("IP value outside --ip-range (the DC datum kept)");
    summary_.dropped_lines.push_back("  line " + std::to_string(datum.line) + ": IP " +
                                     log_number(value) + " " + result_.chargeability_unit +
                                     " outside --ip-range " + log_number(low) + " " +
                                     log_number(high) + " (the DC datum kept)");
    datum.chargeability = not_given;
    datum.chargeability_std = not_given;
    datum.chargeability_error = not_given;
  }
}

void Import::pair_and_fit() {
  if (!options_.reciprocal && !options_.max_reciprocal_error) return;
  summary_.paired = true;
  pair_reciprocals(data_);
  if (options_.max_reciprocal_error) {
    std::vector<FieldDatum> kept;
    for (const FieldDatum& datum : data_) {
      const double percent = 100 * datum.reciprocal_error / std::abs(datum.resistance);
      if (datum.reciprocal_line > 0 && percent > *options_.max_reciprocal_error) {
        drop(datum, "reciprocal error above " + log_number(*options_.max_reciprocal_error) + " %",
             log_number(percent) + " %, with line " + std::to_string(datum.reciprocal_line));
        continue;
      }
      kept.push_back(datum);
    }
    data_ = std::move(kept);
  }
  std::vector<FieldDatum> kept;
  for (const FieldDatum& datum : data_) {
    if (datum.reciprocal_line == 0) {
      ++summary_.unpaired;
      if (options_.drop_unpaired) {
        drop(datum, "no reciprocal reading (--drop-unpaired)");
        continue;
      }
    }
    kept.push_back(datum);
  }
  data_ = std::move(kept);
  ReciprocalPairs& pairs = result_.pairs;
  std::vector<double> magnitudes, ip_magnitudes, ip_errors, all_magnitudes;
  for (const FieldDatum& datum : data_) {
    all_magnitudes.push_back(std::abs(datum.resistance));
    if (datum.reciprocal_line == 0) continue;
    pairs.mean.push_back(datum.resistance);
    pairs.error.push_back(datum.reciprocal_error);
    pairs.line.push_back(datum.line);
    pairs.reciprocal_line.push_back(datum.reciprocal_line);
    pairs.chargeability_error.push_back(datum.chargeability_error * chargeability_factor_);
    magnitudes.push_back(std::abs(datum.resistance));
    if (std::isfinite(datum.chargeability_error)) {
      ip_magnitudes.push_back(std::abs(datum.resistance));
      ip_errors.push_back(datum.chargeability_error * chargeability_factor_);
    }
  }
  if (!options_.reciprocal) return;
  pairs.fit = fit_error_models(magnitudes, pairs.error, all_magnitudes);
  if (!pairs.fit.kept.usable) {
    stop(magnitudes.size() < 4
             ? "--reciprocal: " + count_text(magnitudes.size(), "pair") +
                   " of normal and reciprocal" + " readings in " + input_ +
                   "; an error model needs at least 4"
             : "--reciprocal: no error model fits the " + count_text(magnitudes.size(), "pair") +
                   " of " + input_ + " (their differences are all zero or not finite)",
         count_text(magnitudes.size(), "reciprocal pair"));
  }
  std::vector<double> ip_all;
  for (const FieldDatum& datum : data_) {
    if (std::isfinite(datum.chargeability)) ip_all.push_back(std::abs(datum.resistance));
  }
  if (ip_errors.size() >= 4) {
    pairs.chargeability_fit = fit_error_models(ip_magnitudes, ip_errors, ip_all);
  }
}

// The checks of the data as they will be written (after filters and pairing): their lines go into
// the log, a warning for each that fires, and --drop-outliers drops what the local test finds.
void Import::run_checks() {
  FieldCheckSettings settings;
  settings.outlier_threshold = options_.outlier_threshold;
  std::vector<FieldDatum> judged = data_;
  for (FieldDatum& datum : judged) {
    if (std::isfinite(datum.ground_factor)) datum.geometric_factor = datum.ground_factor;
    if (std::isfinite(datum.chargeability)) datum.chargeability *= chargeability_factor_;
  }
  const FieldChecks checks = check_field_data(judged, settings);
  summary_.checks = check_section_text(checks);
  for (std::string warning : check_warnings(checks)) {
    if (warning.starts_with("warning: ")) warning.erase(0, 9);
    result_.warnings.push_back(std::move(warning));
  }
  if (!options_.drop_outliers || checks.outliers.empty()) return;
  std::vector<bool> outlier(data_.size(), false);
  for (const std::size_t i : checks.outliers) outlier[i] = true;
  std::vector<FieldDatum> kept;
  for (std::size_t i = 0; i < data_.size(); ++i) {
    if (outlier[i]) {
      const double score = checks.local.score[i];
      drop(data_[i], "outlier of the local median test (--drop-outliers)",
           "score " + log_number(score));
      continue;
    }
    kept.push_back(data_[i]);
  }
  data_ = std::move(kept);
}

// What the inversion cannot take is refused here, not written: standard deviations out of all
// proportion to their data, and electrodes that no mesh can hold.
void Import::refuse_what_cannot_be_inverted() {
  if (data_.empty()) return;  // make_stores says why
  for (const FieldDatum& datum : data_) {
    const double magnitude = std::abs(datum.resistance);
    if (std::isfinite(datum.std) &&
        (datum.std > 1e6 * magnitude || datum.std < 1e-12 * magnitude)) {
      stop("the standard deviation " + log_number(datum.std) + " ohm of the datum of line " +
               std::to_string(datum.line) + " of " + input_ + " is out of all proportion to its " +
               log_number(datum.resistance) +
               " ohm; give --ignore-file-errors, or --error for standard deviations",
           "line " + std::to_string(datum.line) + ": standard deviation " + log_number(datum.std));
    }
  }
  std::vector<double> x;
  double separation = 0;
  for (const FieldDatum& datum : data_) {
    for (const double position : {datum.a, datum.b, datum.m, datum.n}) x.push_back(position);
    separation = std::max({separation, std::abs(datum.a - datum.m), std::abs(datum.a - datum.n),
                           std::abs(datum.b - datum.m), std::abs(datum.b - datum.n)});
  }
  std::sort(x.begin(), x.end());
  x.erase(std::unique(x.begin(), x.end()), x.end());
  for (std::size_t k = 1; k < x.size(); ++k) {
    // No mesh tells apart electrodes closer than a micrometre (nor subnormal positions).
    if (x[k] - x[k - 1] < 1e-6) {
      stop("the electrodes of " + input_ + " at x = " + log_number(x[k - 1]) + " and " +
               log_number(x[k]) +
               " m are closer than 1e-6 m: they cannot be meshed for an "
               "inversion (check --spacing or the file's positions)",
           "electrodes " + log_number(x[k] - x[k - 1]) + " m apart");
    }
  }
  // The mesh quelby-mesh would make: it refuses electrodes too close, too far or too many. Its
  // log lines are no part of the import's.
  std::ostringstream console, error, log;
  const Io quiet{console, error, log};
  try {
    (void)mesh_for_electrodes(quiet, x, {}, separation);
  } catch (const Stop&) {
    std::string reason = console.str();
    const std::size_t at = reason.find("Error: ");
    reason = at == std::string::npos ? reason : reason.substr(at + 7);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    stop("the electrodes of " + input_ + " cannot be meshed for an inversion: " + reason,
         "no mesh for the electrodes");
  }
}

void Import::give_deviations() {
  const bool model = options_.reciprocal && result_.pairs.fit.kept.usable;
  const bool given =
      options_.error_percent > 0 || options_.error_floor > 0 || options_.error_voltage > 0;
  std::size_t without_current = 0;
  bool all_file = !data_.empty();
  for (const FieldDatum& datum : data_) all_file = all_file && std::isfinite(datum.std);
  if (model || given) {
    for (FieldDatum& datum : data_) {
      const double magnitude = std::abs(datum.resistance);
      double deviation = model ? result_.pairs.fit.kept(magnitude) : 0;
      if (given) {
        double own = options_.error_percent / 100 * magnitude + options_.error_floor;
        if (options_.error_voltage > 0) {
          if (std::isfinite(datum.current) && datum.current > 0) {
            own += options_.error_voltage / datum.current;
          } else {
            ++without_current;
          }
        }
        deviation = std::max(deviation, own);
      }
      datum.std = deviation;
    }
    const std::string own =
        log_number(options_.error_percent) + " % of |R| + " + log_number(options_.error_floor) +
        " ohm" +
        (options_.error_voltage > 0 ? " + " + log_number(options_.error_voltage) + " V / |I|"
                                    : std::string());
    summary_.deviations = model && given ? "the larger of the error model and " + own
                          : model
                              ? "the error model, " + result_.pairs.fit.kept.formula() + " (ohm)"
                              : own;
    if (without_current > 0) {
      summary_.deviations +=
          " (" + count_text(without_current, "datum") + " without a current: no voltage term)";
    }
    result_.data_stds = true;
  } else if (all_file) {
    summary_.deviations = "the file's errors";
    result_.data_stds = true;
  } else {
    std::size_t some = 0;
    for (const FieldDatum& datum : data_) some += std::isfinite(datum.std) ? 1 : 0;
    summary_.deviations = some == 0 ? "none (give --error or --reciprocal for them)"
                                    : "none: the file gives errors for " + std::to_string(some) +
                                          " of " + count_text(data_.size(), "datum") +
                                          " (give --error or --reciprocal)";
  }
  for (const FieldDatum& datum : data_) {
    if (result_.data_stds && !(datum.std > 0 && std::isfinite(datum.std))) {
      stop("a standard deviation that is not positive (" + log_number(datum.std) +
               ") for the datum of line " + std::to_string(datum.line) + " of " + input_,
           "line " + std::to_string(datum.line) + ": standard deviation " + log_number(datum.std));
    }
  }

  // IP.
  const ErrorFit& ip_fit = result_.pairs.chargeability_fit;
  const bool ip_model = options_.reciprocal && ip_fit.kept.usable;
  const bool ip_given = options_.ip_error_percent > 0 || options_.ip_error_floor > 0;
  bool ip_all_file = true;
  std::size_t ip_count = 0;
  for (const FieldDatum& datum : data_) {
    if (!std::isfinite(datum.chargeability)) continue;
    ++ip_count;
    ip_all_file =
        ip_all_file && std::isfinite(datum.chargeability_std) && datum.chargeability_std > 0;
  }
  if (ip_count == 0) return;
  for (const FieldDatum& datum : data_) {
    if (!std::isfinite(datum.chargeability)) continue;
    const double value = datum.chargeability * chargeability_factor_;
    double deviation = not_given;
    if (ip_model || ip_given) {
      deviation = ip_model ? ip_fit.kept(std::abs(datum.resistance)) : 0;
      if (ip_given) {
        deviation = std::max(
            deviation, options_.ip_error_percent / 100 * std::abs(value) + options_.ip_error_floor);
      }
    } else if (ip_all_file) {
      deviation = datum.chargeability_std * chargeability_factor_;
    }
    ip_deviation_.push_back(deviation);
  }
  result_.ip_stds = ip_model || ip_given || ip_all_file;
  const std::string own = log_number(options_.ip_error_percent) + " % of |m| + " +
                          log_number(options_.ip_error_floor) + " " + result_.chargeability_unit;
  summary_.ip_deviations = ip_model && ip_given ? "the larger of the error model and " + own
                           : ip_model ? "the error model, " + ip_fit.kept.formula() + " (" +
                                            result_.chargeability_unit + ")"
                           : ip_given    ? own
                           : ip_all_file ? "the file's errors"
                                         : "none (give --ip-error or --reciprocal for them)";
  if (result_.ip_stds) {
    for (const double deviation : ip_deviation_) {
      if (!(deviation > 0 && std::isfinite(deviation))) {
        stop("an IP standard deviation that is not positive (" + log_number(deviation) + ") in " +
                 input_ + "; give --ip-error with a floor",
             "IP standard deviation " + log_number(deviation));
      }
    }
  }
}

void Import::make_stores() {
  if (data_.empty()) {
    std::string reasons;
    for (const auto& [reason, count] : result_.dropped) {
      reasons += "\n  " + reason + ": " + std::to_string(count);
      if (reason.starts_with("negative apparent resistivity") &&
          2 * count > survey_.readings.size()) {
        reasons +=
            "\n  (most readings are negative: the file may hold its values with the "
            "other polarity, the potential electrodes exchanged)";
      }
    }
    stop("no datum of " + input_ + " is left (" + count_text(survey_.readings.size(), "reading") +
             " read)" + (reasons.empty() ? std::string() : ", dropped:" + reasons),
         "no datum left");
  }
  std::vector<double> a, b, m, n, values, stds;
  std::vector<double> ip_a, ip_b, ip_m, ip_n, ip_values;
  // z positions (m, down from the reference elevation) where electrodes are buried.
  std::vector<double> za, zb, zm, zn, ip_za, ip_zb, ip_zm, ip_zn;
  const auto z_of = [&](double x, double depth) {
    return result_.reference_elevation - ground_elevation(x) + depth;
  };
  for (const FieldDatum& datum : data_) {
    a.push_back(datum.a);
    b.push_back(datum.b);
    m.push_back(datum.m);
    n.push_back(datum.n);
    if (result_.buried) {
      za.push_back(z_of(datum.a, datum.depth_a));
      zb.push_back(z_of(datum.b, datum.depth_b));
      zm.push_back(z_of(datum.m, datum.depth_m));
      zn.push_back(z_of(datum.n, datum.depth_n));
    }
    values.push_back(datum.resistance);
    if (result_.data_stds) stds.push_back(datum.std);
    if (std::isfinite(datum.chargeability)) {
      ip_a.push_back(datum.a);
      ip_b.push_back(datum.b);
      ip_m.push_back(datum.m);
      ip_n.push_back(datum.n);
      if (result_.buried) {
        ip_za.push_back(za.back());
        ip_zb.push_back(zb.back());
        ip_zm.push_back(zm.back());
        ip_zn.push_back(zn.back());
      }
      ip_values.push_back(datum.chargeability * chargeability_factor_);
    }
  }
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  arrays.za = za;
  arrays.zb = zb;
  arrays.zm = zm;
  arrays.zn = zn;
  arrays.values = values;
  arrays.stds = stds;
  survey_from_arrays(io_, arrays, result_.data);
  if (!ip_values.empty()) {
    const std::vector<std::int32_t> types(ip_values.size(), 1);
    SurveyArrays ip;
    ip.a = ip_a;
    ip.b = ip_b;
    ip.m = ip_m;
    ip.n = ip_n;
    ip.za = ip_za;
    ip.zb = ip_zb;
    ip.zm = ip_zm;
    ip.zn = ip_zn;
    ip.values = ip_values;
    if (result_.ip_stds) ip.stds = ip_deviation_;
    ip.iptype = types;
    result_.ip.emplace();
    survey_from_arrays(io_, ip, *result_.ip);
  }
}

ImportResult Import::run() {
  const FieldSource source = read_field_source(io_, input_);
  survey_ = read_field_file(io_, source, options_.format, options_.spacing, options_.columns);
  result_.format = survey_.format;
  result_.source = input_;
  place_electrodes_from_table();
  bring_onto_line();
  settle_chargeability_unit();
  chargeability_factor_ =
      chargeability_scale(survey_, result_.chargeability_unit, summary_.chargeability);
  convert_along_ground();
  find_boreholes();
  find_ground();
  find_buried_depths();
  build_data();
  apply_ground_factors();
  filter_values();
  check_errors_column();
  pair_and_fit();
  filter_ip();
  run_checks();
  give_deviations();
  refuse_what_cannot_be_inverted();
  make_stores();
  summary_.input = input_;
  summary_.reader_notes = survey_.notes;
  for (const std::string& note : survey_.notes) {
    // What a reader leaves unread is said on the console too.
    if (note.find("not read") != std::string::npos) result_.warnings.push_back(note);
  }
  summary_.readings = survey_.readings.size();
  for (const FieldReading& reading : survey_.readings) {
    summary_.first_line =
        summary_.first_line == 0 ? reading.line : std::min(summary_.first_line, reading.line);
    summary_.last_line = std::max(summary_.last_line, reading.line);
  }
  summary_.unpaired_dropped = options_.drop_unpaired;
  summary_.data = data_.size();
  result_.log = import_log_text(summary_, result_);
  io_.log << result_.log;
  return std::move(result_);
}

}  // namespace

ImportResult import_field_data(const Io& io, std::string_view input, const ImportOptions& options) {
  return Import(io, input, options).run();
}

}  // namespace quelby
