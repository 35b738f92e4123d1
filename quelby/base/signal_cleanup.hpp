// Files to remove when the process is ended by SIGINT, SIGTERM or SIGHUP: while at least one name
// is held, each of these signals whose action is the default one (ending the process) first removes
// the held files, then ends the process by the same signal as before. A signal that the program
// ignores or handles itself is left alone: the process then goes on, and the holder removes its
// file in the ordinary way. The actions are restored when the last name is let go.
#pragma once

namespace quelby {

// Holds one file name for removal on those signals, from construction to destruction. `path` is
// kept by pointer and must stay valid and unchanged while held. At most 64 names are held at
// once; a further one is not held (the file is then left by such a signal, as without this).
class RemoveOnSignal {
 public:
  explicit RemoveOnSignal(const char* path) noexcept;
  ~RemoveOnSignal();
  RemoveOnSignal(const RemoveOnSignal&) = delete;
  RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

 private:
  int slot_ = -1;
};

}  // namespace quelby
