// The electrode positions of a survey data file of either layout and of either kind of data, for
// the commands that model a survey: a file of DC data and a file of IP data (IPTYPE lines of 1 or
// 2) are both taken, so that the positions of any survey can be modelled.
#pragma once

#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// read_data_file with locations_only: as DC data, or as IP data when the file's IP types are those
// of IP data. The messages are those of the reading that decides (the DC reading unless it stopped
// at an IP type), written once. A file of IP data, or one that stops, is read twice.
void read_survey_positions(const Io& io, std::string_view name, bool use_z, SurveyData& survey);

}  // namespace quelby
