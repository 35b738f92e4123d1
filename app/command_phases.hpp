// The phases of one run of the command, as its --phases report lists them. The command marks its
// own (start-up, the mesh, the logarithms, the passes, the exponentials, the teardown); the model
// reader and writer mark the phases of their own work under the names listed here with them.
#pragma once

#include <array>
#include <string_view>

namespace quelby::command_phase {

inline constexpr std::string_view startup = "startup";    // from main: arguments, run log
inline constexpr std::string_view mesh = "mesh";          // load_mesh and the fixed cells
inline constexpr std::string_view allocate = "allocate";  // the two models (and read_model's pages)
inline constexpr std::string_view read = "read";          // read_model
inline constexpr std::string_view ln = "ln";              // logarithms
inline constexpr std::string_view passes = "passes";      // the smoothing passes
inline constexpr std::string_view exp = "exp";            // exponentials
// from the end of the run to the last exit handler: releasing memory, threads
inline constexpr std::string_view teardown = "teardown";

// The report's order; "format", "write" and "rename" are write_model's.
inline constexpr std::array<std::string_view, 11> report_order = {
    startup, mesh, allocate, read, ln, passes, exp, "format", "write", "rename", teardown};

}  // namespace quelby::command_phase
