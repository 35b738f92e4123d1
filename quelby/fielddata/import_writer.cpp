#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "quelby/survey/data_writer.hpp"

namespace quelby {

namespace {

std::string topography_text(const ImportResult& result) {
  std::string text = std::to_string(result.topography_x.size()) + " " +
                     shortest(result.reference_elevation) +
                     "    points, reference elevation (z = reference - elevation)\n";
  for (std::size_t p = 0; p < result.topography_x.size(); ++p) {
    text +=
        shortest(result.topography_x[p]) + " " + shortest(result.topography_elevation[p]) + "\n";
  }
  return text;
}

}  // namespace

void write_import(const Io& io, std::string_view folder, const ImportResult& result) {
  const std::filesystem::path base{std::string(trim_trailing_blanks(folder))};
  std::error_code error;
  std::filesystem::create_directories(base, error);
  if (error) {
    stop_with(
        io, Order::console_then_log,
        "\nError: cannot create the output folder " + base.string() + ": " + error.message() + "\n",
        exit_failure, line_detail(base.string(), 0, error.message()));
  }
  const auto path = [&](const char* name) { return (base / name).string(); };
  write_general_data(
      io, path("data.dat"),
      "quelby-import: DC data, signed resistance in ohms (V/A), from " + result.source, result.data,
      result.data.dobs,
      result.data_stds ? std::span<const double>(result.data.dstd) : std::span<const double>());
  if (result.ip) {
    write_general_data(
        io, path("ip.dat"),
        "quelby-import: IP data, apparent chargeability in " + result.chargeability_unit +
            ", from " + result.source,
        *result.ip, result.ip->dobs,
        result.ip_stds ? std::span<const double>(result.ip->dstd) : std::span<const double>());
  } else {
    std::filesystem::remove(path("ip.dat"), error);
  }
  if (!result.topography_x.empty()) {
    write_whole_file(io, path("topography.topo"), "topography file", topography_text(result));
  } else {
    std::filesystem::remove(path("topography.topo"), error);
  }
  write_whole_file(io, path("import.log"), "import log", result.log);
}

}  // namespace quelby
