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

constexpr std::array<const char*, static_cast<std::size_t>(Phase::count)> phase_names = {
    "startup", "mesh",   "allocate", "read",   "ln",      "passes",
    "exp",     "format", "write",    "rename", "teardown"};

std::array<double, static_cast<std::size_t>(Phase::count)> seconds{};
Phase current = Phase::startup;
double main_stamp = 0;
double last_stamp = 0;
// Where the report goes: a fixed buffer, so that the exit handler needs no object still alive.
char report_path[4096] = {};

double now(clockid_t clock) noexcept {
  timespec time{};
  ::clock_gettime(clock, &time);
  return static_cast<double>(time.tv_sec) + 1e-9 * static_cast<double>(time.tv_nsec);
}

// Monotonic time for the phases; the wall clock only for the two stamps a script compares with.
double monotonic_last = 0;

void report() noexcept {
  mark(Phase::teardown);
  last_stamp = now(CLOCK_REALTIME);
  char text[1024];
  std::size_t length = 0;
  const auto append = [&](const char* format, const char* name, double value) {
    const int written = std::snprintf(text + length, sizeof text - length, format, name, value);
    if (written > 0) length += static_cast<std::size_t>(written);
    if (length > sizeof text) length = sizeof text;
  };
  append("stamp %s %.6f\n", "main", main_stamp);
  for (std::size_t p = 0; p < seconds.size(); ++p)
    append("phase %s %.6f\n", phase_names[p], seconds[p]);
  append("stamp %s %.6f\n", "exit", last_stamp);
  const int descriptor = ::open(report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (descriptor < 0) return;
  [[maybe_unused]] const ssize_t ignored = ::write(descriptor, text, length);
  ::close(descriptor);
}

}  // namespace

void mark(Phase phase) noexcept {
  const double time = now(CLOCK_MONOTONIC);
  seconds[static_cast<std::size_t>(current)] += time - monotonic_last;
  monotonic_last = time;
  current = phase;
}

}  // namespace phase_detail

void phase_mark_split(Phase next, Phase second, double second_share) noexcept {
  using namespace phase_detail;
  if (!enabled) return;
  const double time = now(CLOCK_MONOTONIC);
  const double elapsed = time - monotonic_last;
  const double moved = elapsed * (second_share < 0 ? 0 : second_share > 1 ? 1 : second_share);
  seconds[static_cast<std::size_t>(current)] += elapsed - moved;
  seconds[static_cast<std::size_t>(second)] += moved;
  monotonic_last = time;
  current = next;
}

void start_phase_timer() noexcept {
  using namespace phase_detail;
  main_stamp = now(CLOCK_REALTIME);
  monotonic_last = now(CLOCK_MONOTONIC);
  current = Phase::startup;
}

bool report_phases_to(std::string_view path) noexcept {
  using namespace phase_detail;
  if (enabled || path.empty() || path.size() >= sizeof report_path) return false;
  std::memcpy(report_path, path.data(), path.size());
  report_path[path.size()] = '\0';
  enabled = true;
  // Registered before anything of the run, so it runs after every exit handler and static
  // destructor registered later.
  std::atexit([] { report(); });
  return true;
}

}  // namespace quelby
