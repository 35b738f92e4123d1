// The electrodes of a 3-D survey data file of either kind of data, for the commands that model a
// survey or mesh it (quelby-forward, quelby-mesh): a file of DC data and a file of IP data (IPTYPE
// lines of 1 or 2) are both taken, as the 2-D commands take both.
#pragma once

#include <ostream>
#include <sstream>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/survey3d.hpp"
#include "quelby/survey/survey3d_file.hpp"

namespace quelby {

// read_survey3d with locations_only: as DC data, or as IP data when the DC reading stopped at an
// IP type. The messages are those of the reading that decides, written once.
inline void read_survey3d_positions(const Io& io, std::string_view name, Survey3D& survey) {
  // The DC reading first, its messages held back: a failed one is read again to show them.
  std::ostream nowhere(nullptr);
  std::ostringstream held_log;
  const Io quiet{nowhere, nowhere, held_log};
  bool ip_data = false;
  try {
    read_survey3d(quiet, name, true, survey, true);
    io.log << held_log.str();
    return;
  } catch (const Stop& stop) {
    // The reader's message for an IP type other than 0 in DC data.
    ip_data =
        std::string_view(stop.what()).starts_with("\nError: for DC data, IPTYPE should be 0.");
  }
  read_survey3d(io, name, true, survey, !ip_data);
}

}  // namespace quelby
