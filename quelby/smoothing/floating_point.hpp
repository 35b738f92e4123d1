// The command's floating-point environment: subnormal results flushed to zero, subnormal operands
// taken as zero, no exception trapping. The command sets it for its whole run; a binding that
// smooths as the command does sets it for the computation alone and then gives the caller its own
// environment back. Threads of the worker pool take the caller's environment for each run.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace quelby {

#if defined(__x86_64__) || defined(__i386__)
using FloatingPointControl = unsigned;
inline FloatingPointControl floating_point_control() noexcept {
  return _mm_getcsr();
}
inline void set_floating_point_control(FloatingPointControl control) noexcept {
  _mm_setcsr(control);
}
inline FloatingPointControl command_floating_point_control(FloatingPointControl control) noexcept {
  constexpr unsigned flush_to_zero = 0x8000;
  constexpr unsigned denormals_are_zero = 0x0040;
  constexpr unsigned all_exceptions_masked = 0x1f80;
  return control | flush_to_zero | denormals_are_zero | all_exceptions_masked;
}
#elif defined(__aarch64__)
using FloatingPointControl = unsigned long;
inline FloatingPointControl floating_point_control() noexcept {
  unsigned long control;
  asm volatile("mrs %0, fpcr" : "=r"(control));
  return control;
}
inline void set_floating_point_control(FloatingPointControl control) noexcept {
  asm volatile("msr fpcr, %0" : : "r"(control));
}
inline FloatingPointControl command_floating_point_control(FloatingPointControl control) noexcept {
  control |= 1UL << 24;       // FZ
  control &= ~(0x9fUL << 8);  // no trapped exceptions
  return control;
}
#else
using FloatingPointControl = int;
inline FloatingPointControl floating_point_control() noexcept {
  return 0;
}
inline void set_floating_point_control(FloatingPointControl) noexcept {}
inline FloatingPointControl command_floating_point_control(FloatingPointControl c) noexcept {
  return c;
}
#endif

// Sets the command's environment for the thread's lifetime (the command calls it first thing).
inline void set_command_floating_point() noexcept {
  set_floating_point_control(command_floating_point_control(floating_point_control()));
}

// The command's environment while it lives, the caller's again afterwards.
class CommandFloatingPointScope {
 public:
  CommandFloatingPointScope() noexcept : saved_(floating_point_control()) {
    set_floating_point_control(command_floating_point_control(saved_));
  }
  ~CommandFloatingPointScope() { set_floating_point_control(saved_); }
  CommandFloatingPointScope(const CommandFloatingPointScope&) = delete;
  CommandFloatingPointScope& operator=(const CommandFloatingPointScope&) = delete;

 private:
  FloatingPointControl saved_;
};

}  // namespace quelby
