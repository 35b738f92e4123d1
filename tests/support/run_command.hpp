// Runs a built program as a process, the way a user's shell would: in a given folder, standard
// input from /dev/null, standard output and error captured whole.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_folder.hpp"

extern char** environ;

namespace quelby::testing {

struct RunResult {
  int status = -1;  // the exit status; 128 + the signal for a process that died of one
  std::string out;
  std::string err;
};

// Runs `program` with `arguments` (program name excluded) in `folder`. The two streams go through
// the files `out_path` and `err_path`, which are removed afterwards. A failure to start the
// program, or its death by a signal, is a test failure.
inline RunResult run_command(const std::string& program, const std::filesystem::path& folder,
                             const std::vector<std::string>& arguments, const std::string& out_path,
                             const std::string& err_path) {
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  RunResult result;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << program;
    return result;
  }
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  if (WIFEXITED(wait_status)) {
    result.status = WEXITSTATUS(wait_status);
  } else {
    ADD_FAILURE() << program << " died of signal " << WTERMSIG(wait_status);
    result.status = 128 + WTERMSIG(wait_status);
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  std::error_code ignored;
  std::filesystem::remove(out_path, ignored);
  std::filesystem::remove(err_path, ignored);
  return result;
}

}  // namespace quelby::testing
