// The atomic writer: where the file lands (a new name, an existing file, a symbolic link to a file
// or to nothing yet), that nothing but the finished file is ever left in the folder (not after a
// failure, an abandoned output, or a process ended by a signal while writing), and that the
// signal actions it borrows are given back. Each case runs with an unnamed and a named temporary.
#include "quelby/base/atomic_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempFolder;

using Kind = AtomicOutput::Temporary;
const Kind kinds[] = {Kind::unnamed_where_possible, Kind::named};
const std::string text = "the finished file\n";

std::string kind_name(Kind kind) {
  return kind == Kind::named ? "named" : "unnamed";
}

// Every entry of the folder with what it is: "name -> link text", "name/" or "name: content".
std::set<std::string> listing(const TempFolder& folder) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(folder.path())) {
    const std::string name = entry.path().lexically_relative(folder.path()).string();
    if (entry.is_symlink()) {
      entries.insert(name + " -> " + fs::read_symlink(entry.path()).string());
    } else if (entry.is_directory()) {
      entries.insert(name + "/");
    } else {
      entries.insert(name + ": " + read_file(entry.path().string()));
    }
  }
  return entries;
}

// create, write and commit; the first errno met, or 0.
int write_whole(const std::string& path, Kind kind) {
  AtomicOutput output(path, kind);
  if (const int error = output.create()) return error;
  if (const int error = output.write(text.data(), text.size())) return error;
  return output.commit();
}

// Makes the entries of a listing, in order: "name/" a folder, "name -> text" a link, else a file.
void make(const TempFolder& folder, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    const std::size_t arrow = entry.find(" -> ");
    if (entry.ends_with('/')) {
      fs::create_directory(folder.path() / entry);
    } else if (arrow != std::string::npos) {
      fs::create_symlink(entry.substr(arrow + 4), folder.path() / entry.substr(0, arrow));
    } else {
      folder.write(entry.substr(0, entry.find(':')), "old\n");
    }
  }
}

// Writing "out" over each folder: where the file lands, or the errno of a refusal.
TEST(AtomicOutput, TheFileLandsWhereTheNameLeadsAsTheShellsRedirectionPutsIt) {
  const std::string done = ": " + text;
  const struct {
    std::vector<std::string> before;
    int error;
    std::set<std::string> after;
  } cases[] = {
      {{}, 0, {"out" + done}},
      {{"out: old"}, 0, {"out" + done}},
      {{"real: old", "out -> real"}, 0, {"out -> real", "real" + done}},
      {{"out -> made"}, 0, {"out -> made", "made" + done}},
      {{"sub/", "out -> sub/made"}, 0, {"out -> sub/made", "sub/", "sub/made" + done}},
      // A chain, the second link's text relative to its own folder.
      {{"sub/", "out -> sub/next", "sub/next -> end"},
       0,
       {"out -> sub/next", "sub/", "sub/next -> end", "sub/end" + done}},
      {{"out -> absent/made"}, ENOENT, {"out -> absent/made"}},
      {{"out -> back", "back -> out"}, ELOOP, {"out -> back", "back -> out"}},
  };
  for (const Kind kind : kinds) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::PrintToString(c.before) + ", " + kind_name(kind));
      TempFolder folder;
      make(folder, c.before);
      EXPECT_EQ(write_whole(folder.file("out"), kind), c.error);
      EXPECT_EQ(listing(folder), c.after);
    }
  }
}

// True when the test folder's file system holds unnamed files (Linux O_TMPFILE).
bool unnamed_files_possible(const TempFolder& folder) {
#if defined(O_TMPFILE)
  const int descriptor = ::open(folder.path().c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (descriptor < 0) return false;
  ::close(descriptor);
  return true;
#else
  (void)folder;
  return false;
#endif
}

TEST(AtomicOutput, NothingButTheFinishedFileIsEverSeenInTheFolder) {
  for (const Kind kind : kinds) {
    SCOPED_TRACE(kind_name(kind));
    TempFolder folder;
    folder.write("out", "old\n");
    const std::set<std::string> before = listing(folder);
    {
      AtomicOutput output(folder.file("out"), kind);
      ASSERT_EQ(output.create(), 0);
      ASSERT_EQ(output.write(text.data(), text.size()), 0);
      if (kind == Kind::named) {
        EXPECT_EQ(listing(folder).size(), 2u);  // the hidden name beside the output
      } else if (unnamed_files_possible(folder)) {
        EXPECT_TRUE(output.unnamed());
        EXPECT_EQ(listing(folder), before);
      }
    }  // abandoned
    EXPECT_EQ(listing(folder), before);
  }
}

// Runs `work` in a child process; returns its wait status.
int in_child(const std::function<int()>& work) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(work());
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

// The handler of `signal` now: true when it is the default action.
bool default_action(int signal) {
  struct sigaction current {};
  ::sigaction(signal, nullptr, &current);
  return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

// In a child process: create, write, raise the signal, commit. A signal whose action is the
// default one ends the process and leaves the folder as it was (a named file cannot outlive
// SIGKILL, so only the unnamed one meets it); an ignored one lets the write complete. While a
// named file exists the writer holds every default action, and it gives them back after commit.
TEST(AtomicOutput, SignalsWhileWritingLeaveNothingOrAreLeftToTheProgram) {
  struct Case {
    Kind kind;
    int signal;
    bool ignored;
  };
  const Case cases[] = {{Kind::named, SIGTERM, false},
                        {Kind::named, SIGINT, false},
                        {Kind::named, SIGHUP, false},
                        {Kind::unnamed_where_possible, SIGTERM, false},
                        {Kind::unnamed_where_possible, SIGKILL, false},
                        {Kind::named, SIGTERM, true}};
  const int ending[] = {SIGINT, SIGTERM, SIGHUP};
  for (const Case& c : cases) {
    SCOPED_TRACE(kind_name(c.kind) + ", signal " + std::to_string(c.signal) +
                 (c.ignored ? ", ignored" : ""));
    TempFolder folder;
    if (c.kind != Kind::named && !unnamed_files_possible(folder)) continue;
    folder.write("out", "old\n");
    const std::set<std::string> before = listing(folder);
    const int status = in_child([&] {
      for (const int signal : ending) ::signal(signal, SIG_DFL);
      if (c.ignored) ::signal(c.signal, SIG_IGN);
      AtomicOutput output(folder.file("out"), c.kind);
      if (output.create() != 0 || output.write(text.data(), text.size()) != 0) return 2;
      for (const int signal : ending)
        if (c.kind == Kind::named && default_action(signal)) return 3;
      ::raise(c.signal);
      if (output.commit() != 0) return 4;
      for (const int signal : ending)
        if (!(c.ignored && signal == c.signal) && !default_action(signal)) return 5;
      return 0;
    });
    if (c.ignored) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(read_file(folder.file("out")), text);
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
      EXPECT_EQ(listing(folder), before);
    }
  }
}

}  // namespace
}  // namespace quelby
