#include "quelby/fielddata/field_readings.hpp"

#include <cmath>

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
    case FieldFormat::syscal_binary:
      return "syscal-binary";
    case FieldFormat::sting:
      return "sting";
    case FieldFormat::lund:
      return "lund";
    case FieldFormat::lippmann:
      return "lippmann";
    case FieldFormat::ares:
      return "ares";
    case FieldFormat::das1:
      return "das1";
    case FieldFormat::electra:
      return "electra";
    case FieldFormat::prime:
      return "prime";
    case FieldFormat::ohmpi:
      return "ohmpi";
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
    case FieldFormat::syscal_binary:
      return "a Syscal Pro binary file (.bin, .binx)";
    case FieldFormat::sting:
      return "a SuperSting file (.stg)";
    case FieldFormat::lund:
      return "an ABEM Lund file (.ohm)";
    case FieldFormat::lippmann:
      return "a Lippmann file (.tx0)";
    case FieldFormat::ares:
      return "an ARES II file (.2dm)";
    case FieldFormat::das1:
      return "a DAS-1 file (.data)";
    case FieldFormat::electra:
      return "an Electra file (.ele)";
    case FieldFormat::prime:
      return "a BGS PRIME file (.dat, .tab)";
    case FieldFormat::ohmpi:
      return "an OhmPi file (.csv)";
  }
  return "";
}

std::optional<FieldFormat> format_from_name(std::string_view name) {
  for (const FieldFormat format : all_field_formats) {
    if (format_name(format) == name) return format;
  }
  return std::nullopt;
}

bool clear_zero_chargeabilities(FieldSurvey& survey, std::string_view note) {
  for (const FieldReading& reading : survey.readings) {
    if (std::isfinite(reading.chargeability) && reading.chargeability != 0) return false;
  }
  for (FieldReading& reading : survey.readings) reading.chargeability = not_given;
  survey.chargeability_unit = ChargeabilityUnit::none;
  survey.chargeability_unit_text.clear();
  survey.chargeability_unit_stated = true;
  survey.notes.emplace_back(note);
  return true;
}

}  // namespace quelby
