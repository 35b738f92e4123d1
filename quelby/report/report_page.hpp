// The frame of a report page: the HTML document around its body, with its own style sheet and a
// short script of its own (hover box for the pictures' <title>s, zoom and pan of the sections,
// a ready marker and an error marker on <body> for headless checks). Nothing is fetched: the page
// opens from any folder without a network.
#pragma once

#include <string>
#include <string_view>

namespace quelby {

// The whole page: doctype, head with `title`, style and script, and `body` (HTML already escaped).
std::string report_page(std::string_view title, std::string_view body);

}  // namespace quelby
