// Reading a field data file of any import format: the format given, or told from the file's
// content. Detection looks at the first lines for each format's signature, reads the file with
// every format whose signature fits (quietly) and keeps the first that reads it whole; a file no
// format reads stops with what each format recognised in it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Reads `name` as `format`, or, without one, as the format detected. `spacing` (m) places the
// numbered electrodes of a protocol file. The survey's notes start with the format and how it was
// chosen. Every failure writes its message (console, then run log) and throws Stop; an unknown
// format's message lists, per format, why the file is not one:
//
//   Error: the format of NAME is not recognised:
//     unified: line 1: expected the number of electrodes, found 'El-array'
//     ...
//   Give --format with one of unified, dat2d, syscal, terrameter, protocol.
FieldSurvey read_field_file(const Io& io, std::string_view name, std::optional<FieldFormat> format,
                            double spacing = 1);

// The same for a file in memory; `columns` names the values of a protocol file (see
// read_protocol_file).
FieldSurvey read_field_file(const Io& io, const FieldSource& source,
                            std::optional<FieldFormat> format, double spacing = 1,
                            const std::vector<std::string>& columns = {});

// Reads `name` as `format` (no detection).
FieldSurvey read_field_file_as(const Io& io, std::string_view name, FieldFormat format,
                               double spacing = 1);
FieldSurvey read_field_file_as(const Io& io, const FieldSource& source, FieldFormat format,
                               double spacing = 1, const std::vector<std::string>& columns = {});

}  // namespace quelby
