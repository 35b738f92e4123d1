// Syscal Pro .bin and .binx files written here byte by byte in their layouts: each record read
// value by value (positions, Vp and In in SI units, Rho, deviation, M, validity, the .binx
// electrode numbers, depths and geometric factor), the notes on windows, dates and counts, records
// cut by the end of the file, headers that announce too many or too few records, and the refusals,
// each naming the file and the record.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/syscal_binary_format.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

// Little-endian bytes, appended one by one.
struct Bytes {
  std::string data;
  Bytes& integer(std::uint64_t value, int size) {
    for (int k = 0; k < size; ++k) data.push_back(static_cast<char>(value >> (8 * k) & 0xFF));
    return *this;
  }
  Bytes& f32(double value) { return integer(std::bit_cast<std::uint32_t>(float(value)), 4); }
  Bytes& f64(double value) { return integer(std::bit_cast<std::uint64_t>(value), 8); }
  Bytes& zeros(std::size_t count) { return data.append(count, '\0'), *this; }
  Bytes& sized(const std::string& text) {
    return integer(text.size(), 4), data.append(text), *this;
  }
};

// One record: positions, Vp (mV), In (mA), Rho, deviation (%), M (mV/V) and flags.
struct Row {
  std::array<double, 4> x, y, z;
  double vp, in, rho, dev, m;
  bool overload = false, valid = true;
  double date = 44775.5;          // 2022-08-02 12:00:00
  std::array<double, 4> depth{};  // .binx only
  std::array<std::uint32_t, 4> numbers{};
  double k = 0;
};

std::vector<Row> make_rows() {
  std::vector<Row> rows = {
      {{0, 3, 1, 2}, {0, 0, 0, 0}, {100, 100.5, 101, 101.5}, 122.95, 41.9055, 18.4348, 5.68, 3.25},
      {{1, 4, 2, 3}, {0, 0.5, 0, 0}, {0, 0, 0, 0}, -153.5, 43.9, 16.55, 4.86, 0},
      {{2, 5, 3, 4}, {0, 0, 0, 0}, {7, 7, 7, 7}, 0.125, 1250, 0.5, 0.1, -2.5}};
  rows[1].overload = true, rows[1].date = 44775.75;
  rows[2].valid = false, rows[2].date = 44776.25;
  return rows;
}
const std::vector<Row> rows = make_rows();

std::string bin_record(const Row& row, int extension) {
  Bytes b;
  b.integer(10, 2).integer(extension, 2).f32(500).f32(60).integer(1, 2).zeros(2);
  for (const auto& values : {row.x, row.y, row.z})
    for (const double v : values) b.f32(v);
  b.f32(4.75).f32(row.vp).f32(row.in).f32(row.rho).f32(row.m).f32(row.dev);
  for (int w = 0; w < 20; ++w) b.f32(w < 3 ? 40 : 0);
  for (int w = 0; w < 20; ++w) b.f32(w < 3 ? row.m * (1.5 - 0.5 * w) : 0);
  b.integer((row.overload ? 1u << 8 : 0u) | (row.valid ? 1u << 9 : 0u) | 0x10u, 4);
  b.data.append("22080202", 8), b.zeros(4 + 8).f32(6).f32(0);
  if (extension >= 2) b.f32(1.39).f32(12.1).f32(12.4).f32(25.5);
  if (extension == 3) b.f64(row.date);
  return b.data;
}

std::string bin_header(std::uint32_t version, int type, const std::string& comment) {
  Bytes b;
  b.integer(version, 4).integer(type, 1).data.append(comment);
  return b.zeros(1024 - comment.size()).data;
}

// A .binx record of layout `layout` (each conditional block as its layout version adds it).
std::string binx_record(const Row& row, int layout, bool gap_filler) {
  Bytes b;
  b.integer(layout, 4).f64(row.date).f64(0).integer(row.overload, 4).integer(6, 4);
  b.f64(4.75).f64(row.vp).f64(row.in).f64(row.m);
  for (int w = 0; w < 20; ++w) b.f64(w < 3 ? row.m * (1.5 - 0.5 * w) : 0);
  b.f64(row.k).f64(row.rho).f64(row.dev).f64(0).f64(0).zeros(5 * 4 + 800 * 4);
  b.sized("22080202").f32(50).zeros(layout < 3 ? 4 : 8).integer(10, 2).zeros(4 + 4 + 8 + 8);
  b.integer(500, 4).integer(0, 4).integer(60, 4);
  for (int w = 0; w < 20; ++w) b.integer(w < 3 ? 40 : 0, 4);
  b.zeros(1 + 4 + 4 + 9 + 4 + 1).sized("seq.txt").zeros(10 * 4).f64(1).zeros(8);
  b.integer(gap_filler, 1).zeros(2 + 16);
  for (int role = 0; role < 4; ++role) {
    b.f64(row.x[role]).f64(row.y[role]).f64(row.z[role]).f64(row.depth[role]);
    b.zeros(4).integer(1, 2).zeros(8).integer(row.numbers[role], 4).zeros(layout >= 5 ? 1 : 0);
  }
  b.zeros(32 + 18 + (layout >= 5 ? 1 : 0) + 16 + 11 + 16 + 2 + 12);
  if (layout == 1) {
    b.zeros(56);
  } else {
    b.sized("iab.bin").sized("");
  }
  b.zeros(25 + (layout < 9 ? 48 : 0) + 24 + (layout >= 3 ? 4 : 0) + 54);
  b.zeros((layout >= 3 ? 30 : 0) + (layout >= 3 && layout < 6 ? 4 : 0) + (layout >= 4 ? 20 : 0));
  b.zeros((layout >= 6 ? 8 : 0) + (layout >= 7 ? 4 : 0) + (layout >= 8 ? 10 : 0));
  b.zeros((layout >= 10 ? 28 : 0) + (layout >= 14 ? 1 : 0));
  if (layout >= 11) b.zeros(1).integer(2, 4).zeros(16);  // two associated results
  if (layout >= 11 && layout < 15) b.zeros(320 + (layout >= 12 ? 16 : 0));
  if (layout >= 15) b.integer(1, 4).zeros(170);  // one recomputed set
  b.zeros((layout >= 13 && layout != 14 ? 1 : 0) + (layout == 14 ? 9 : 0));
  return b.data;
}

std::string binx_header(std::uint32_t version, std::uint32_t announced) {
  Bytes b;
  b.integer(version, 4).integer(14, 1);
  if (version < 0x80000000u) b.zeros(1).integer(3, 2).integer(1, 2).integer(7, 2);
  return b.sized("SYSCAL Pro").sized("").integer(0, 4).integer(0, 4).integer(announced, 4).data;
}

bool has_note(const FieldSurvey& survey, const std::string& text) {
  for (const std::string& note : survey.notes) {
    if (note.find(text) != std::string::npos) return true;
  }
  return false;
}

void expect_relative(double found, double expected, const std::string& what) {
  EXPECT_NEAR(found, expected, 1e-6 * std::abs(expected) + 1e-12) << what;
}

void expect_row(const FieldReading& reading, const Row& row, std::size_t line, bool ip) {
  const std::string at = "record " + std::to_string(line);
  EXPECT_EQ(reading.line, line);
  for (std::size_t role = 0; role < 4; ++role) {
    const FieldElectrode& electrode = reading.electrodes[role];
    const std::string name = at + " electrode " + std::string(1, "ABMN"[role]);
    expect_relative(electrode.x, row.x[role], name + " x");
    expect_relative(electrode.y, row.y[role], name + " y");
    expect_relative(electrode.elevation, row.z[role] - row.depth[role], name + " elevation");
    EXPECT_EQ(electrode.buried, row.depth[role] > 0) << name;
    EXPECT_EQ(electrode.number, static_cast<std::int32_t>(row.numbers[role])) << name;
    EXPECT_TRUE(electrode.present) << name;
  }
  expect_relative(reading.voltage, row.vp * 1e-3, at + " voltage");
  expect_relative(reading.current, row.in * 1e-3, at + " current");
  expect_relative(reading.apparent_resistivity, row.rho, at + " rho");
  expect_relative(reading.deviation, row.dev, at + " deviation");
  EXPECT_TRUE(std::isnan(reading.resistance)) << at;
  if (ip) {
    expect_relative(reading.chargeability, row.m, at + " chargeability");
  } else {
    EXPECT_TRUE(std::isnan(reading.chargeability)) << at;
  }
  if (row.k != 0) {
    expect_relative(reading.geometric_factor, row.k, at + " geometric factor");
  } else {
    EXPECT_TRUE(std::isnan(reading.geometric_factor)) << at;
  }
  EXPECT_EQ(reading.valid, row.valid && !row.overload) << at;
}

FieldSurvey read(const std::string& name, const std::string& bytes) {
  Transcript transcript;
  const FieldSource source{name, bytes};
  EXPECT_EQ(syscal_binary_mismatch(source), "") << name;
  return read_syscal_binary_file(transcript.io(), source);
}

// Records of extension codes 3, 2 and 0 (304, 296 and 280 bytes) in one file, then a fourth cut
// after 100 bytes; the file goes through the disk once to read it as the import does.
TEST(SyscalBinaryFormat, BinRecordsOfEachSizeAndACutLastRecord) {
  const std::string content = bin_header(0x80000002, 9, "export Prosys III\r\n") +
                              bin_record(rows[0], 3) + bin_record(rows[1], 2) +
                              bin_record(rows[2], 0) + bin_record(rows[0], 3).substr(0, 100);
  TempFolder folder;
  const std::string path = folder.write("line.bin", content);
  Transcript transcript;
  const FieldSurvey survey =
      read_syscal_binary_file(transcript.io(), read_field_source(transcript.io(), path));
  EXPECT_EQ(survey.format, FieldFormat::syscal_binary);
  ASSERT_EQ(survey.readings.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) expect_row(survey.readings[k], rows[k], k + 1, true);
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::millivolt_per_volt);
  EXPECT_EQ(survey.chargeability_unit_text, "mV/V");
  EXPECT_TRUE(survey.chargeability_unit_stated);
  for (const char* note :
       {"version 0x80000002, instrument type 9, comment 'export Prosys III'",
        "1 record cut off by the end of the file was dropped (record 4)",
        "measured on 2022-08-02 12:00:00", "stacks per reading: 6",
        "current injection 500 ms; IP windows after a delay of 60 ms: 60-100 100-140 140-180 ms",
        "1 readings the instrument marks not valid", "1 readings the instrument marks overloaded",
        "also store M per window"}) {
    EXPECT_TRUE(has_note(survey, note)) << note;
  }
}

TEST(SyscalBinaryFormat, ZeroChargeabilitiesAreADcOnlyFile) {
  std::vector<Row> dc = rows;
  for (Row& row : dc) row.m = 0;
  const FieldSurvey survey = read("dc.bin", bin_header(0x80000003, 8, "SYSCAL Pro") +
                                                bin_record(dc[0], 3) + bin_record(dc[2], 3));
  ASSERT_EQ(survey.readings.size(), 2u);
  expect_row(survey.readings[1], dc[2], 2, false);
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::none);
  EXPECT_TRUE(has_note(survey, "a DC-only file"));
  EXPECT_TRUE(has_note(survey, "measured from 2022-08-02 12:00:00 to 2022-08-03 06:00:00"));
}

// Every record layout version (1 to 15) changes the size of its record: three records of each,
// and headers of layout 9 that announce more records than the file holds, fewer, or as many with
// the last record cut.
TEST(SyscalBinaryFormat, BinxLayoutsAndHeadersThatMiscount) {
  std::vector<Row> binx = rows;
  binx[0].depth = {0, 0, 2.5, 0};
  for (std::size_t k = 0; k < binx.size(); ++k) {
    binx[k].valid = true;  // a .binx record marks overloads only
    binx[k].numbers = {std::uint32_t(k + 1), std::uint32_t(k + 4), std::uint32_t(k + 2),
                       std::uint32_t(k + 3)};
    binx[k].k = 6.283185307179586 * double(k + 1);
  }
  struct Case {
    const char* name;
    std::uint32_t version;
    int layout;
    std::uint32_t announced;
    std::size_t cut;  // bytes of the last record written when it is cut
    std::size_t expected;
    const char* note;
  };
  std::vector<Case> cases = {
      {"f.binx", 6, 9, 3, 0, 3, "the header announces 3 records; record layout version 9"},
      {"f.binx", 6, 9, 5, 0, 3, "the file ends after 3 of the 5 records its header announces"},
      {"f.binx", 6, 9, 2, 0, 2, "bytes after the 2 records the header announces are left unread"},
      {"f.binx", 6, 9, 3, 3700, 2,
       "1 record cut off by the end of the file was dropped (record 3)"},
      {"old.BINX", 0x80000002, 9, 3, 0, 3, "header version 0x80000002, instrument type 14"},
  };
  for (int layout = 1; layout <= 15; ++layout) {
    cases.push_back({"f.binx", layout == 4 ? 4u : 6u, layout, 3, 0, 3,
                     layout == 4    ? "software 0 version 3.1.7"
                     : layout >= 11 ? "recomputed IP values"
                                    : "record layout version"});
  }
  for (const Case& test : cases) {
    SCOPED_TRACE(std::string(test.name) + " layout " + std::to_string(test.layout));
    std::string content = binx_header(test.version, test.announced);
    for (std::size_t k = 0; k < binx.size(); ++k) {
      const std::string record = binx_record(binx[k], test.layout, k == 1);
      content += k + 1 == binx.size() && test.cut > 0 ? record.substr(0, test.cut) : record;
    }
    const FieldSurvey survey = read(test.name, content);
    ASSERT_EQ(survey.readings.size(), test.expected);
    for (std::size_t k = 0; k < test.expected; ++k) {
      expect_row(survey.readings[k], binx[k], k + 1, true);
    }
    EXPECT_TRUE(has_note(survey, test.note)) << test.note;
    EXPECT_TRUE(has_note(survey, "measured from 2022-08-02 12:00:00 to 2022-08-0"));
    EXPECT_EQ(has_note(survey, "records its header announces"),
              test.announced > test.expected + (test.cut > 0 ? 1 : 0));
    EXPECT_TRUE(has_note(survey, "1 readings measured as gap fillers"));
    EXPECT_TRUE(has_note(survey, "1 electrode positions with a depth: buried"));
  }
}

TEST(SyscalBinaryFormat, RefusalsNameTheFileAndTheRecord) {
  const std::string header = bin_header(0x80000002, 8, "SYSCAL Pro");
  std::string bad_extension = bin_record(rows[1], 3);
  bad_extension[2] = 7;
  std::string no_coordinates = bin_record(rows[1], 3);
  no_coordinates[12] = 0;
  Row not_finite = rows[0];
  not_finite.x[2] = std::nan("");
  std::string huge_text = binx_record(rows[0], 9, false);
  huge_text[3480 + 3] = '\x7F';  // the measurement file's name runs past the end
  const struct {
    const char* name;
    std::string content;
    int record;
    const char* what;
  } cases[] = {
      {"f.bin", "", 1,
       "the file holds 0 bytes, too few for the version and instrument type of a Syscal Pro "
       "header"},
      {"f.bin", header.substr(0, 600), 1,
       "the file ends after 600 bytes, inside its 1029-byte header"},
      {"f.bin", bin_header(0x80000004, 8, ""), 1,
       "the .bin version 0x80000004 is newer than 0x80000003, the last whose layout quelby reads"},
      {"f.bin", bin_header(0x80000002, 2, ""), 1,
       "the instrument type 2 writes no Syscal Pro records"},
      {"f.bin", header + bin_record(rows[0], 3) + bad_extension, 2,
       "the record extension code 7 is not one of 0 to 3 (a record of unknown size)"},
      {"f.bin", header + no_coordinates, 1,
       "the record holds no electrode coordinates (coordinate type 0)"},
      {"f.bin", header + bin_record(not_finite, 0), 1,
       "the position of electrode M is not a finite number"},
      {"f.bin", "Spa.1\tSpa.2\tRho\n", 1,
       "the first 4 bytes (0x2E617053) are no version word of a Syscal Pro .bin or .binx file"},
      {"f.binx", binx_header(6, 2).substr(0, 30), 1, "the file ends inside its header"},
      {"f.binx", binx_header(6, 1) + binx_record(rows[0], 16, false), 1,
       "the record layout version 16 is not one of 1 to 15"},
      {"f.binx", Bytes().integer(6, 4).zeros(8).sized("").sized("").integer(2, 4).zeros(8).data, 1,
       "the file holds 2 further data files; split it into one file per survey in Prosys"},
  };
  for (const auto& test : cases) {
    const std::string record = std::to_string(test.record);
    Transcript transcript;
    try {
      read_syscal_binary_file(transcript.io(), FieldSource{test.name, test.content});
      ADD_FAILURE() << "read: " << test.what;
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(), std::string(test.name) + ":" + record + ": " + test.what);
      EXPECT_EQ(transcript.console(), "\nError reading the field data file " +
                                          std::string(test.name) + ", record " + record + ": " +
                                          test.what + "\n");
    }
  }
  // A text in a record cuts it: the record is dropped, not read past the end.
  const FieldSurvey survey = read("f.binx", binx_header(6, 1) + huge_text);
  EXPECT_TRUE(survey.readings.empty());
  EXPECT_TRUE(has_note(survey, "1 record cut off by the end of the file was dropped (record 1)"));
}

TEST(SyscalBinaryFormat, SignatureOfBothLayoutsAndNoTextFile) {
  const struct {
    std::string content;
    bool fits;
  } cases[] = {
      {bin_header(0x80000002, 9, "x"), true},
      {binx_header(6, 0), true},
      {binx_header(6, 0).substr(0, 20), false},  // the comment's length passes the end
      {"", false},
      {"4\n0 0\n1 0\n", false},
      {"\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho\n\t0\t3\t1\t2\t18.4\n", false},
      {"A(x)\tB(x)\tM(x)\tN(x)\n", false},
      {std::string("\x02\x00\x00\x80", 4), false},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(syscal_binary_mismatch(FieldSource{"f", test.content}).empty(), test.fits)
        << ::testing::PrintToString(test.content.substr(0, 16));
  }
}

}  // namespace
}  // namespace quelby
