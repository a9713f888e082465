// Internal, Windows only: the boundary between the program's UTF-8 paths
// and the system's UTF-16, system errors as errno values, and what is at a
// path, with or without following a link (reparse point).
#ifndef TRESOLIN_PLATFORM_WIN32_UTIL_H_
#define TRESOLIN_PLATFORM_WIN32_UTIL_H_

#include <windows.h>
// <windows.h> names these after its own A/W functions; platform.h declares
// functions of the same names, which must keep them in every source.
#undef DeleteFile
#undef ReplaceFile
#undef SetEnvironmentVariable

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::internal {

// UTF-8 to UTF-16, or nullopt when the text is not valid UTF-8.
std::optional<std::wstring> Utf8ToWide(std::string_view utf8);
// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
std::string WideToUtf8(std::wstring_view wide);

// A path for the system: UTF-16 with "\" separators. Returns "" for a path
// that is not valid UTF-8 (no system call accepts an empty path).
std::wstring WidePath(const std::string& path);
// A path from the system, as the program spells it: UTF-8 with "/".
std::string ProgramPath(std::wstring_view wide);

// The errno value closest to a Win32 error code (EIO when none fits).
int ErrnoOf(DWORD error);

// What is at a path.
struct PathInfo {
  DWORD attributes = 0;
  std::uint64_t size = 0;
  DWORD volume = 0;
  std::uint64_t index = 0;  // with volume, the file's identity
  bool isLink = false;      // a symbolic link or junction (name surrogate)
  bool isDisk = true;       // false for a device, pipe or console
  FILETIME lastWrite{};
};

// Examines path; follow = false examines a link itself. Returns nullopt and
// sets *error (errno) when nothing can be examined there.
std::optional<PathInfo> Examine(const std::string& path, bool follow, int* error = nullptr);

// Returns true iff the attributes of an entry with this reparse tag name
// another place (symbolic link, junction), which we never follow unasked.
bool IsLinkTag(DWORD attributes, DWORD reparseTag);

// A handle closed on destruction.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() {
    if (ok()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// The SID of the user this process runs as, or nullptr.
PSID UserSid();

// A security descriptor for private files and folders (mode 0600 and 0700
// on Linux): owned by this user, whose access list, protected from the
// parent's, admits this user alone and is inherited by what is made inside.
class PrivateSecurity {
 public:
  PrivateSecurity();
  ~PrivateSecurity();
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;

  // The attributes to create with, or nullptr when none could be made.
  SECURITY_ATTRIBUTES* attributes();

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

// Puts path back on the access list it inherits from its folder, as a file
// made there without one would have. Returns true iff done.
bool InheritAccess(const std::wstring& path);

}  // namespace platform::internal

#endif  // TRESOLIN_PLATFORM_WIN32_UTIL_H_
