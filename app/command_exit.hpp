// How a command ends: the exit status its run returns, or the status of what escaped the run: a
// Stop's own status (its message already written; its detail line on standard error when asked
// for), 1 after a failed allocation (the one out-of-memory message, on standard output as every
// out_of_memory_stop writes it) or any other exception (named on standard error).
#pragma once

#include <exception>
#include <iostream>
#include <new>

#include "quelby/base/stops.hpp"

namespace quelby {

// Runs `run` (returning the exit status). `print_details` is read when a Stop arrives, so a run
// may decide it once its arguments are known.
template <typename Run>
int exit_status_of(Run&& run, const bool& print_details) {
  try {
    return run();
  } catch (const Stop& stop) {
    std::cout << std::flush;
    if (print_details && !stop.detail().empty()) std::cerr << stop.detail() << '\n' << std::flush;
    return stop.status();
  } catch (const std::bad_alloc&) {
    std::cout << out_of_memory_text << std::flush;
    return exit_failure;
  } catch (const std::exception& error) {
    std::cerr << "Error: " << error.what() << '\n';
    return exit_failure;
  }
}

}  // namespace quelby
