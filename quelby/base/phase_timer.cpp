#include "quelby/base/phase_timer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quelby {
namespace phase_detail {

bool enabled = false;

namespace {

// Fixed arrays, so that the exit handler needs no object still alive and a mark never allocates.
std::array<std::string_view, max_phases> names{};
std::array<double, max_phases> seconds{};
std::size_t known = 0;
std::size_t current = 0;
double main_stamp = 0;
// Monotonic time for the phases; the wall clock only for the two stamps a script compares with.
double monotonic_last = 0;
char report_path[4096] = {};

double now(clockid_t clock) noexcept {
  timespec time{};
  ::clock_gettime(clock, &time);
  return static_cast<double>(time.tv_sec) + 1e-9 * static_cast<double>(time.tv_nsec);
}

// The slot of `phase`, added when new; max_phases when the table is full.
std::size_t slot_of(std::string_view phase) noexcept {
  for (std::size_t p = 0; p < known; ++p)
    if (names[p] == phase) return p;
  if (known == max_phases) return max_phases;
  names[known] = phase;
  seconds[known] = 0;
  return known++;
}

// Ends the current phase at `time`, giving it `elapsed - moved` and the slot `second` `moved`.
void close_current(double time, std::size_t second, double share) noexcept {
  const double elapsed = time - monotonic_last;
  const double moved = second < max_phases ? elapsed * share : 0;
  if (current < max_phases) seconds[current] += elapsed - moved;
  if (second < max_phases) seconds[second] += moved;
  monotonic_last = time;
}

std::size_t format_report(std::span<char> out, double exit_stamp) noexcept {
  std::size_t length = 0;
  const auto append = [&](const char* format, std::string_view name, double value) {
    if (length >= out.size()) return;
    const int written = std::snprintf(out.data() + length, out.size() - length, format,
                                      static_cast<int>(name.size()), name.data(), value);
    if (written > 0) length += static_cast<std::size_t>(written);
    if (length > out.size()) length = out.size();
  };
  append("stamp %.*s %.6f\n", "main", main_stamp);
  for (std::size_t p = 0; p < known; ++p) append("phase %.*s %.6f\n", names[p], seconds[p]);
  append("stamp %.*s %.6f\n", "exit", exit_stamp);
  return length;
}

void report() noexcept {
  close_current(now(CLOCK_MONOTONIC), max_phases, 0);
  char text[4096];
  const std::size_t length = format_report(text, now(CLOCK_REALTIME));
  const int descriptor = ::open(report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (descriptor < 0) return;
  [[maybe_unused]] const ssize_t ignored = ::write(descriptor, text, length);
  ::close(descriptor);
}

}  // namespace

void mark(std::string_view phase) noexcept {
  close_current(now(CLOCK_MONOTONIC), max_phases, 0);
  current = slot_of(phase);
}

}  // namespace phase_detail

void phase_mark_split(std::string_view next, std::string_view second,
                      double second_share) noexcept {
  using namespace phase_detail;
  if (!enabled) return;
  const double share = second_share < 0 ? 0 : second_share > 1 ? 1 : second_share;
  const std::size_t next_slot = slot_of(next);
  close_current(now(CLOCK_MONOTONIC), slot_of(second), share);
  current = next_slot;
}

void start_phase_timer(std::string_view first) noexcept {
  using namespace phase_detail;
  main_stamp = now(CLOCK_REALTIME);
  monotonic_last = now(CLOCK_MONOTONIC);
  known = 0;
  current = slot_of(first);
}

bool report_phases_to(std::string_view path, std::span<const std::string_view> phases) noexcept {
  using namespace phase_detail;
  if (enabled || path.empty() || path.size() >= sizeof report_path) return false;
  std::memcpy(report_path, path.data(), path.size());
  report_path[path.size()] = '\0';
  // The listed phases take the first slots, in their order. Nothing has been timed yet (marks
  // are dropped while off), so only the name of the running phase is kept.
  const std::string_view running = current < known ? names[current] : std::string_view{};
  known = 0;
  for (const std::string_view phase : phases) slot_of(phase);
  current = running.empty() ? max_phases : slot_of(running);
  enabled = true;
  // Registered before anything of the run, so it runs after every exit handler and static
  // destructor registered later.
  std::atexit([] { report(); });
  return true;
}

std::size_t format_phase_report(std::span<char> out) noexcept {
  return phase_detail::format_report(out, phase_detail::now(CLOCK_REALTIME));
}

}  // namespace quelby
