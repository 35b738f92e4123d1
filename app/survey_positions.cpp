#include "app/survey_positions.hpp"

#include <ostream>
#include <sstream>

#include "quelby/base/stops.hpp"
#include "quelby/survey/data_file.hpp"

namespace quelby {

void read_survey_positions(const Io& io, std::string_view name, bool use_z, SurveyData& survey) {
  // The DC reading first, with its messages held back: a successful reading writes its run-log
  // lines alone, and a failed one is read again to show its messages in their order.
  std::ostream nowhere(nullptr);
  std::ostringstream held_log;
  const Io quiet{nowhere, nowhere, held_log};
  bool ip_data = false;
  try {
    read_data_file(quiet, name, true, use_z, true, survey);
    io.log << held_log.str();
    return;
  } catch (const Stop& stop) {
    // The reader's message for an IP type other than 0 in DC data.
    ip_data =
        std::string_view(stop.what()).starts_with("\nError: for DC data, IPTYPE should be 0.");
  }
  read_data_file(io, name, true, use_z, !ip_data, survey);
}

}  // namespace quelby
