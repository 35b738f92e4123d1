#include "quelby/inversion/output_folder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

// True for "<prefix><digits>.mod".
bool is_numbered(const std::string& name, std::string_view prefix) {
  constexpr std::string_view suffix = ".mod";
  if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return false;
  }
  const std::string_view digits =
      std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  return digits.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

OutputFolder::~OutputFolder() {
  if (descriptor_ >= 0) ::close(descriptor_);  // closing the descriptor releases the lock
}

OutputFolder::OutputFolder(OutputFolder&& other) noexcept
    : path_(std::move(other.path_)), descriptor_(std::exchange(other.descriptor_, -1)) {}

OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    path_ = std::move(other.path_);
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

void make_output_folder(const Io& io, const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error || !std::filesystem::is_directory(folder)) {
    stop_with(io, Order::console_then_log,
              "\nError: cannot create the output folder " + folder + ": " +
                  (error ? error.message() : std::string("a file of that name exists")) + "\n");
  }
}

OutputFolder hold_output_folder(const Io& io, const std::string& folder) {
  make_output_folder(io, folder);
  const std::string lock_name = (std::filesystem::path(folder) / output_lock_name).string();
  OutputFolder held;
  held.path_ = folder;
  held.descriptor_ = ::open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (held.descriptor_ < 0) {
    stop_with(io, Order::console_then_log,
              "\nError: cannot write in the output folder " + folder + ": " + std::strerror(errno) +
                  "\n");
  }
  int locked = -1;
  do {
    locked = ::flock(held.descriptor_, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    if (errno == EWOULDBLOCK) {
      stop_with(io, Order::console_then_log,
                "\nError: the output folder " + folder +
                    " is in use by another run: wait for it to end, or choose another folder.\n",
                exit_failure, lock_name + ": held by another run");
    }
    // A file system without locks: the run goes on unguarded.
  }
  return held;
}

void remove_numbered_models(const Io& io, const OutputFolder& folder, bool dc, bool ip) {
  std::error_code error;
  std::vector<std::filesystem::path> stale;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path(), error)) {
    const std::string name = entry.path().filename().string();
    if ((dc && is_numbered(name, "model_")) || (ip && is_numbered(name, "eta_"))) {
      stale.push_back(entry.path());
    }
  }
  for (const std::filesystem::path& path : stale) {
    if (std::filesystem::remove(path, error) || !error) continue;
    stop_with(io, Order::console_then_log,
              "\nError: cannot remove " + path.string() +
                  ", a model of an earlier run: " + error.message() + "\n");
  }
}

}  // namespace quelby
