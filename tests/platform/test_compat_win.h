// Windows only: what the shared test support and the platform tests need
// from POSIX that MinGW's C runtime lacks. Include before
// tests/support/temp_folder.h.
#ifndef TRESOLIN_TESTS_PLATFORM_TEST_COMPAT_WIN_H_
#define TRESOLIN_TESTS_PLATFORM_TEST_COMPAT_WIN_H_

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#undef DeleteFile
#undef ReplaceFile
#undef SetEnvironmentVariable

// Replaces the trailing "XXXXXX" by a name not yet taken and makes that
// folder. Returns the template, or null when no folder could be made.
inline char* mkdtemp(char* name) {
  const std::size_t n = std::strlen(name);
  if (n < 6 || std::strcmp(name + n - 6, "XXXXXX") != 0) return nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::memcpy(name + n - 6, "XXXXXX", 6);
    if (_mktemp_s(name, n + 1) != 0) return nullptr;
    if (_mkdir(name) == 0) return name;
  }
  return nullptr;
}

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
#endif

#endif  // TRESOLIN_TESTS_PLATFORM_TEST_COMPAT_WIN_H_
