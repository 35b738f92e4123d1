// The survey data store: the current pairs and data of one 2-D DC or IP survey, grouped by current
// pair, as the data-file readers leave them, with the separation statistics they feed and the
// normalisation of the data by their standard deviations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"

namespace quelby {

// Arrays are 0-based. Which arrays a reading creates is told by flags, one per group; an array that
// is absent is empty:
//
//   | group       | arrays                                   | present when                       |
//   |-------------|------------------------------------------|------------------------------------|
//   | pairs       | xa_cur, xb_cur, ndat_cur, idat_idx       | always after a reading             |
//   | data        | xm, xn, iptype                           | always after a reading             |
//   | values      | dobs, dstd                               | has_values (not locations_only);   |
//   |             |                                          | dstd_read: dstd holds read values  |
//   | z positions | za_cur, zb_cur, zm, zn                   | has_z (common-current with use_z)  |
//   | file order  | xa_file, xb_file, xm_file, xn_file,      | has_file_order (general layout)    |
//   |             | sorted_pos                               |                                    |
//
// Numbering: two fields keep the 1-based positions that files and messages show; their accessors
// give the 0-based positions of the arrays.
//
//   | field      | values                                        | 0-based accessor         |
//   |------------|-----------------------------------------------|--------------------------|
//   | idat_idx   | 1-based datum number of each pair's first     | data_begin(k)            |
//   |            | datum (idat_idx[ncur] = ndat + 1)             |                          |
//   | sorted_pos | 1-based grouped position of each file line    | grouped_position(j)      |
struct SurveyData {
  std::int32_t ndat = 0;        // number of data
  std::int32_t ncur = 0;        // number of current-electrode pairs
  bool use_z = false;           // the caller asked for z positions (common-current layout only)
  bool common_current = false;  // the first line is the "COMMON_CURRENT" header
  // The data lines carry no standard-deviation column; decided on the first datum, meaningful only
  // when data values were read.
  bool std_missing = false;
  // `dstd` holds standard deviations read from the file (all > 0). False with `locations_only`
  // (then `dstd` is empty) and when `std_missing` is set: `dstd` then has `ndat` entries that are
  // all quiet NaN, for the caller to fill before use.
  bool dstd_read = false;
  bool has_values = false;      // dobs and dstd were created (data values were read)
  bool has_z = false;           // za_cur, zb_cur, zm, zn were created
  bool has_file_order = false;  // xa_file, xb_file, xm_file, xn_file, sorted_pos were created
  double sep_max = 0;           // largest electrode separation
  double sep_min = 1e50;        // smallest electrode separation
  double sep_mean = 0;          // mean largest separation per datum (the running sum while reading)
  std::string header_line = std::string(100, ' ');  // first 100 characters of line 1, padded

  // Per current pair, ncur entries.
  std::vector<double> xa_cur, xb_cur;
  std::vector<double> za_cur, zb_cur;  // common-current layout with use_z only
  std::vector<std::int32_t> ndat_cur;  // as written in the file (may be negative there)

  // Per datum, ndat entries in grouped order.
  std::vector<double> xm, xn;
  std::vector<double> zm, zn;        // common-current layout with use_z only
  std::vector<std::int32_t> iptype;  // 0 DC, 1 apparent chargeability, 2 secondary potential
  std::vector<double> dobs;          // when data values were read
  std::vector<double> dstd;          // when data values were read; see dstd_read

  // ncur + 1 entries, 1-based values: the data of pair k (1-based) are idat_idx[k-1] ..
  // idat_idx[k] - 1.
  std::vector<std::int32_t> idat_idx;

  // General layout only: the positions in the order of the data lines in the file, and
  // sorted_pos[j] = the 1-based grouped position of the (j+1)-th data line.
  std::vector<double> xa_file, xb_file, xm_file, xn_file;
  std::vector<std::int32_t> sorted_pos;

  // The 0-based position of the first datum of pair k (0-based); data_begin(k + 1) is one past its
  // last. k = 0..ncur.
  std::size_t data_begin(std::size_t k) const { return static_cast<std::size_t>(idat_idx[k] - 1); }
  // The 0-based grouped position of data line j (0-based, file order).
  std::size_t grouped_position(std::size_t j) const {
    return static_cast<std::size_t>(sorted_pos[j] - 1);
  }
};

// Folds one datum with electrode positions a, b, m, n into the statistics: the separations
// |a-m|, |a-n| (m != n), |b-m| (a != b), |b-n| (both) into the largest and smallest, and the
// largest of all four distances into the sum.
void update_separation_stats(double& sep_max, double& sep_min, double& sep_sum, double a, double b,
                             double m, double n) noexcept;

// Divides every dobs by its dstd in place; each call divides again. Both arrays must have ndat
// entries (values read, or filled by the caller when std_missing is set); otherwise writes
// "normalize_data: dobs and dstd must hold ndat values" on the error stream and throws Stop.
void normalize_data(const Io& io, SurveyData& data);

}  // namespace quelby
