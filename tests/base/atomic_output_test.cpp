// The atomic writer: where the file lands (a new name, an existing file, a symbolic link to a file
// or to nothing yet), that nothing but the finished file is ever left in the folder (not after a
// failure, an abandoned output, or a process ended by a signal while writing), and that the
// signal actions it borrows are given back. Each case runs with an unnamed and a named temporary.
#include "quelby/base/atomic_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
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

TEST(AtomicOutput, TheFileLandsWhereTheNameLeadsAsTheShellsRedirectionPutsIt) {
  struct Case {
    std::string what;
    std::function<void(const TempFolder&)> prepare;
    int error;  // of the write, 0 for none
    std::set<std::string> after;
  };
  const std::string finished = ": " + text;
  const std::vector<Case> cases = {
      {"a new name", [](const TempFolder&) {}, 0, {"out" + finished}},
      {"an existing file",
       [](const TempFolder& f) { f.write("out", "old\n"); },
       0,
       {"out" + finished}},
      {"a link to a file",
       [](const TempFolder& f) {
         f.write("real", "old\n");
         fs::create_symlink("real", f.path() / "out");
       },
       0,
       {"out -> real", "real" + finished}},
      {"a link to nothing yet",
       [](const TempFolder& f) { fs::create_symlink("made", f.path() / "out"); },
       0,
       {"out -> made", "made" + finished}},
      {"a link into a folder",
       [](const TempFolder& f) {
         fs::create_directory(f.path() / "sub");
         fs::create_symlink("sub/made", f.path() / "out");
       },
       0,
       {"out -> sub/made", "sub/", "sub/made" + finished}},
      {"a chain of links, the last one relative to its own folder",
       [](const TempFolder& f) {
         fs::create_directory(f.path() / "sub");
         fs::create_symlink("sub/next", f.path() / "out");
         fs::create_symlink("end", f.path() / "sub" / "next");
       },
       0,
       {"out -> sub/next", "sub/", "sub/next -> end", "sub/end" + finished}},
      {"a link to nothing in a missing folder",
       [](const TempFolder& f) { fs::create_symlink("absent/made", f.path() / "out"); },
       ENOENT,
       {"out -> absent/made"}},
      {"a loop of links",
       [](const TempFolder& f) {
         fs::create_symlink("back", f.path() / "out");
         fs::create_symlink("out", f.path() / "back");
       },
       ELOOP,
       {"out -> back", "back -> out"}},
  };
  for (const Kind kind : kinds) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what + ", " + kind_name(kind));
      TempFolder folder;
      c.prepare(folder);
      EXPECT_EQ(write_whole(folder.file("out"), kind), c.error);
      EXPECT_EQ(listing(folder), c.after);
    }
  }
  // An absolute link text, and a replaced file's permissions.
  for (const Kind kind : kinds) {
    TempFolder folder;
    fs::create_symlink(folder.path() / "made", folder.path() / "out");
    EXPECT_EQ(write_whole(folder.file("out"), kind), 0);
    EXPECT_EQ(read_file(folder.file("made")), text);
    folder.write("private", "old\n");
    ASSERT_EQ(::chmod(folder.file("private").c_str(), 0640), 0);
    EXPECT_EQ(write_whole(folder.file("private"), kind), 0);
    struct stat status {};
    ASSERT_EQ(::stat(folder.file("private").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
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

TEST(AtomicOutput, AProcessEndedBySignalWhileWritingLeavesNothing) {
  struct Case {
    Kind kind;
    int signal;
  };
  // A named file cannot survive SIGKILL's removal, so only the unnamed one meets it.
  const Case cases[] = {{Kind::named, SIGTERM},
                        {Kind::named, SIGINT},
                        {Kind::named, SIGHUP},
                        {Kind::unnamed_where_possible, SIGTERM},
                        {Kind::unnamed_where_possible, SIGINT},
                        {Kind::unnamed_where_possible, SIGKILL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(kind_name(c.kind) + ", signal " + std::to_string(c.signal));
    TempFolder folder;
    if (c.kind != Kind::named && !unnamed_files_possible(folder)) continue;
    folder.write("out", "old\n");
    const std::set<std::string> before = listing(folder);
    const int status = in_child([&] {
      ::signal(c.signal, SIG_DFL);
      AtomicOutput output(folder.file("out"), c.kind);
      if (output.create() != 0 || output.write(text.data(), text.size()) != 0) return 2;
      ::raise(c.signal);
      return 3;  // not ended
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    EXPECT_EQ(listing(folder), before);
  }
}

TEST(AtomicOutput, ASignalTheProgramHandlesIsLeftToItAndEveryActionIsGivenBack) {
  TempFolder folder;
  // Ignored: the write goes on and completes.
  const int ignored = in_child([&] {
    ::signal(SIGTERM, SIG_IGN);
    AtomicOutput output(folder.file("out"), Kind::named);
    if (output.create() != 0 || output.write(text.data(), text.size()) != 0) return 2;
    ::raise(SIGTERM);
    return output.commit() == 0 ? 0 : 3;
  });
  EXPECT_TRUE(WIFEXITED(ignored) && WEXITSTATUS(ignored) == 0) << ignored;
  EXPECT_EQ(read_file(folder.file("out")), text);
  // Default actions are borrowed while a named file exists and given back after.
  const int restored = in_child([&] {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, SIG_DFL);
    AtomicOutput output(folder.file("again"), Kind::named);
    if (output.create() != 0) return 2;
    if (default_action(SIGTERM) || default_action(SIGINT) || default_action(SIGHUP)) return 3;
    if (output.commit() != 0) return 4;
    return default_action(SIGTERM) && default_action(SIGINT) && default_action(SIGHUP) ? 0 : 5;
  });
  EXPECT_TRUE(WIFEXITED(restored) && WEXITSTATUS(restored) == 0) << restored;
}

TEST(AtomicOutput, ADeviceIsWrittenInPlace) {
  for (const Kind kind : kinds) {
    AtomicOutput output("/dev/null", kind);
    ASSERT_EQ(output.create(), 0);
    EXPECT_FALSE(output.allows_write_at());
    EXPECT_EQ(output.write(text.data(), text.size()), 0);
    EXPECT_EQ(output.commit(), 0);
  }
}

}  // namespace
}  // namespace quelby
