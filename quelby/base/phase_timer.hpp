// Where one run of the command spends its time: the run is cut into phases at a few marks, and
// the time between two marks goes to the phase the first one named. Off unless the command's
// --phases option names a file; then, at exit, one line per phase
// ("phase <name> <seconds>") and the wall-clock stamps of the start and of the last mark
// ("stamp main <seconds since the epoch>", "stamp exit ...") are appended to that file, so that a
// script can add the time before main and after the last mark from its own clock. When off, a
// mark costs one test of a flag.
#pragma once

#include <cstdint>
#include <string_view>

namespace quelby {

enum class Phase : std::uint8_t {
  startup,   // from main to the first mark: arguments, run log
  mesh,      // load_mesh
  allocate,  // the two models
  read,      // read_model
  ln,        // logarithms
  passes,    // the smoothing passes
  exp,       // exponentials
  format,    // formatting the output text
  write,     // the write system calls
  rename,    // closing and renaming the output
  teardown,  // from the end of the run to the last exit handler: releasing memory, threads
  count
};

namespace phase_detail {
extern bool enabled;
void mark(Phase phase) noexcept;
}  // namespace phase_detail

// Takes the start stamps (two clock reads); call first thing in main. Starts the startup phase.
void start_phase_timer() noexcept;

// Turns the timer on: the report is appended to `path` at exit. False (and still off) for an
// empty or over-long path, or when it is already on.
bool report_phases_to(std::string_view path) noexcept;

// Ends the current phase and starts `phase`.
inline void phase_mark(Phase phase) noexcept {
  if (phase_detail::enabled) phase_detail::mark(phase);
}

// True when the phases are being timed (for work that splits its own time between phases).
inline bool phase_timing() noexcept {
  return phase_detail::enabled;
}

// Ends the current phase as phase_mark does, but gives the share `second_share` (0 to 1) of its
// time to `second` instead: for threads that interleave two kinds of work.
void phase_mark_split(Phase next, Phase second, double second_share) noexcept;

}  // namespace quelby
