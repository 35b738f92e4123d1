// The store of a 3-D survey: its distinct electrodes (x, y and z each) and its data, each datum
// naming its four electrodes by number, in the order of the file's data lines. Poles follow the
// 2-D files' rule: B = A is a current pole (only A carries current), N = M a potential pole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelby {

struct ElectrodePosition {
  double x = 0;
  double y = 0;
  double z = 0;  // the mesh's z: depth, growing downwards
  friend bool operator==(const ElectrodePosition&, const ElectrodePosition&) = default;
};

struct Survey3D {
  std::int32_t ndat = 0;
  // Distinct electrode positions in the order of their first appearance (A, B, M, N of each data
  // line in turn); positions are compared exactly.
  std::vector<ElectrodePosition> electrodes;
  // Per datum the 0-based numbers of its electrodes in `electrodes`; b[i] == a[i] for a current
  // pole, n[i] == m[i] for a potential pole.
  std::vector<std::int32_t> a, b, m, n;
  std::vector<std::int32_t> iptype;  // 0 DC, 1 apparent chargeability, 2 secondary potential
  bool has_values = false;           // dobs and dstd were read
  bool std_missing = false;          // the data lines carry no standard deviation (dstd NaN)
  std::vector<double> dobs;          // ohms (V/A) for DC, the chargeability unit for IP
  std::vector<double> dstd;
  std::string header_line;  // line 1 of the file, as read (trailing blanks removed)
};

}  // namespace quelby
