#include "quelby/base/atomic_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

namespace quelby {

AtomicOutput::~AtomicOutput() {
  if (descriptor_ >= 0) ::close(descriptor_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

int AtomicOutput::create() {
  struct stat existing {};
  if (::stat(path_.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
      descriptor_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      return descriptor_ >= 0 ? 0 : errno;
    }
    if (S_ISREG(existing.st_mode)) {
      keep_mode_ = true;
      mode_ = existing.st_mode & 07777;
    }
    struct stat link {};
    if (::lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      std::unique_ptr<char, decltype(&std::free)> target(::realpath(path_.c_str(), nullptr),
                                                         &std::free);
      if (target == nullptr) return errno;
      target_ = target.get();
    }
  }
  if (target_.empty()) target_ = path_;

  static std::atomic<unsigned> counter{0};
  const std::size_t slash = target_.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = folder + ".quelby-" + std::to_string(::getpid()) + "-" +
                            std::to_string(counter.fetch_add(1)) + ".tmp";
    const int descriptor = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
      descriptor_ = descriptor;
      temporary_ = std::move(candidate);
      if (keep_mode_ && ::fchmod(descriptor_, mode_) != 0) return errno;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int AtomicOutput::write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(descriptor_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int AtomicOutput::write_at(const char* data, std::size_t size, std::int64_t offset) const {
  while (size > 0) {
    const ssize_t written = ::pwrite(descriptor_, data, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += written;
  }
  return 0;
}

int AtomicOutput::commit() {
  const int descriptor = std::exchange(descriptor_, -1);
  if (::close(descriptor) != 0) return errno;
  if (temporary_.empty()) return 0;  // written in place
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return errno;
  temporary_.clear();
  return 0;
}

}  // namespace quelby
