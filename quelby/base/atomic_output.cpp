#include "quelby/base/atomic_output.hpp"

#include "quelby/base/stops.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/signal_cleanup.hpp"

namespace quelby {

namespace {

// Links followed before giving up, as the system's own path resolution does.
constexpr int max_link_hops = 40;

// The folder part of `path`: "" for a bare name, else everything up to its last '/'.
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The text of the symbolic link `path`, or the errno of the failure.
int read_link(const std::string& path, std::string& text) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return errno;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      text.assign(buffer.data(), static_cast<std::size_t>(length));
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Where the chain of symbolic links starting at `path` ends: the first name that is no link (or
// does not exist), each link's text taken relative to the link's own folder.
int end_of_links(const std::string& path, std::string& end) {
  std::string current = path;
  for (int hop = 0; hop <= max_link_hops; ++hop) {
    struct stat entry {};
    if (::lstat(current.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) {
      end = std::move(current);
      return 0;
    }
    std::string text;
    if (const int error = read_link(current, text)) return error;
    current = text.starts_with('/') ? std::move(text) : folder_of(current) + text;
  }
  return ELOOP;
}

// A fresh hidden name in `folder` (which is "" or ends in '/').
std::string hidden_name(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  return folder + ".quelby-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + ".tmp";
}

// Gives the open file `descriptor`, which has no name, the name `name`.
int link_descriptor(int descriptor, const std::string& name) {
  const std::string own = "/proc/self/fd/" + std::to_string(descriptor);
  if (::linkat(AT_FDCWD, own.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  const int error = errno;
  // Without /proc, a process allowed to may link the descriptor itself.
  if (error == ENOENT && ::linkat(descriptor, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
    return 0;
  }
  return error;
}

}  // namespace

AtomicOutput::AtomicOutput(std::string path, Temporary temporary)
    : path_(std::move(path)), temporary_kind_(temporary) {}

AtomicOutput::~AtomicOutput() {
  if (descriptor_ >= 0) ::close(descriptor_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

int AtomicOutput::create() {
  struct stat existing {};
  if (::stat(path_.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
      descriptor_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (descriptor_ < 0) return errno;
      direct_ = true;
      return 0;
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
  } else if (errno == ENOENT || errno == ELOOP) {
    // A link to nothing yet: the file is made where it points (a loop of links is refused).
    if (const int error = end_of_links(path_, target_)) return error;
  }
  if (target_.empty()) target_ = path_;
  folder_ = folder_of(target_);
  if (temporary_kind_ == Temporary::unnamed_where_possible) {
    const int error = create_unnamed(folder_);
    // These say that the kernel or the file system has no unnamed files.
    if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL) return error;
  }
  return create_named(folder_);
}

int AtomicOutput::create_unnamed(const std::string& folder) {
#if defined(O_TMPFILE)
  const int descriptor =
      ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (descriptor < 0) return errno;
  // The file is linked into place through /proc/self/fd; without it, take a named file.
  struct stat own {};
  if (::lstat(("/proc/self/fd/" + std::to_string(descriptor)).c_str(), &own) != 0) {
    ::close(descriptor);
    return EOPNOTSUPP;
  }
  descriptor_ = descriptor;
  unnamed_ = true;
  if (keep_mode_ && ::fchmod(descriptor_, mode_) != 0) return errno;
  return 0;
#else
  (void)folder;
  return EOPNOTSUPP;
#endif
}

int AtomicOutput::create_named(const std::string& folder) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Held for removal before it exists, so that no signal finds it unheld; the name carries the
    // process id, so it is no other process's file.
    temporary_ = hidden_name(folder);
    remove_on_signal_ = std::make_unique<RemoveOnSignal>(temporary_.c_str());
    const int descriptor =
        ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
      descriptor_ = descriptor;
      if (keep_mode_ && ::fchmod(descriptor_, mode_) != 0) return errno;
      return 0;
    }
    const int error = errno;
    remove_on_signal_.reset();
    temporary_.clear();
    if (error != EEXIST) return error;
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

int AtomicOutput::link_under_temporary_name() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary_ = hidden_name(folder_);
    remove_on_signal_ = std::make_unique<RemoveOnSignal>(temporary_.c_str());
    const int error = link_descriptor(descriptor_, temporary_);
    if (error == 0) return 0;
    remove_on_signal_.reset();
    temporary_.clear();
    if (error != EEXIST) return error;
  }
  return EEXIST;
}

int AtomicOutput::commit_unnamed() {
  // A final name that does not exist yet is given to the file at once. An existing one is
  // replaced in one step by renaming a hidden name over it; a signal in between removes that name.
  struct stat existing {};
  bool placed = false;
  if (::lstat(target_.c_str(), &existing) != 0 && errno == ENOENT) {
    const int error = link_descriptor(descriptor_, target_);
    if (error != 0 && error != EEXIST) return error;
    placed = error == 0;
  }
  if (!placed) {
    if (const int error = link_under_temporary_name()) return error;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return errno;
    remove_on_signal_.reset();
    temporary_.clear();
  }
  // Every byte was handed to the kernel by write; a local file system reports nothing more here.
  const int descriptor = std::exchange(descriptor_, -1);
  unnamed_ = false;
  return ::close(descriptor) == 0 ? 0 : errno;
}

int AtomicOutput::commit() {
  if (unnamed_) return commit_unnamed();
  const int descriptor = std::exchange(descriptor_, -1);
  if (::close(descriptor) != 0) return errno;
  if (direct_) return 0;
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return errno;
  remove_on_signal_.reset();
  temporary_.clear();
  return 0;
}

void write_whole_file(const Io& io, std::string_view name, std::string_view what,
                      std::string_view text) {
  const std::string file_name(trim_trailing_blanks(name));
  AtomicOutput output(file_name);
  if (const int error = output.create()) write_failed(io, what, file_name, error);
  if (const int error = output.write(text.data(), text.size()))
    write_failed(io, what, file_name, error);
  if (const int error = output.commit()) write_failed(io, what, file_name, error);
}

}  // namespace quelby
