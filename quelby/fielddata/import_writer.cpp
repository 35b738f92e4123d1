#include <cerrno>
#include <filesystem>
#include <fstream>
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

// True where the file `path` was written by an import: a data file whose header names
// quelby-import, or a topography file with the import's comment. A file that cannot be read is
// not ours.
bool written_by_import(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::string first, second;
  if (!std::getline(file, first)) return false;
  std::getline(file, second);
  return first.starts_with("quelby-import") || second.starts_with("! quelby-import:") ||
         first.ends_with("points, reference elevation (z = reference - elevation)");
}

// Whether `folder` is the folder that holds `file`.
bool holds(const std::filesystem::path& folder, const std::string& file) {
  if (file.empty()) return false;
  std::error_code error;
  const std::filesystem::path parent =
      std::filesystem::absolute(std::filesystem::path(file), error).parent_path();
  if (error) return false;
  return std::filesystem::equivalent(folder, parent, error) && !error;
}

}  // namespace

void write_import(const Io& io, std::string_view folder, const ImportResult& result) {
  const std::filesystem::path base{std::string(trim_trailing_blanks(folder))};
  for (const std::string& input : {result.source, result.electrode_table}) {
    if (holds(base, input)) {
      stop_with(io, Order::console_then_log,
                "\nError: the output folder " + base.string() + " holds the input " + input +
                    ": its files would be overwritten or removed; give another folder\n",
                exit_failure, line_detail(base.string(), 0, "the folder of the input " + input));
    }
  }
  std::error_code error;
  std::filesystem::create_directories(base, error);
  if (error) {
    stop_with(
        io, Order::console_then_log,
        "\nError: cannot create the output folder " + base.string() + ": " + error.message() + "\n",
        exit_failure, line_detail(base.string(), 0, error.message()));
  }
  const auto path = [&](const char* name) { return (base / name).string(); };
  // A file of the user's that an import would replace stays: the folder is refused.
  for (const char* name : {"data.dat", "ip.dat", "topography.topo", "import.log"}) {
    const std::filesystem::path existing = base / name;
    const std::string file = name;
    const bool replaced = file == "ip.dat"            ? result.ip.has_value()
                          : file == "topography.topo" ? !result.topography_x.empty()
                                                      : true;
    if (replaced && std::filesystem::exists(existing, error) && !written_by_import(existing)) {
      stop_with(io, Order::console_then_log,
                "\nError: the output folder " + base.string() + " holds " + existing.string() +
                    ", which no import wrote: it would be replaced; give another folder\n",
                exit_failure, line_detail(existing.string(), 0, "a file no import wrote"));
    }
  }
  std::string log = result.log;
  // A file of an earlier import that this one does not write would be taken for its own; any
  // other file of that name is the user's and stays.
  const auto remove_stale = [&](const char* name) {
    const std::filesystem::path stale = base / name;
    if (!std::filesystem::exists(stale, error)) return;
    if (written_by_import(stale)) {
      std::filesystem::remove(stale, error);
      log += "removed " + stale.string() + " of an earlier import\n";
    } else {
      log += "left " + stale.string() + " as it is: not written by an import\n";
    }
  };
  const auto write_data = [&](const char* name, const std::string& header, const SurveyData& data,
                              bool with_stds) {
    const std::span<const double> stds =
        with_stds ? std::span<const double>(data.dstd) : std::span<const double>();
    // Buried electrodes give the stores z positions: the common-current layout with z.
    write_data_file(io, path(name), header, data, data.dobs, stds);
  };
  write_data("data.dat",
             "quelby-import: DC data, signed resistance in ohms (V/A), from " + result.source,
             result.data, result.data_stds);
  if (result.ip) {
    write_data("ip.dat",
               "quelby-import: IP data, " +
                   std::string(result.chargeability_unit == "mrad" ? "apparent phase"
                                                                   : "apparent chargeability") +
                   " in " + result.chargeability_unit + ", from " + result.source,
               *result.ip, result.ip_stds);
  } else {
    remove_stale("ip.dat");
  }
  if (!result.topography_x.empty()) {
    write_whole_file(io, path("topography.topo"), "topography file", topography_text(result));
  } else {
    remove_stale("topography.topo");
  }
  write_whole_file(io, path("import.log"), "import log", log);
}

}  // namespace quelby
