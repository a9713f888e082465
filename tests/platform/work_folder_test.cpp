// Private working folders: what they hold, what removes them, and what is
// never touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::Exists;
using testing_support::Listing;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string HostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

std::string BootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

// Makes a folder that looks like a working folder left by another run.
std::string PlantWorkFolder(const TempFolder& dir, const std::string& suffix,
                            const std::string& record, mode_t mode = 0700) {
  const std::string path = dir / (std::string(platform::kWorkFolderPrefix) + suffix);
  EXPECT_EQ(::mkdir(path.c_str(), 0700), 0);
  if (!record.empty()) WriteFile(path + "/owner", record);
  WriteFile(path + "/plaintext", "geheim");
  ::chmod(path.c_str(), mode);
  return path;
}

TEST(WorkFolder, IsPrivateAndGoesWithEverythingInIt) {
  TempFolder dir;
  WriteFile(dir / "outside", "bleibt");
  std::string path;
  {
    platform::WorkFolder work = platform::WorkFolder::Create(dir.path());
    ASSERT_TRUE(work.ok());
    path = work.path();
    EXPECT_EQ(path.rfind(dir.path() + "/" + std::string(platform::kWorkFolderPrefix), 0), 0u);
    EXPECT_EQ(ModeOf(path), 0700u);
    EXPECT_EQ(ModeOf(work / "owner"), 0600u);

    platform::File file = platform::File::Open(work / "copy", platform::OpenMode::kCreateNew);
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(ModeOf(work / "copy"), 0600u);
    // A read-only subfolder and a link to a file outside must not stop the
    // removal, and the link's target stays.
    ASSERT_EQ(::mkdir((work / "sub").c_str(), 0700), 0);
    WriteFile(work / "sub/x", "x");
    ::chmod((work / "sub").c_str(), 0500);
    ASSERT_TRUE(platform::MakeSymbolicLink(dir / "outside", work / "link"));
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(ReadFile(dir / "outside"), std::vector<std::uint8_t>({'b', 'l', 'e', 'i', 'b', 't'}));
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"outside"});
}

TEST(WorkFolder, NewFilesNeverReplaceOrFollowWhatIsThere) {
  TempFolder dir;
  WriteFile(dir / "taken", "U");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
  EXPECT_FALSE(platform::File::Open(dir / "taken", platform::OpenMode::kCreateNew).ok());
  EXPECT_FALSE(platform::File::Open(dir / "link", platform::OpenMode::kCreateNew).ok());
  EXPECT_EQ(ReadFile(dir / "taken"), std::vector<std::uint8_t>{'U'});
  EXPECT_FALSE(Exists(dir / "victim"));
}

TEST(WorkFolder, CannotBeMadeWhereTheFolderRefusesIt) {
  TempFolder dir;
  EXPECT_FALSE(platform::WorkFolder::Create(dir / "missing").ok());
  if (::geteuid() != 0) {
    ASSERT_EQ(::mkdir((dir / "locked").c_str(), 0500), 0);
    EXPECT_FALSE(platform::WorkFolder::Create(dir / "locked").ok());
  }
}

TEST(WorkFolder, MoveOutNeverReplacesButUndoTakesBackWhatItMade) {
  TempFolder dir;
  WriteFile(dir / "taken", "U");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
  platform::WorkFolder work = platform::WorkFolder::Create(dir.path());
  ASSERT_TRUE(work.ok());
  WriteFile(work / "a", "A");
  WriteFile(work / "b", "B");
  WriteFile(work / "c", "C");

  EXPECT_FALSE(work.MoveOut(work / "a", dir / "taken"));
  EXPECT_FALSE(work.MoveOut(work / "a", dir / "link", /*replace=*/true));
  EXPECT_TRUE(Exists(dir / "link"));
  EXPECT_FALSE(Exists(dir / "victim"));

  EXPECT_TRUE(work.MakeFolderOutside(dir / "new"));
  EXPECT_TRUE(work.MoveOut(work / "a", dir / "new/a"));
  EXPECT_TRUE(work.MoveOut(work / "b", dir / "taken", /*replace=*/true));
  EXPECT_EQ(ReadFile(dir / "taken"), std::vector<std::uint8_t>{'B'});
  work.UndoCreated();
  // What this run made is gone; a replaced file keeps its new content.
  EXPECT_FALSE(Exists(dir / "new"));
  EXPECT_TRUE(Exists(dir / "taken"));

  EXPECT_TRUE(work.MoveOut(work / "c", dir / "kept"));
  work.Commit();
  work.UndoCreated();
  EXPECT_TRUE(Exists(dir / "kept"));
}

TEST(WorkFolder, SweepRemovesOnlyFoldersOfGoneProcessesOfThisHost) {
  TempFolder dir;
  const std::string host = HostName();
  const std::string boot = BootId();
  auto record = [](const std::string& h, const std::string& b, const std::string& pid,
                   const std::string& start) {
    return "host " + h + "\nboot " + b + "\npid " + pid + "\nstart " + start + "\n";
  };
  // A process that was: a pid that no longer runs (a reaped child).
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  const std::string gone =
      PlantWorkFolder(dir, "gone00", record(host, boot, std::to_string(child), "1"));
  const std::string reused =
      PlantWorkFolder(dir, "reuse0", record(host, boot, std::to_string(::getpid()), "1"));
  const std::string rebooted =
      PlantWorkFolder(dir, "boot00", record(host, "another-boot", "1", "1"));

  // Never removed: another host, no record, an odd mode, a link.
  const std::string foreign =
      PlantWorkFolder(dir, "host00", record("elsewhere", boot, std::to_string(child), "1"));
  const std::string unrecorded = PlantWorkFolder(dir, "none00", "");
  const std::string open =
      PlantWorkFolder(dir, "mode00", record(host, boot, std::to_string(child), "1"), 0755);
  const std::string target =
      PlantWorkFolder(dir, "target", record(host, boot, std::to_string(child), "1"));
  const std::string link = dir / (std::string(platform::kWorkFolderPrefix) + "link00");
  ASSERT_EQ(::rename(target.c_str(), (dir / "elsewhere").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), link.c_str()), 0);

  // A live run's folder stays too.
  platform::WorkFolder live = platform::WorkFolder::Create(dir.path());
  ASSERT_TRUE(live.ok());
  EXPECT_FALSE(Exists(gone));
  EXPECT_FALSE(Exists(reused));
  EXPECT_FALSE(Exists(rebooted));
  EXPECT_EQ(platform::SweepStaleWorkFolders(dir.path()), 0);
  EXPECT_TRUE(Exists(live.path()));
  EXPECT_TRUE(Exists(foreign + "/plaintext"));
  EXPECT_TRUE(Exists(unrecorded + "/plaintext"));
  EXPECT_TRUE(Exists(open + "/plaintext"));
  EXPECT_TRUE(Exists(link));
  EXPECT_TRUE(Exists(dir / "elsewhere/plaintext"));
}

// Runs body in a child that has the interrupt clean-up, lets it report
// readiness, sends signal and returns the child's exit status.
template <typename Body>
int StatusAfterSignal(int signal, Body body) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    platform::InstallInterruptCleanup();
    body();
    (void)!::write(ready[1], "r", 1);
    for (;;) ::pause();
  }
  char c;
  (void)!::read(ready[0], &c, 1);
  ::kill(child, signal);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(WorkFolderInterrupt, SignalsRemoveTheRunsFilesAndEndWithTheUsualStatus) {
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
    TempFolder dir;
    WriteFile(dir / "source", "bleibt");
    const int got = StatusAfterSignal(signal, [&] {
      // Leaked on purpose: the process ends by the signal, as a run would.
      auto* work = new platform::WorkFolder(platform::WorkFolder::Create(dir.path()));
      WriteFile(*work / "plain", "geheim");
      WriteFile(*work / "half", "halb");
      work->MakeFolderOutside(dir / "restored");
      work->MoveOut(*work / "half", dir / "restored/half");
    });
    EXPECT_EQ(got, status) << "signal " << signal;
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"source"}) << "signal " << signal;
  }
}

}  // namespace
