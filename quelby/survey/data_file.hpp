// Reading a survey data file into SurveyData: the layout is chosen by the first line (the
// "COMMON_CURRENT" header or free text), the layout reader fills the store, and the driver
// writes the run-log summary and builds idat_idx. Every failure writes its message and throws
// Stop; the store is then incomplete.
//
// Choices where the file leaves values open, the same in both layouts and both passes:
// - every line read starts its items from zero, so a null value or an early slash on a data,
//   current, count or IPTYPE line leaves 0 in the items it skips; a standard deviation left out
//   that way on the first datum counts as present (the read of six values succeeds), and its 0
//   then gives the standard-deviation message;
// - a tab counts as a blank where the record rules speak of blank lines and trailing blanks;
// - a position (x or z of an electrode) that is not a finite number is a read error of its line.
#pragma once

#include <string_view>

#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// Reads `file_name` (trailing blanks ignored) into `data`, replacing what it held.
// `locations_only`: positions only (dobs and dstd stay empty). `use_z`: z positions after every x
// (common-current layout only). `dc_data`: DC data (IP type 0), else IP data (types 1 and 2).
// General layout O(ndat log ndat), common-current layout O(ndat); the file is streamed twice (its
// line ends counted, then its lines read).
void read_data_file(const Io& io, std::string_view file_name, bool locations_only, bool use_z,
                    bool dc_data, SurveyData& data);

// The general layout: one walk over `file` (open at its first line) that stops as the two passes
// of the layout would, then the data are ordered exactly as the two exchange passes by A and by B
// leave them, grouped into pairs and stored.
void read_general_data(const Io& io, InputFile& file, std::string_view file_name,
                       bool locations_only, bool dc_data, SurveyData& data);

// The common-current layout: one walk over `file` (open at its first line) that stops as the two
// passes of the layout would, the data stored in file order. Reads data.use_z.
void read_common_current_data(const Io& io, InputFile& file, std::string_view file_name,
                              bool locations_only, bool dc_data, SurveyData& data);

}  // namespace quelby
