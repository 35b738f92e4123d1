// The output folder of a run: held by one run at a time (a second hold is refused naming the
// folder, and a released or dead holder frees it), and cleared of the numbered models of the
// stages a run inverts, nothing else.
#include "quelby/inversion/output_folder.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

TEST(OutputFolder, OneRunHoldsAFolderAtATime) {
  TempFolder folder;
  const std::string out = folder.file("runs/out");
  Transcript t;
  {
    OutputFolder first = hold_output_folder(t.io(), out);
    EXPECT_TRUE(first.held());
    EXPECT_TRUE(std::filesystem::is_directory(out));
    Transcript second;
    try {
      hold_output_folder(second.io(), out);
      ADD_FAILURE() << "held twice";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.status(), exit_failure);
      EXPECT_EQ(second.console(), "\nError: the output folder " + out +
                                      " is in use by another run: wait for it to end, or choose "
                                      "another folder.\n");
      EXPECT_EQ(second.log(), second.console());
      EXPECT_EQ(stop.detail(), out + "/.quelby-invert.lock: held by another run");
    }
    // Moved, the hold goes with its object.
    const OutputFolder moved = std::move(first);
    EXPECT_TRUE(moved.held());
    EXPECT_THROW(hold_output_folder(second.io(), out), Stop);
  }
  EXPECT_TRUE(hold_output_folder(t.io(), out).held());

  // A holder that dies without a word frees the folder. The child takes the lock as a run does,
  // with system calls alone (nothing that might wait on a lock of the parent's other threads).
  const std::string lock = out + "/" + output_lock_name;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int descriptor = ::open(lock.c_str(), O_RDWR);
    if (descriptor < 0 || ::flock(descriptor, LOCK_EX) != 0) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  Transcript later;
  bool refused = false;
  for (int attempt = 0; attempt < 20000 && !refused; ++attempt) {
    try {
      hold_output_folder(later.io(), out);
      ::usleep(100);  // the child has not taken it yet
    } catch (const Stop&) {
      refused = true;
    }
  }
  EXPECT_TRUE(refused);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(hold_output_folder(later.io(), out).held());

  // A file where the folder should be.
  folder.write("file", "x");
  Transcript blocked;
  EXPECT_THROW(hold_output_folder(blocked.io(), folder.file("file")), Stop);
  EXPECT_TRUE(blocked.console().starts_with("\nError: cannot create the output folder "));
}

TEST(OutputFolder, NumberedModelsOfTheStagesInvertedAreRemoved) {
  const std::vector<std::string> names = {
      "model_1.mod", "model_12.mod", "eta_3.mod",    "model.mod",       "eta.mod",
      "model_.mod",  "model_2x.mod", "models_1.mod", "model_1.mod.bak", "history.txt"};
  struct Case {
    bool dc, ip;
    std::vector<std::string> removed;
  };
  const std::vector<Case> cases = {
      {true, false, {"model_1.mod", "model_12.mod"}},
      {false, true, {"eta_3.mod"}},
      {true, true, {"model_1.mod", "model_12.mod", "eta_3.mod"}},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    for (const std::string& name : names) folder.write(name, "1\n");
    Transcript t;
    const OutputFolder held = hold_output_folder(t.io(), folder.path().string());
    remove_numbered_models(t.io(), held, c.dc, c.ip);
    for (const std::string& name : names) {
      const bool gone = std::count(c.removed.begin(), c.removed.end(), name) > 0;
      EXPECT_EQ(std::filesystem::exists(folder.file(name)), !gone) << name;
    }
    EXPECT_EQ(t.console() + t.log(), "");
  }
}

}  // namespace
}  // namespace quelby
