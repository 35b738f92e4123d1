// The import of field data as one 3-D survey: electrodes spread across the ground (a grid, or
// several parallel lines in one file or in several files), each reading a datum at the electrodes'
// x, y and z (z = reference elevation - elevation, the highest electrode's elevation the
// reference), written as a 3-D survey file with the import log.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/survey/survey3d.hpp"

namespace quelby {

struct Import3DResult {
  FieldFormat format = FieldFormat::unified;  // of the first input
  Survey3D data;               // DC: signed resistances, ohms, in the order of the readings
  std::optional<Survey3D> ip;  // apparent chargeabilities (IPTYPE 1) where the files give them
  std::string chargeability_unit;
  double reference_elevation = 0;  // z = reference - elevation
  std::size_t readings = 0;
  // Readings dropped, by reason, in the order each reason first occurred.
  std::vector<std::pair<std::string, std::size_t>> dropped;
  std::vector<std::string> sources;  // the input files, in order
  std::string log;                   // the import log's text
};

// True when the electrodes of the readings (those the file uses, less those more than 5 line
// lengths off the line through the others, which a 2-D import takes as remote) do not stand on one
// straight line in x and y, to 1e-3 of its length. Linear in readings, plus sorting.
bool electrodes_spread_in_plane(const FieldSurvey& survey);

// Reads each of `inputs` (as import_field_data reads one: the format told or given, the electrode
// table of options.electrodes placing the electrodes) and adds `line_offset` x its 0-based number
// to the y of its electrodes (parallel 2-D lines given one file each). Each reading is a datum:
// the file's resistance, else V / I, else its apparent resistivity over its K or the flat-surface
// K of the electrodes' positions (K = 2 pi / (1/AM - 1/AN - 1/BM + 1/BN), distances in x and y,
// a missing electrode's terms left out); a missing A or M takes the place of its partner with the
// sign turned. Readings marked invalid, without both electrodes of a pair, or without a value are
// dropped and counted. Standard deviations: from --error, --error-floor and --error-voltage when
// any is given, else the file's, else none. Chargeabilities in % become mV/V (x 10). The options
// of reciprocal pairing, filters and checks are refused: the 2-D import alone has them. Failures
// write their message and throw Stop. Linear in readings.
Import3DResult import_field_data3d(const Io& io, std::span<const std::string> inputs,
                                   const ImportOptions& options, double line_offset = 0);

// Writes `name` (the DC data), ip3d.dat when there is IP, and import.log into `folder` (made when
// missing); each atomically. An existing file of those names that no import wrote is refused.
void write_import3d(const Io& io, std::string_view folder, std::string_view name,
                    const Import3DResult& result);

}  // namespace quelby
