// The two POSIX calls the shared test support uses that MinGW's C runtime
// lacks, for the engine's tests on Windows (force-included there only).
#ifndef TRESOLIN_TESTS_CIPHERKERN_POSIX_COMPAT_WIN_H_
#define TRESOLIN_TESTS_CIPHERKERN_POSIX_COMPAT_WIN_H_

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <sys/stat.h>

#include <cstring>

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

// Windows has no symbolic links that these tests make; stat does.
inline int lstat(const char* path, struct stat* st) {
  return stat(path, st);
}
#endif

#endif  // TRESOLIN_TESTS_CIPHERKERN_POSIX_COMPAT_WIN_H_
