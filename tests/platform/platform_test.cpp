#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#ifdef _WIN32
#include "tests/platform/test_compat_win.h"
#endif
#include "tests/support/temp_folder.h"

namespace {

#ifdef _WIN32
// Environment changes for the tests: _putenv_s updates the C runtime's copy
// and the system's block, which children and GetTempPathW read.
void SetEnv(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());
}
void UnsetEnv(const char* name) {
  _putenv_s(name, "");
}
// Windows takes its temporary folder from TMP.
constexpr const char* kTempVariable = "TMP";
#else
void SetEnv(const char* name, const std::string& value) {
  ::setenv(name, value.c_str(), 1);
}
void UnsetEnv(const char* name) {
  ::unsetenv(name);
}
constexpr const char* kTempVariable = "TMPDIR";
#endif

// Makes a symbolic link for a test. Linux always makes one; Windows only
// with the privilege or developer mode, and Wine not at all, so there the
// checks of links are left out, and only there.
bool MakeLink(const std::string& target, const std::string& link) {
  const bool made = platform::MakeSymbolicLink(target, link);
#ifndef _WIN32
  EXPECT_TRUE(made) << link;
#endif
  return made;
}

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
#ifdef _WIN32
using testing_support::StartChild;
#endif

TEST(PlatformRename, NeverReplacesAnExistingTarget) {
  TempFolder dir;
  WriteFile(dir / "a", "A");
  WriteFile(dir / "b", "B");
  EXPECT_FALSE(platform::RenameFile(dir / "a", dir / "b"));
  EXPECT_EQ(ReadFile(dir / "b"), std::vector<std::uint8_t>{'B'});
  EXPECT_TRUE(Exists(dir / "a"));
  EXPECT_TRUE(platform::RenameFile(dir / "a", dir / "c"));
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_FALSE(platform::RenameFile(dir / "a", dir / "d"));
}

#ifndef _WIN32
TEST(PlatformFiles, NewFilesArePrivateUntilGivenTheSharedMode) {
  TempFolder dir;
  const mode_t old = ::umask(022);
  {
    platform::File f = platform::File::Open(dir / "p", platform::OpenMode::kCreateNew);
    ASSERT_TRUE(f.ok());
    platform::File g = platform::File::Open(dir / "s", platform::OpenMode::kCreateNew);
    ASSERT_TRUE(g.ok());
  }
  EXPECT_TRUE(platform::SetSharedFileMode(dir / "s"));
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat((dir / "p").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir / "s").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}
#else
// Windows keeps one permission bit, read-only; who may read a file is its
// folder's access list (the working folder's test shows that).
TEST(PlatformFiles, ReadOnlyIsTheOnePermissionBitAndTheSharedModeClearsIt) {
  TempFolder dir;
  {
    platform::File f = platform::File::Open(dir / "p", platform::OpenMode::kCreateNew);
    ASSERT_TRUE(f.ok());
  }
  ASSERT_TRUE(platform::SetFileMode(dir / "p", 0444));
  EXPECT_EQ(*platform::FileMode(dir / "p") & 0200, 0u);
  EXPECT_TRUE(platform::SetSharedFileMode(dir / "p"));
  EXPECT_EQ(*platform::FileMode(dir / "p") & 0200, 0200u);
  EXPECT_TRUE(platform::File::Open(dir / "p", platform::OpenMode::kUpdate).ok());
  // A read-only file still goes when deleted, as from a writable folder on Linux.
  ASSERT_TRUE(platform::SetFileMode(dir / "p", 0444));
  EXPECT_TRUE(platform::DeleteFile(dir / "p"));
  EXPECT_FALSE(Exists(dir / "p"));
}
#endif

TEST(PlatformFiles, OpensOnlyRegularFiles) {
  TempFolder dir;
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  // A FIFO would block the first read if it were opened for data.
  EXPECT_FALSE(platform::File::Open(dir / "fifo", platform::OpenMode::kRead).ok());
#else
  // Windows has no FIFOs in folders; its devices are the special files.
  EXPECT_FALSE(platform::File::Open("NUL", platform::OpenMode::kRead).ok());
#endif
  EXPECT_FALSE(platform::File::Open(dir.path(), platform::OpenMode::kRead).ok());
}

// A caller tells the user why a file cannot be read: never "no container"
// for what is no file at all.
TEST(PlatformFiles, ExaminingAnInputNamesWhatIsThere) {
  TempFolder dir;
  WriteFile(dir / "f", "data");
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string special = dir / "fifo";
#else
  const std::string special = "NUL";  // a device: Windows has no FIFOs in folders
#endif
  const bool links = MakeLink(dir / "gone", dir / "dangling");
  EXPECT_TRUE(platform::ExamineFileToRead(dir / "f").ok());
  EXPECT_EQ(platform::ExamineFileToRead(dir / "none").cause, platform::Cause::kMissing);
  if (links) {
    EXPECT_EQ(platform::ExamineFileToRead(dir / "dangling").cause, platform::Cause::kMissing);
  }
  EXPECT_EQ(platform::ExamineFileToRead(dir.path()).cause, platform::Cause::kFolder);
  const platform::Status fifo = platform::ExamineFileToRead(special);
  EXPECT_EQ(fifo.cause, platform::Cause::kSpecial);
  EXPECT_EQ(fifo.path, special);
#ifdef _WIN32
  {
    // A file another program holds without sharing cannot be read.
    HANDLE held =
        ::CreateFileA((dir / "f").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const platform::Status locked = platform::ExamineFileToRead(dir / "f");
    ::CloseHandle(held);
    EXPECT_EQ(locked.cause, platform::Cause::kNoAccess);
    EXPECT_EQ(locked.systemError, EACCES);
  }
#else
  if (::geteuid() != 0) {             // root reads whatever the mode says
    ASSERT_EQ(::chmod((dir / "f").c_str(), 0), 0);
    const platform::Status locked = platform::ExamineFileToRead(dir / "f");
    EXPECT_EQ(locked.cause, platform::Cause::kNoAccess);
    EXPECT_EQ(locked.systemError, EACCES);
  }
#endif
}

TEST(PlatformFiles, AFailedWriteKeepsItsErrnoForTheCaller) {
  TempFolder dir;
  platform::File file = platform::File::Open(dir / "new", platform::OpenMode::kCreateNew);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(file.lastError(), 0);
  platform::FaultPlan plan;
  plan.failWriteAt = 1;
  platform::SetFaultPlan(plan);
  const std::uint8_t byte = 1;
  EXPECT_FALSE(file.Write(std::span(&byte, 1)));
  platform::ClearFaultPlan();
  EXPECT_EQ(file.lastError(), ENOSPC);
  EXPECT_TRUE((platform::Status{platform::Cause::kWriteFailed, "", file.lastError()}.IsFullDisk()));
  const platform::File missing = platform::File::Open(dir / "none", platform::OpenMode::kRead);
  EXPECT_EQ(missing.lastError(), ENOENT);
}

TEST(PlatformFiles, NoFollowRefusesASymbolicLink) {
  TempFolder dir;
  WriteFile(dir / "target", "T");
  if (!MakeLink(dir / "target", dir / "link")) GTEST_SKIP() << "no symbolic links here";
  EXPECT_FALSE(platform::File::Open(dir / "link", platform::OpenMode::kUpdate, true).ok());
  EXPECT_EQ(ReadFile(dir / "target"), std::vector<std::uint8_t>{'T'});
}

// A reader that takes its input by path gets a stand-in: on Windows under
// Wine a hard link for a writable source and a copy for a read-only one.
// Either way it reads as the source, and removing it leaves the source as
// it was, read-only flag included.
TEST(PlatformFiles, AStandInReadsAsTheSourceAndGoesWithoutTouchingIt) {
  TempFolder dir;
  const std::string content(300000, 'x');
  WriteFile(dir / "writable", content);
  WriteFile(dir / "read-only", "R");
  ASSERT_TRUE(platform::SetFileMode(dir / "read-only", 0444));
  platform::MakeFolders(dir / "work");
  for (const char* name : {"writable", "read-only"}) {
    SCOPED_TRACE(name);
    const std::string standIn = dir / (std::string("work/") + name);
    ASSERT_TRUE(platform::MakeStandIn(dir / name, standIn));
    EXPECT_EQ(ReadFile(standIn), ReadFile(dir / name));
    EXPECT_FALSE(platform::MakeStandIn(dir / name, standIn)) << "replaced an existing name";
    EXPECT_TRUE(platform::DeleteFile(standIn));
  }
  EXPECT_EQ(ReadFile(dir / "writable").size(), content.size());
  EXPECT_EQ(platform::FileMode(dir / "read-only").value_or(0) & 0222, 0u);
  EXPECT_EQ(ReadFile(dir / "read-only"), std::vector<std::uint8_t>{'R'});
}

TEST(PlatformFiles, UpdateNeverCreates) {
  TempFolder dir;
  EXPECT_FALSE(platform::File::Open(dir / "x", platform::OpenMode::kUpdate).ok());
  EXPECT_FALSE(Exists(dir / "x"));
}

TEST(PlatformFolders, TempFolderFollowsTmpdirAndEndsInASlash) {
  TempFolder dir;
  const char* old = std::getenv(kTempVariable);
  const std::string saved = old ? old : "";
  SetEnv(kTempVariable, dir.path());
  const std::string temp = platform::TempFolder();
  SetEnv(kTempVariable, dir / "missing");
  const std::string fallback = platform::TempFolder();
  if (old)
    SetEnv(kTempVariable, saved);
  else
    UnsetEnv(kTempVariable);
  EXPECT_EQ(temp.back(), '/');
  EXPECT_TRUE(platform::SameFile(temp, dir.path()));
  EXPECT_EQ(fallback.back(), '/');
  EXPECT_TRUE(platform::IsFolder(fallback));
}

TEST(PlatformFolders, FreeSpaceIsKnownForRealFoldersOnly) {
  EXPECT_GE(platform::FreeDiskMegabytes(platform::TempFolder()), 0);
  EXPECT_EQ(platform::FreeDiskMegabytes("/no/such/folder/"), -1);
}

TEST(PlatformFolders, MakeFoldersCreatesEveryParent) {
  TempFolder dir;
  EXPECT_TRUE(platform::MakeFolders(dir / "a/b/c"));
  EXPECT_TRUE(platform::IsFolder(dir / "a/b/c"));
  EXPECT_TRUE(platform::MakeFolders(dir / "a/b/c"));
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(platform::MakeFolders(dir / "file/sub"));
}

TEST(PlatformFolders, ListingTellsFilesFoldersLinksAndTheRest) {
  TempFolder dir;
  WriteFile(dir / "file", "x");
  ASSERT_TRUE(platform::MakeFolders(dir / "sub"));
  const bool links = MakeLink("file", dir / "to-file") && MakeLink("sub", dir / "to-sub") &&
                     MakeLink("nothing", dir / "dangling");
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::size_t expected = 6;
#else
  const std::size_t expected = links ? 5 : 2;  // Windows has no FIFOs in folders
#endif
  const auto entries = platform::ListFolder(dir.path());
  ASSERT_TRUE(entries.has_value());
  std::map<std::string, std::pair<platform::EntryType, bool>> seen;
  for (const auto& e : *entries) seen[e.name] = {e.type, e.isLink};
  using T = platform::EntryType;
  EXPECT_EQ(seen.size(), expected);
  EXPECT_EQ(seen["file"], std::make_pair(T::kFile, false));
  EXPECT_EQ(seen["sub"], std::make_pair(T::kFolder, false));
  if (links) {
    EXPECT_EQ(seen["to-file"], std::make_pair(T::kFile, true));
    EXPECT_EQ(seen["to-sub"], std::make_pair(T::kFolder, true));
    EXPECT_EQ(seen["dangling"], std::make_pair(T::kOther, true));
  }
#ifndef _WIN32
  EXPECT_EQ(seen["fifo"], std::make_pair(T::kOther, false));
#endif
  EXPECT_FALSE(platform::ListFolder(dir / "missing").has_value());
}

TEST(PlatformTimes, LastWriteTimeRoundTripsInLocalTime) {
  TempFolder dir;
  WriteFile(dir / "f", "x");
  const platform::LocalTime t{2007, 3, 14, 14, 37, 0};
  ASSERT_TRUE(platform::SetLastWriteTime(dir / "f", t));
  const auto back = platform::LastWriteTime(dir / "f");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->year, 2007);
  EXPECT_EQ(back->month, 3);
  EXPECT_EQ(back->day, 14);
  EXPECT_EQ(back->hour, 14);
  EXPECT_EQ(back->minute, 37);
  EXPECT_EQ(back->second, 0);
}

TEST(PlatformCodePages, PasswordsBecomeWindows1252WhenTheyCan) {
  EXPECT_EQ(platform::PasswordBytes("abc"), "abc");
  EXPECT_EQ(platform::PasswordBytes("\xC3\xA4\xC3\x9F"), "\xE4\xDF");  // äß
  EXPECT_EQ(platform::PasswordBytes("\xE2\x82\xAC"), "\x80");          // €
  // Ω has no Windows-1252 code: the whole text stays UTF-8, nothing lossy.
  EXPECT_EQ(platform::PasswordBytes("\xC3\xA4\xCE\xA9"), "\xC3\xA4\xCE\xA9");
  // The five codes Windows-1252 leaves unassigned stand for the control
  // characters of the same number, as Windows converts them.
  EXPECT_EQ(platform::PasswordBytes("\xC2\x81\xC3\xA4\xC2\x9D"), "\x81\xE4\x9D");
  EXPECT_EQ(platform::PasswordBytes("\xC2\x8D\xC2\x8F\xC2\x90"), "\x8D\x8F\x90");
  EXPECT_EQ(platform::PasswordBytes("\xC2\x81\xCE\xA9"), "\xC2\x81\xCE\xA9");
}

TEST(PlatformCodePages, Cp850RoundTripsWhatItCanRepresent) {
  EXPECT_EQ(platform::Utf8ToCp850("\xC3\x84rger.txt"), std::optional<std::string>("\x8Erger.txt"));
  EXPECT_EQ(platform::Cp850ToUtf8("\x8Erger.txt"), "\xC3\x84rger.txt");
  EXPECT_FALSE(platform::Utf8ToCp850("\xE2\x82\xAC").has_value());  // € is not in CP850
}

TEST(PlatformFaults, FailsTheChosenOccurrenceOnly) {
  TempFolder dir;
  platform::FaultPlan plan;
  plan.failWriteAt = 2;
  plan.freeMegabytes = 7;
  platform::SetFaultPlan(plan);
  platform::File f = platform::File::Open(dir / "f", platform::OpenMode::kCreateNew);
  const std::uint8_t byte = 1;
  EXPECT_TRUE(f.Write(std::span(&byte, 1)));
  EXPECT_FALSE(f.Write(std::span(&byte, 1)));
  EXPECT_TRUE(f.Write(std::span(&byte, 1)));
  EXPECT_EQ(platform::FreeDiskMegabytes(platform::TempFolder()), 7);
  platform::ClearFaultPlan();
  EXPECT_NE(platform::FreeDiskMegabytes(platform::TempFolder()), 7);
}

}  // namespace

namespace {

TEST(PlatformProcesses, KillEndsAndReapsTheChild) {
#ifndef _WIN32
  const int pid = platform::StartProgram("/bin/sleep", {"30"});
#else
  const int pid = StartChild("sleep");
#endif
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(platform::IsProcessAlive(pid));
  EXPECT_TRUE(platform::KillProgram(pid));
  EXPECT_FALSE(platform::IsProcessAlive(pid));  // reaped: no zombie left
  EXPECT_FALSE(platform::KillProgram(0));
  EXPECT_EQ(platform::StartProgram("/no/such/program", {}), -1);
}

TEST(PlatformProcesses, ChildrenInheritTheEnvironment) {
  TempFolder dir;
  ASSERT_TRUE(platform::SetEnvironmentVariable("titel", "Datei wird gepackt"));
#ifndef _WIN32
  const int pid =
      platform::StartProgram("/bin/sh", {"-c", "printf %s \"$titel\" > " + (dir / "seen")});
#else
  const int pid = StartChild("titel:" + (dir / "seen"));
#endif
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 500 && platform::FileSize(dir / "seen") <= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  platform::KillProgram(pid);
  const auto seen = ReadFile(dir / "seen");
  EXPECT_EQ(std::string(seen.begin(), seen.end()), "Datei wird gepackt");
}

TEST(PlatformInstance, SecondHolderOfTheLockIsRefused) {
  TempFolder dir;
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  SetEnv("XDG_RUNTIME_DIR", dir.path());
  using platform::InstanceLock;
  EXPECT_EQ(platform::AcquireInstanceLock("1_xy_z_11_12_13"), InstanceLock::kAcquired);
  EXPECT_EQ(platform::AcquireInstanceLock("1_xy_z_11_12_13"), InstanceLock::kHeldElsewhere);
  EXPECT_EQ(platform::AcquireInstanceLock("another-name"), InstanceLock::kAcquired);
  // A lock file that cannot be made is no reason to keep the user out.
#ifndef _WIN32
  ASSERT_TRUE(platform::MakeFolders(dir / "a-folder-in-the-way"));
#else
  // The mutex's name taken by another kind of object is Windows' way in.
  const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, L"a-folder-in-the-way");
  ASSERT_NE(event, nullptr);
#endif
  EXPECT_EQ(platform::AcquireInstanceLock("a-folder-in-the-way"), InstanceLock::kUnavailable);
#ifdef _WIN32
  ::CloseHandle(event);
#endif
  if (old)
    SetEnv("XDG_RUNTIME_DIR", saved);
  else
    UnsetEnv("XDG_RUNTIME_DIR");
}

}  // namespace
