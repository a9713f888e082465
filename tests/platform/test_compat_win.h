// Windows only: what the platform tests need from POSIX that MinGW's C
// runtime lacks.
#ifndef TRESOLIN_TESTS_PLATFORM_TEST_COMPAT_WIN_H_
#define TRESOLIN_TESTS_PLATFORM_TEST_COMPAT_WIN_H_

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "platform/platform.h"
#undef DeleteFile
#undef ReplaceFile
#undef SetEnvironmentVariable

// stat, but a link (reparse point) is reported as one and never followed:
// the tests ask whether a link itself, even a dangling one, is there.
inline int lstat(const char* path, struct stat* st) {
  if (platform::KindOfPath(path) == platform::PathKind::kLink) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = 0120000;  // S_IFLNK, which MinGW does not name
    return 0;
  }
  return stat(path, st);
}

namespace testing_support {

// The path of this test program, as the program spells paths.
inline std::string ThisProgram() {
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::string path(n * 3, '\0');
  path.resize(static_cast<std::size_t>(
      ::WideCharToMultiByte(CP_UTF8, 0, self, static_cast<int>(n), path.data(),
                            static_cast<int>(path.size()), nullptr, nullptr)));
  return path;
}

// Windows has no fork, /bin/sleep or /bin/sh: this test program plays the
// child, as TRESOLIN_TEST_CHILD tells it, before any test runs.
//   sleep            sleeps 30 s
//   titel:<file>     writes $titel to file, then sleeps
//   interrupt:<event>:<dir>
//                    a run with the interrupt clean-up that has made files
//                    in dir; then, on a console of its own, it is sent the
//                    console event number <event> and waits for its end
//   anything else    ends at once
inline const bool g_playedChild = [] {
  const char* role = std::getenv("TRESOLIN_TEST_CHILD");
  if (role == nullptr || *role == '\0') return false;
  const std::string what = role;
  auto write = [](const std::string& path, const std::string& text) {
    platform::File file = platform::File::Open(path, platform::OpenMode::kCreateNew);
    (void)file.Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  };
  if (what == "sleep") ::Sleep(30000);
  if (what.rfind("titel:", 0) == 0) {
    const char* titel = std::getenv("titel");
    write(what.substr(6), titel ? titel : "");
    ::Sleep(30000);
  }
  if (what.rfind("interrupt:", 0) == 0) {
    const std::size_t colon = what.find(':', 10);
    const DWORD event = static_cast<DWORD>(std::atoi(what.substr(10, colon - 10).c_str()));
    const std::string dir = what.substr(colon + 1);
    platform::InstallInterruptCleanup();
    // Leaked on purpose: the process ends by the event, as a run would.
    auto* work = new platform::WorkFolder(platform::WorkFolder::Create(dir));
    write(*work / "plain", "geheim");
    write(*work / "half", "halb");
    work->MakeFolderOutside(dir + "/restored");
    work->MoveOut(*work / "half", dir + "/restored/half");
    // A console of its own, so that the event reaches this process alone,
    // also where the tests run without one (Wine under ctest).
    ::FreeConsole();
    if (::AllocConsole() && ::GenerateConsoleCtrlEvent(event, 0)) {
      for (;;) ::Sleep(1000);
    }
    std::exit(99);
  }
  std::exit(0);
}();

// Starts this program in the child role (see g_playedChild): the role is
// inherited through the environment and cleared again at once.
inline int StartChild(const std::string& role) {
  platform::SetEnvironmentVariable("TRESOLIN_TEST_CHILD", role);
  const int pid = platform::StartProgram(ThisProgram(), {});
  platform::SetEnvironmentVariable("TRESOLIN_TEST_CHILD", "");
  return pid;
}

}  // namespace testing_support
#endif

#endif  // TRESOLIN_TESTS_PLATFORM_TEST_COMPAT_WIN_H_
