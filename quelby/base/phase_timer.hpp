// Where one run of a program spends its time: the run is cut into phases at a few marks, each mark
// naming the phase it starts, and the time between two marks goes to the phase the first one
// named. The timer knows no phase of its own: the program names its phases when it turns the
// timer on, and any code it calls may mark phases of its own. Off unless turned on; then, at exit,
// the wall-clock stamp of the start ("stamp main <seconds since the epoch>"), one line per phase
// ("phase <name> <seconds>") and the stamp of the end ("stamp exit ...") are appended to a file,
// so that a script can add the time before main and after the last mark from its own clock. When
// off, a mark costs one test of a flag. Marks come from one thread at a time.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace quelby {

// At most this many phases are told apart; the marks of further names are dropped.
inline constexpr std::size_t max_phases = 32;

namespace phase_detail {
extern bool enabled;
void mark(std::string_view phase) noexcept;
}  // namespace phase_detail

// Takes the start stamps (two clock reads) and starts the phase `first`; call first thing in main.
// Every phase name is kept by reference: pass names that live until the process ends (literals).
void start_phase_timer(std::string_view first) noexcept;

// Turns the timer on: the report is appended to `path` at exit, its phases in the order of
// `phases`, then any other phase in the order of its first mark. False (and still off) for an
// empty or over-long path, or when it is already on.
bool report_phases_to(std::string_view path, std::span<const std::string_view> phases) noexcept;

// Ends the current phase and starts `phase`.
inline void phase_mark(std::string_view phase) noexcept {
  if (phase_detail::enabled) phase_detail::mark(phase);
}

// True when the phases are being timed (for work that splits its own time between phases).
inline bool phase_timing() noexcept {
  return phase_detail::enabled;
}

// Ends the current phase as phase_mark does, but gives the share `second_share` (0 to 1) of its
// time to `second` instead: for threads that interleave two kinds of work.
void phase_mark_split(std::string_view next, std::string_view second, double second_share) noexcept;

// Writes the report as it would be written now, without ending the current phase, into `out`;
// returns the number of characters written (the report is cut at the end of `out`).
std::size_t format_phase_report(std::span<char> out) noexcept;

}  // namespace quelby
