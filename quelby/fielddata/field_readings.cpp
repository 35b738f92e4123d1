#include "quelby/fielddata/field_readings.hpp"

namespace quelby {

std::string_view format_name(FieldFormat format) {
  switch (format) {
    case FieldFormat::unified:
      return "unified";
    case FieldFormat::dat2d:
      return "dat2d";
    case FieldFormat::syscal:
      return "syscal";
    case FieldFormat::terrameter:
      return "terrameter";
    case FieldFormat::protocol:
      return "protocol";
  }
  return "unified";
}

std::string_view format_title(FieldFormat format) {
  switch (format) {
    case FieldFormat::unified:
      return "the unified data format (.ohm, .dat, .shm)";
    case FieldFormat::dat2d:
      return "the 2-D .dat format with array codes (title, spacing, array code, data)";
    case FieldFormat::syscal:
      return "a Syscal Pro text or CSV export";
    case FieldFormat::terrameter:
      return "an ABEM Terrameter LS exported text";
    case FieldFormat::protocol:
      return "a four-electrode protocol file (protocol.dat)";
  }
  return "";
}

std::optional<FieldFormat> format_from_name(std::string_view name) {
  for (const FieldFormat format : all_field_formats) {
    if (format_name(format) == name) return format;
  }
  return std::nullopt;
}

}  // namespace quelby
