// The output folder of an inversion: made when missing, held by one run at a time, and cleared of
// the numbered models an earlier run left there. A run holds the folder through an exclusive
// flock on the lock file .quelby-invert.lock in it: a second run, in this process or another,
// refuses the folder while the first holds it, and the system lets go of the lock however a run
// ends (even killed), so that no run leaves the folder stuck.
#pragma once

#include <string>

#include "quelby/base/io.hpp"

namespace quelby {

inline constexpr const char* output_lock_name = ".quelby-invert.lock";

// The hold of one run on its output folder; released when destroyed. Move-only.
class OutputFolder {
 public:
  OutputFolder() = default;
  ~OutputFolder();
  OutputFolder(OutputFolder&& other) noexcept;
  OutputFolder& operator=(OutputFolder&& other) noexcept;
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::string& path() const noexcept { return path_; }
  bool held() const noexcept { return descriptor_ >= 0; }

 private:
  friend OutputFolder hold_output_folder(const Io& io, const std::string& folder);
  std::string path_;
  int descriptor_ = -1;
};

// Makes `folder` (and its parents) when missing. One that cannot be made, or a file of that name,
// writes "Error: cannot create the output folder <folder>: <reason>" (console, then run log) and
// throws Stop.
void make_output_folder(const Io& io, const std::string& folder);

// Makes `folder` when missing and takes its lock. A folder that cannot be made, a lock file that
// cannot be made in it, or a folder another run holds, writes its message (console, then run log;
// "Error: the output folder <folder> is in use by another run ...") and throws Stop.
OutputFolder hold_output_folder(const Io& io, const std::string& folder);

// Removes from the folder the numbered models of an earlier run ("model_<K>.mod" with `dc`,
// "eta_<K>.mod" with `ip`; K one or more digits), which a run with fewer iterations would
// otherwise leave beside its own. Other files are left alone. A file that cannot be removed writes
// its message and throws Stop.
void remove_numbered_models(const Io& io, const OutputFolder& folder, bool dc, bool ip);

}  // namespace quelby
