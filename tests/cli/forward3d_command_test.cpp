// quelby-forward run as a process on 3-D survey files: the data, IP responses and sensitivities
// of a uniform ground against the analytic half-space, the 3-D survey file it writes, the
// statistics line it prints, and the inputs it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/survey_mesh3d.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/survey/survey3d.hpp"
#include "quelby/survey/survey3d_file.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::RunResult;
using testing::TempFolder;

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_FORWARD_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

// Electrodes on the surface of a 4 x 3 grid 1 m apart: dipoles along and across the grid, a
// pole-dipole and a dipole-pole.
const char* const dc_survey =
    "GENERAL_3D\n"
    "0 0 0  3 0 0  1 0 0  2 0 0\n"
    "0 0 0  0 0 0  1 1 0  2 1 0\n"
    "0 1 0  3 2 0  1 1 0  2 2 0\n"
    "3 2 0  0 2 0  2 0 0  2 0 0\n";

// The same electrodes as IP data: secondary potentials, then apparent chargeabilities.
const char* const ip_survey =
    "GENERAL_3D\n"
    "IPTYPE=2\n"
    "0 0 0  3 0 0  1 0 0  2 0 0\n"
    "0 0 0  0 0 0  1 1 0  2 1 0\n"
    "IPTYPE=1\n"
    "0 1 0  3 2 0  1 1 0  2 2 0\n"
    "3 2 0  0 2 0  2 0 0  2 0 0\n";

constexpr double rho = 100;

// The half-space datum of rho for surface electrodes: rho / (2 pi r) per current and potential
// pole, B omitted for a current pole and N for a potential pole.
double half_space_datum(const Survey3D& survey, std::size_t i) {
  const auto potential = [&](std::int32_t source, std::int32_t at) {
    const ElectrodePosition& s = survey.electrodes[static_cast<std::size_t>(source)];
    const ElectrodePosition& p = survey.electrodes[static_cast<std::size_t>(at)];
    return rho / (2 * std::numbers::pi * std::hypot(s.x - p.x, s.y - p.y, s.z - p.z));
  };
  const auto at_m_minus_n = [&](std::int32_t source) {
    const double m = potential(source, survey.m[i]);
    return survey.n[i] == survey.m[i] ? m : m - potential(source, survey.n[i]);
  };
  const double a = at_m_minus_n(survey.a[i]);
  return survey.b[i] == survey.a[i] ? a : a - at_m_minus_n(survey.b[i]);
}

// The values of a sensitivity file after its 24-byte header, and its ndat and npar.
struct Sensitivities {
  std::uint32_t ndat = 0, npar = 0;
  std::vector<double> values;
};
Sensitivities read_sensitivities(const std::string& bytes) {
  Sensitivities file;
  EXPECT_GE(bytes.size(), 24u);
  if (bytes.size() < 24) return file;
  EXPECT_EQ(bytes.substr(0, 8), std::string("QUELBYJ\0", 8));
  std::memcpy(&file.ndat, bytes.data() + 12, 4);  // the test machines are little-endian
  std::memcpy(&file.npar, bytes.data() + 16, 4);
  EXPECT_EQ(bytes.size(), 24 + std::size_t{8} * file.ndat * file.npar);
  file.values.resize((bytes.size() - 24) / 8);
  std::memcpy(file.values.data(), bytes.data() + 24, file.values.size() * 8);
  return file;
}

// A small mesh of 0.5 m core cells for the survey, written as m.msh; its counts line.
Mesh3D write_test_mesh(const TempFolder& folder) {
  std::ostringstream sink;
  const Io io{sink, sink, sink};
  Survey3D survey;
  read_survey3d(io, folder.file("dc.dat"), true, survey);
  const Mesh3D mesh = survey_mesh3d(io, survey, {.cell_width = 0.5});
  write_mesh3d(io, folder.file("m.msh"), mesh);
  return mesh;
}

std::string counts_header(const Mesh3D& mesh) {
  return std::to_string(mesh.nx) + " " + std::to_string(mesh.ny) + " " + std::to_string(mesh.nz) +
         "\n";
}

TEST(Forward3DCommand, UniformGroundGivesTheHalfSpaceData) {
  TempFolder folder;
  folder.write("dc.dat", dc_survey);
  folder.write("ip.dat", ip_survey);
  const Mesh3D mesh = write_test_mesh(folder);
  const std::int64_t cells = mesh.cell_count();
  const std::int64_t columns = std::int64_t{mesh.nx} * mesh.ny;
  folder.write("u.mod", counts_header(mesh) + std::to_string(cells) + "*100\n");
  folder.write("eta.mod", counts_header(mesh) + std::to_string(cells) + "*0.05\n");
  // The top layer inactive: its cells conduct but are no parameters.
  folder.write("deep.act", counts_header(mesh) + std::to_string(columns) + "*0 " +
                               std::to_string(cells - columns) + "*1\n");
  struct Case {
    std::string survey;
    std::vector<std::string> options;
    std::int64_t npar;  // columns of the sensitivity file; 0: none written
  };
  const std::vector<Case> cases = {
      {"dc.dat", {}, 0},
      {"ip.dat", {"--ip", "eta.mod"}, 0},
      {"dc.dat", {"--sensitivity=j.bin"}, cells},
      {"dc.dat", {"--sensitivity", "j.bin", "--active", "deep.act"}, cells - columns},
  };
  std::vector<double> full_jacobian;
  for (const Case& c : cases) {
    std::string trace = c.survey;
    for (const std::string& option : c.options) trace += " " + option;
    SCOPED_TRACE(trace);
    std::filesystem::remove(folder.file("j.bin"));
    std::vector<std::string> arguments = c.options;
    for (const char* positional : {"m.msh", "u.mod"}) arguments.push_back(positional);
    arguments.push_back(c.survey);
    arguments.push_back("out.dat");
    const RunResult result = run_in(folder, arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    // The statistics line; its times are not compared.
    const std::string counts = std::to_string(mesh.nx) + " x " + std::to_string(mesh.ny) + " x " +
                               std::to_string(mesh.nz) + " cells, " + std::to_string(cells) +
                               " in the ground, " + std::to_string(mesh.node_count()) + " nodes, ";
    EXPECT_TRUE(result.out.starts_with("3-D forward: " + counts)) << result.out;
    EXPECT_NE(result.out.find(" factor entries; factorisation "), std::string::npos);

    std::ostringstream sink;
    const Io io{sink, sink, sink};
    const bool ip = c.survey == "ip.dat";
    Survey3D input, output;
    read_survey3d(io, folder.file(c.survey), true, input, !ip);
    read_survey3d(io, folder.file("out.dat"), false, output, !ip);
    ASSERT_EQ(output.ndat, input.ndat);
    EXPECT_EQ(output.electrodes, input.electrodes);
    EXPECT_EQ(output.iptype, input.iptype);
    EXPECT_TRUE(output.std_missing);
    for (std::size_t i = 0; i < static_cast<std::size_t>(input.ndat); ++i) {
      SCOPED_TRACE(i);
      const double datum = half_space_datum(input, i);
      const double expected = !ip ? datum : input.iptype[i] == 2 ? 0.05 * datum : 0.05;
      EXPECT_NEAR(output.dobs[i], expected, 1e-9 * std::fabs(expected));
    }
    if (c.npar == 0) {
      EXPECT_FALSE(std::filesystem::exists(folder.file("j.bin")));
      continue;
    }
    const Sensitivities j = read_sensitivities(read_file(folder.file("j.bin")));
    EXPECT_EQ(j.ndat, static_cast<std::uint32_t>(input.ndat));
    ASSERT_EQ(j.npar, static_cast<std::uint32_t>(c.npar));
    const auto npar = static_cast<std::size_t>(c.npar);
    if (npar == static_cast<std::size_t>(cells)) {
      // Over every ground cell a row sums to its datum.
      for (std::size_t i = 0; i < j.ndat; ++i) {
        double sum = 0;
        for (std::size_t p = 0; p < npar; ++p) sum += j.values[i * npar + p];
        EXPECT_NEAR(sum, output.dobs[i], 1e-9 * std::fabs(output.dobs[i])) << i;
      }
      full_jacobian = j.values;
    } else {
      // The active cells' columns are those of the same cells among every ground cell.
      ASSERT_EQ(full_jacobian.size(), j.ndat * static_cast<std::size_t>(cells));
      const auto skipped = static_cast<std::size_t>(columns);
      for (std::size_t i = 0; i < j.ndat; ++i) {
        for (std::size_t p = 0; p < npar; ++p) {
          const double whole = full_jacobian[i * static_cast<std::size_t>(cells) + skipped + p];
          ASSERT_NEAR(j.values[i * npar + p], whole, 1e-12 * std::fabs(output.dobs[i]))
              << i << " " << p;
        }
      }
    }
  }
}

TEST(Forward3DCommand, RefusesInputsThatDoNotFitA3DSurvey) {
  TempFolder folder;
  folder.write("dc.dat", dc_survey);
  const Mesh3D mesh = write_test_mesh(folder);
  const std::int64_t cells = mesh.cell_count();
  folder.write("u.mod", counts_header(mesh) + std::to_string(cells) + "*100\n");
  folder.write("short.mod", "4 3 2\n24*100\n");
  // A chargeability that is no number in the ground's top corner cell.
  folder.write("nan.mod", counts_header(mesh) + "NaN " + std::to_string(cells - 1) + "*0.05\n");
  folder.write("line.msh", "1\n0 10 10\n1\n0 5 5\n");
  const std::string mesh_counts =
      std::to_string(mesh.nx) + " x " + std::to_string(mesh.ny) + " x " + std::to_string(mesh.nz);
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"line.msh", "u.mod", "dc.dat", "out.dat"},
       "\nError: line.msh is a 2-D mesh file; a 3-D survey file is modelled on a 3-D mesh file "
       "(x, y and z segments).\n",
       ""},
      {{"m.msh", "short.mod", "dc.dat", "out.dat"},
       "\nError: inconsistent dimension in short.mod\n",
       "short.mod:1: 4 x 3 x 2 cells, the mesh has " + mesh_counts + "\n"},
      {{"--ip", "nan.mod", "m.msh", "u.mod", "dc.dat", "out.dat"},
       "\nError: the chargeability of cell (1, 1, 1) is not a finite number: nan\nnan.mod\n",
       ""},
      {{"--z", "m.msh", "u.mod", "dc.dat", "out.dat"},
       "\nError: --z applies to 2-D survey files; dc.dat is a 3-D survey file, which gives every "
       "electrode its z.\n",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " " + c.arguments[1]);
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(std::filesystem::exists(folder.file("out.dat")));
  }
}

}  // namespace
}  // namespace quelby
