// Fuzzes the import of field data files: every reader of the import formats (the unified format,
// the 2-D .dat format with array codes, Syscal Pro and Terrameter LS exports, protocol.dat, and the
// instrument formats' readers on the file read once), electrode tables, the format detection, and
// the import behind them (remote electrodes, filters, duplicates, reciprocal pairing and error
// models). The first byte chooses the reader or detection (low three bits) and the import's options
// (the others); the rest is the file. A Stop after its message is an expected end; anything else
// that escapes, or a crash, is a finding. After a successful import every datum and deviation must
// be a finite number (deviations positive) and the counts must add up. Geometric factors are the
// flat ones: the numeric factors run the forward model, fuzzed on its own.
#include <cmath>
#include <cstdint>
#include <numeric>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/ares_format.hpp"
#include "quelby/fielddata/das1_format.hpp"
#include "quelby/fielddata/dat2d_format.hpp"
#include "quelby/fielddata/electra_format.hpp"
#include "quelby/fielddata/electrode_table.hpp"
#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "quelby/fielddata/instrument_formats.hpp"
#include "quelby/fielddata/lippmann_format.hpp"
#include "quelby/fielddata/lund_format.hpp"
#include "quelby/fielddata/ohmpi_format.hpp"
#include "quelby/fielddata/prime_format.hpp"
#include "quelby/fielddata/sting_format.hpp"
#include "quelby/fielddata/syscal_binary_format.hpp"
#include "quelby/fielddata/unified_format.hpp"

namespace {

using fuzz_support::fail;

void check_message(const std::string& console, const quelby::Stop& stop, const std::string& path) {
  if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
  fuzz_support::check_detail(stop.detail(), path);
  if (console.size() < 2 || console.back() != '\n') fail("a stop without its message", console);
  if (console.front() != '\n' && !console.starts_with(" ERROR")) {
    fail("a message without its empty line", console);
  }
}

void check_readings(const quelby::FieldSurvey& survey) {
  std::size_t last = 0;
  for (const quelby::FieldReading& reading : survey.readings) {
    if (reading.line <= last) fail("readings out of line order");
    last = reading.line;
    for (const quelby::FieldElectrode& electrode : reading.electrodes) {
      if (electrode.present && std::isnan(electrode.x)) fail("an electrode without a position");
    }
  }
}

void check_store(const quelby::SurveyData& data, bool stds) {
  if (data.ndat < 1) fail("an import without data returned");
  for (std::size_t i = 0; i < data.dobs.size(); ++i) {
    if (!std::isfinite(data.dobs[i])) fail("a datum that is not finite");
    if (stds && !(data.dstd[i] > 0 && std::isfinite(data.dstd[i]))) {
      fail("a standard deviation that is not a positive number");
    }
  }
  for (const double x : data.xm) {
    if (!std::isfinite(x)) fail("a position that is not finite");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  const std::string path = fuzz_support::scratch_file(
      "input.txt", std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  std::ostringstream console, error, log;
  const quelby::Io io{console, error, log};

  // The readers one by one, as their own callers use them.
  const int choice = flags & 7;
  try {
    quelby::FieldSurvey survey;
    switch (choice) {
      case 0:
        survey = quelby::read_unified_file(io, path);
        break;
      case 1:
        survey = quelby::read_dat2d_file(io, path);
        break;
      case 2:
        survey = quelby::read_syscal_file(io, path);
        break;
      case 3:
        survey = quelby::read_terrameter_file(io, path);
        break;
      case 4:
        survey = quelby::read_protocol_file(io, path, 2.5);
        break;
      case 5: {
        // The instrument formats' readers, the one chosen by the file's first byte, on the file
        // read once.
        const quelby::FieldSource source = quelby::read_field_source(io, path);
        switch (size > 1 ? data[1] % 10 : 0) {
          case 0:
            survey = quelby::read_syscal_binary_file(io, source);
            break;
          case 1:
            survey = quelby::read_sting_file(io, source);
            break;
          case 2:
            survey = quelby::read_lund_file(io, source);
            break;
          case 3:
            survey = quelby::read_lippmann_file(io, source);
            break;
          case 4:
            survey = quelby::read_ares_file(io, source);
            break;
          case 5:
            survey = quelby::read_das1_file(io, source);
            break;
          case 6:
            survey = quelby::read_electra_file(io, source);
            break;
          case 7:
            survey = quelby::read_prime_file(io, source);
            break;
          case 8:
            survey = quelby::read_ohmpi_file(io, source);
            break;
          default:
            survey = quelby::read_field_file_as(io, source, quelby::FieldFormat::protocol, 2.5);
            break;
        }
        break;
      }
      case 6:
        // The same bytes as an electrode table.
        (void)quelby::read_electrode_table(io, path);
        break;
      default:
        survey = quelby::read_field_file(io, path, std::nullopt);
        break;
    }
    check_readings(survey);
  } catch (const quelby::Stop& stop) {
    check_message(console.str(), stop, path);
  }

  // The whole import, detecting the format.
  quelby::ImportOptions options;
  options.geometric_factors = quelby::GeometricFactorChoice::flat;
  options.reciprocal = (flags & 8) != 0;
  options.drop_unpaired = options.reciprocal && (flags & 16) != 0;
  if ((flags & 32) != 0) options.max_reciprocal_error = 10;
  options.drop_outliers = (flags & 32) != 0;
  if ((flags & 64) != 0) {
    options.ip_range = std::make_pair(-10.0, 100.0);
    options.max_geometric_factor = 1000;
    options.error_percent = 2;
    options.error_floor = 1e-4;
    options.ip_error_floor = 0.5;
    options.max_deviation = 3;
    options.drop_electrodes = {0.0};
  }
  options.keep_negative = (flags & 128) != 0;
  std::ostringstream import_console, import_error, import_log;
  const quelby::Io import_io{import_console, import_error, import_log};
  try {
    const quelby::ImportResult result = quelby::import_field_data(import_io, path, options);
    check_store(result.data, result.data_stds);
    if (result.ip) check_store(*result.ip, result.ip_stds);
    if (result.log.empty() || import_log.str() != result.log) fail("the import log");
    std::size_t dropped = 0;
    for (const auto& [reason, count] : result.dropped) dropped += count;
    if (dropped + static_cast<std::size_t>(result.data.ndat) == 0) fail("counts do not add up");
    if (!import_error.str().empty()) fail("an import wrote to the error stream");
  } catch (const quelby::Stop& stop) {
    check_message(import_console.str(), stop, path);
  }
  return 0;
}
