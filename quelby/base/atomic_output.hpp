// A file written beside its final name and put into place only when complete, so that a failure
// leaves no partial file and an existing file untouched. Used by every writer of a result file
// (models, iteration histories). On Linux the file has no name until it is complete (O_TMPFILE),
// so that nothing is left behind even by a process that is killed; elsewhere, or on a file system
// without unnamed files, it has a hidden temporary name that SIGINT, SIGTERM and SIGHUP remove.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "quelby/base/io.hpp"

namespace quelby {

class RemoveOnSignal;

// A symbolic link keeps pointing where it did: the file it names is replaced, or created when it
// does not exist yet (as the shell's redirection does). A replaced file keeps its permissions. An
// existing device or pipe (such as /dev/stdout) is written directly: replacing it would be wrong,
// and it holds no file to keep. Destroying an uncommitted output leaves no file of it.
class AtomicOutput {
 public:
  // Where the file is held until commit: without a name where the system allows it, or under a
  // hidden temporary name (".quelby-<pid>-<n>.tmp" beside the final name) in any case.
  enum class Temporary { unnamed_where_possible, named };

  explicit AtomicOutput(std::string path, Temporary temporary = Temporary::unnamed_where_possible);
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  // Each returns 0 or the errno of the failure.
  int create();
  int write(const char* data, std::size_t size);
  // True when the output is a temporary regular file, which write_at may fill in any order.
  bool allows_write_at() const noexcept { return descriptor_ >= 0 && !direct_; }
  // Writes `size` bytes at byte `offset` of the file (pwrite); safe from several threads at once
  // for ranges that do not overlap. Only when allows_write_at().
  int write_at(const char* data, std::size_t size, std::int64_t offset) const;
  // Closes the file and puts it in place of its final name, in one step (a rename).
  int commit();

  // True while the file being written has no name (for tests: which way create() went).
  bool unnamed() const noexcept { return unnamed_; }

 private:
  int create_unnamed(const std::string& folder);
  int create_named(const std::string& folder);
  int commit_unnamed();
  // Links the unnamed file under a fresh hidden name in the folder; 0 or the errno.
  int link_under_temporary_name();

  std::string path_;
  Temporary temporary_kind_;
  std::string target_;     // the file that gets replaced: path_, or where its link points
  std::string folder_;     // the target's folder, "" for the current one, else ending in '/'
  std::string temporary_;  // the hidden name while there is one
  std::unique_ptr<RemoveOnSignal> remove_on_signal_;
  int descriptor_ = -1;
  bool direct_ = false;   // an existing device or pipe, written in place
  bool unnamed_ = false;  // an O_TMPFILE file, linked into place by commit
  bool keep_mode_ = false;
  mode_t mode_ = 0;
};

// Writes `text` as the whole file `name` (trailing blanks ignored) through an AtomicOutput; a
// failure is write_failed with `what` ("mesh file", "data file", ...).
void write_whole_file(const Io& io, std::string_view name, std::string_view what,
                      std::string_view text);

}  // namespace quelby
