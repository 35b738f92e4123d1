// The report of a finished run folder as one self-contained web page (report.html): what the run
// was (title, version, kind, outcome and its reasons), the survey (electrodes, ground, observed,
// predicted and misfit pseudosections, a 3-D survey's map and misfit against pseudo-depth), the
// import's error model, the sections (resistivity, chargeability, the depth of investigation's
// veil; a campaign's changes on one scale; a 3-D model's slices and depth maps), the convergence,
// and what reruns it. It reads the folder's files only; the same folder gives the same bytes.
#pragma once

#include <string>

#include "quelby/base/io.hpp"

namespace quelby {

inline constexpr const char* report_file_name = "report.html";

// The page of the run folder `folder`: a 2-D run (model.mod with two counts), a 3-D run (three
// counts), or a time-lapse campaign (timelapse.txt). A folder that does not exist, one that holds
// no run (no run.log), or a file the page needs that the folder lacks and the run log's paths do
// not lead to (relative to the folder's parent, then to the current folder), writes its message
// (console, then log; "Error: ...") and throws Stop (status 1). A run that stopped before its
// models still gets a page that says why.
std::string run_report_html(const Io& io, const std::string& folder);

// Writes run_report_html(folder) to `file_name` ("" for folder/report.html) through an atomic
// output (a failure leaves no partial file: "Error: cannot write the report ..." and Stop).
// Returns the name written.
std::string write_run_report(const Io& io, const std::string& folder,
                             const std::string& file_name = "");

}  // namespace quelby
