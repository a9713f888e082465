// Start-up of the real program: one copy per user.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "app/shell/start_up.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace std::chrono_literals;

// ctest names the program folder; run by hand, the tests sit in build/tests
// beside build/bin.
std::string ProgramPath() {
  const char* bin = std::getenv("TRESOLIN_BIN_DIR");
  return (bin != nullptr ? std::string(bin) : platform::ProgramFolder() + "../bin") + "/tresolin";
}

// Starts the program with the lock folder runtimeDir, offscreen.
int StartCopy(const std::string& runtimeDir) {
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  return platform::StartProgram(ProgramPath(), {});
}

// Waits up to timeout for pid to end; returns its exit code, or nullopt
// while it still runs.
std::optional<int> ExitCode(int pid, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  do {
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < end);
  return std::nullopt;
}

// Returns true iff pid holds an open descriptor on path.
bool HoldsOpen(int pid, const std::string& path) {
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (std::filesystem::read_symlink(entry.path(), ec) == path) return true;
  }
  return false;
}

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(ProgramPath())) << ProgramPath();
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) savedRuntime_ = old;
  }
  void TearDown() override {
    if (savedRuntime_) {
      ::setenv("XDG_RUNTIME_DIR", savedRuntime_->c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }
  std::optional<std::string> savedRuntime_;
};

TEST_F(StartUp, SecondCopyExitsWithZeroAndLeavesTheFirstRunning) {
  testing_support::TempFolder runtime;
  const int first = StartCopy(runtime.path());
  ASSERT_GT(first, 0);
  const std::string lock = runtime / shell::kInstanceLockName;
  // The lock is taken right after the file is opened; give it a moment.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!HoldsOpen(first, lock) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(HoldsOpen(first, lock));
  std::this_thread::sleep_for(200ms);

  const int second = StartCopy(runtime.path());
  ASSERT_GT(second, 0);
  EXPECT_EQ(ExitCode(second, 10s), std::optional<int>(0));
  // The first copy still runs its window.
  EXPECT_EQ(ExitCode(first, 300ms), std::nullopt);
  platform::KillProgram(first);
}

// Runs the program with args, offscreen, and returns its exit code; out and
// err receive what it printed.
int RunProgram(const std::string& args, std::string* out, std::string* err, int seconds = 20) {
  testing_support::TempFolder folder;
  const std::string command = "QT_QPA_PLATFORM=offscreen timeout " + std::to_string(seconds) +
                              " '" + ProgramPath() + "' " + args + " >" + (folder / "out") + " 2>" +
                              (folder / "err");
  const int status = std::system(command.c_str());
  auto text = [](const std::string& path) {
    const auto bytes = testing_support::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
  };
  *out = text(folder / "out");
  *err = text(folder / "err");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(StartUp, HelpAndVersionPrintGermanAndAWrongLineIsAUsageError) {
  std::string out, err;
  EXPECT_EQ(RunProgram("--help", &out, &err), 0);
  EXPECT_NE(out.find("Aufruf:\n  tresolin [DATEI|ORDNER]"), std::string::npos) << out;
  EXPECT_NE(out.find("Entschlüsseln"), std::string::npos);
  EXPECT_EQ(err, "");
  EXPECT_EQ(RunProgram("--version", &out, &err), 0);
  EXPECT_EQ(out, "tresolin 0.1.0\n");
  EXPECT_EQ(RunProgram("--gibtsnicht", &out, &err), 2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.rfind("tresolin: unbekannte Option: --gibtsnicht\nAufruf:", 0), 0u) << err;
}

TEST_F(StartUp, ALockThatCannotBeMadeIsToldAndTheWindowOpensAnyway) {
  testing_support::TempFolder runtime;
  // A folder where the lock file belongs: opening it fails whoever we are.
  ASSERT_TRUE(platform::MakeFolders(runtime / shell::kInstanceLockName));
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  std::string out, err;
  // timeout ends the window after its start: 124.
  EXPECT_EQ(RunProgram("", &out, &err, 2), 124);
  EXPECT_NE(err.find("tresolin: Die Sperre gegen einen zweiten Start lässt sich nicht anlegen"),
            std::string::npos)
      << err;
}

TEST_F(StartUp, SoleCopyOpensItsWindowAndKeepsRunning) {
  testing_support::TempFolder runtime;
  const int only = StartCopy(runtime.path());
  ASSERT_GT(only, 0);
  // Without another copy the program runs its event loop instead of leaving.
  EXPECT_EQ(ExitCode(only, 1500ms), std::nullopt);
  platform::KillProgram(only);
}

}  // namespace
