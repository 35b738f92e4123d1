// A file written under a temporary name beside its final name and renamed into place only when
// complete, so that a failure leaves no partial file and an existing file untouched. Used by every
// writer of a result file (models, iteration histories).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace quelby {

// A symbolic link keeps pointing where it did (the file it names is replaced) and a replaced file
// keeps its permissions. An existing device or pipe (such as /dev/stdout) is written directly:
// replacing it would be wrong, and it holds no file to keep. Destroying an uncommitted output
// removes its temporary file.
class AtomicOutput {
 public:
  explicit AtomicOutput(std::string path) : path_(std::move(path)) {}
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  // Each returns 0 or the errno of the failure.
  int create();
  int write(const char* data, std::size_t size);
  // True when the output is a temporary regular file, which write_at may fill in any order.
  bool allows_write_at() const noexcept { return descriptor_ >= 0 && !temporary_.empty(); }
  // Writes `size` bytes at byte `offset` of the file (pwrite); safe from several threads at once
  // for ranges that do not overlap. Only when allows_write_at().
  int write_at(const char* data, std::size_t size, std::int64_t offset) const;
  // Closes the file and renames it over its final name.
  int commit();

 private:
  std::string path_;
  std::string target_;  // the file that gets replaced: path_, or where its link points
  std::string temporary_;
  int descriptor_ = -1;
  bool keep_mode_ = false;
  mode_t mode_ = 0;
};

}  // namespace quelby
