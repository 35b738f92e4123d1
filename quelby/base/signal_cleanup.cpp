#include "quelby/base/signal_cleanup.hpp"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

namespace quelby {
namespace {

constexpr std::array<int, 3> ending_signals = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t slot_count = 64;

// Read by the handler, so lock-free atomics only: a null slot is free.
std::array<std::atomic<const char*>, slot_count> held{};

// Guards the count of held names and the installing and restoring of the actions.
std::mutex actions_mutex;
std::size_t holders = 0;
std::array<bool, ending_signals.size()> installed{};

void remove_held_then_end(int signal) {
  for (std::atomic<const char*>& slot : held) {
    if (const char* const path = slot.load()) ::unlink(path);
  }
  // SA_RESETHAND gave the signal its default action back; it is blocked while this handler runs
  // and ends the process as soon as the handler returns.
  ::raise(signal);
}

void install_where_default() {
  for (std::size_t s = 0; s < ending_signals.size(); ++s) {
    struct sigaction current {};
    if (::sigaction(ending_signals[s], nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = remove_held_then_end;
    action.sa_flags = SA_RESETHAND;
    // The other ending signals wait while the files are removed.
    ::sigemptyset(&action.sa_mask);
    for (const int other : ending_signals) ::sigaddset(&action.sa_mask, other);
    installed[s] = ::sigaction(ending_signals[s], &action, nullptr) == 0;
  }
}

void restore_installed() {
  for (std::size_t s = 0; s < ending_signals.size(); ++s) {
    if (!installed[s]) continue;
    installed[s] = false;
    struct sigaction current {};
    if (::sigaction(ending_signals[s], nullptr, &current) != 0) continue;
    // An action the program set meanwhile is its own to keep.
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != remove_held_then_end)
      continue;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(ending_signals[s], &action, nullptr);
  }
}

}  // namespace

RemoveOnSignal::RemoveOnSignal(const char* path) noexcept {
  const std::lock_guard<std::mutex> lock(actions_mutex);
  for (std::size_t s = 0; s < slot_count; ++s) {
    const char* expected = nullptr;
    if (held[s].compare_exchange_strong(expected, path)) {
      slot_ = static_cast<int>(s);
      break;
    }
  }
  if (slot_ < 0) return;
  if (holders++ == 0) install_where_default();
}

RemoveOnSignal::~RemoveOnSignal() {
  if (slot_ < 0) return;
  const std::lock_guard<std::mutex> lock(actions_mutex);
  held[static_cast<std::size_t>(slot_)].store(nullptr);
  if (--holders == 0) restore_installed();
}

}  // namespace quelby
