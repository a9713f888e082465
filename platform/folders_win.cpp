// Folders on Windows: the program's own place, the temporary folder, the
// current folder, free space and folder listings. Paths come back with "/".
#include <cerrno>
#include <climits>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/win32_util.h"

namespace platform {
namespace {

using internal::Examine;
using internal::ProgramPath;
using internal::WidePath;

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

// Calls get(buffer, size) until the buffer holds the whole answer.
template <typename Get>
std::wstring GrowingCall(Get get) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = get(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(static_cast<std::size_t>(n) + MAX_PATH);
  }
  return std::wstring();
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

}  // namespace

std::string ProgramFolder() {
  const std::wstring exe =
      GrowingCall([](wchar_t* b, DWORD n) { return ::GetModuleFileNameW(nullptr, b, n); });
  if (exe.empty()) return "./";
  const std::string path = ProgramPath(exe);
  return path.substr(0, path.rfind('/') + 1);
}

std::string TempFolder() {
  // GetTempPathW answers from TMP, TEMP or the user's profile; the long
  // form names the folder the way a listing shows it.
  const std::wstring temp = GrowingCall([](wchar_t* b, DWORD n) { return ::GetTempPathW(n, b); });
  const std::wstring longForm =
      GrowingCall([&](wchar_t* b, DWORD n) { return ::GetLongPathNameW(temp.c_str(), b, n); });
  if (!longForm.empty() && IsFolder(ProgramPath(longForm))) return WithSlash(ProgramPath(longForm));
  // GetTempPathW does not check that its answer exists; the system's own
  // temporary folder stands in, as /tmp does on Linux.
  const std::wstring windows =
      GrowingCall([](wchar_t* b, DWORD n) { return ::GetSystemWindowsDirectoryW(b, n); });
  return WithSlash(ProgramPath(windows.empty() ? temp : windows + L"\\Temp"));
}

std::string CurrentFolder() {
  const std::wstring cwd =
      GrowingCall([](wchar_t* b, DWORD n) { return ::GetCurrentDirectoryW(n, b); });
  if (cwd.empty()) return "";
  std::string path = ProgramPath(cwd);
  // "C:/" stays whole: it is the root, as "/" is on Linux.
  if (path.size() > 3 && path.back() == '/') path.pop_back();
  return path;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || IsSeparator(path.front())) return path;
  if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) return path;
  std::string base = CurrentFolder();
  if (base.empty()) return path;
  if (base.back() != '/') base.push_back('/');
  return path.rfind("./", 0) == 0 ? base + path.substr(2) : base + path;
}

bool SetCurrentFolder(const std::string& path) {
  const std::wstring wide = WidePath(path);
  return !wide.empty() && ::SetCurrentDirectoryW(wide.c_str()) != 0;
}

bool IsFolder(const std::string& path) {
  const auto info = Examine(path, true);
  return info && info->isDisk && (info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  if (IsFolder(path)) return true;
  // Create each missing component from the top down; a share's server and
  // name ("//server/share") are no folders to create.
  std::size_t pos = 0;
  if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    pos = path.find_first_of("/\\", 2);
    if (pos != std::string::npos) pos = path.find_first_of("/\\", pos + 1);
    if (pos == std::string::npos) return false;
  }
  while (pos != std::string::npos) {
    pos = path.find_first_of("/\\", pos + 1);
    const std::string part = path.substr(0, pos);
    if (part.empty() || IsFolder(part)) continue;
    internal::WaitIfStopping();
    const std::wstring wide = WidePath(part);
    if (wide.empty()) return false;
    if (!::CreateDirectoryW(wide.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return IsFolder(path);
}

bool RemoveEmptyFolder(const std::string& path) {
  // RemoveDirectoryW would also remove a link to a folder; rmdir does not.
  if (KindOfPath(path) != PathKind::kFolder) return false;
  return ::RemoveDirectoryW(WidePath(path).c_str()) != 0;
}

std::int32_t FreeDiskMegabytes(const std::string& folder) {
  std::int32_t forced;
  if (internal::FreeSpaceOverride(&forced)) return forced;
  std::wstring wide = WidePath(folder.empty() ? std::string(".") : folder);
  if (wide.empty()) return -1;
  if (wide.back() != L'\\') wide.push_back(L'\\');  // the call wants a folder
  ULARGE_INTEGER available;
  ULARGE_INTEGER total;
  ULARGE_INTEGER free;  // all free bytes, also those beyond the user's quota
  if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, &total, &free)) return -1;
  const unsigned long long megabytes = free.QuadPart / 1048576ULL;
  // As on Linux: more than 2^31 MiB free is reported as the largest count.
  return megabytes > static_cast<unsigned long long>(INT32_MAX)
             ? INT32_MAX
             : static_cast<std::int32_t>(megabytes);
}

std::optional<std::vector<FolderEntry>> ListFolder(const std::string& folder) {
  if (!IsFolder(folder)) return std::nullopt;
  const std::string base = folder.empty() || IsSeparator(folder.back()) ? folder : folder + "/";
  const std::wstring pattern = WidePath(base + "*");
  if (pattern.empty()) return std::nullopt;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  std::vector<FolderEntry> entries;
  if (search == INVALID_HANDLE_VALUE) {
    // A drive's root may have no entries at all, not even "." and "..".
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return entries;
    return std::nullopt;
  }
  bool failed = false;
  do {
    const std::wstring_view wname = found.cFileName;
    if (wname == L"." || wname == L"..") continue;
    FolderEntry entry;
    entry.name = internal::WideToUtf8(wname);
    entry.isLink = internal::IsLinkTag(found.dwFileAttributes, found.dwReserved0);
    DWORD attributes = found.dwFileAttributes;
    if (entry.isLink) {
      int error = 0;
      const auto target = Examine(base + entry.name, true, &error);
      if (!target) {
        // A dangling link or a loop is no data; a target that cannot be
        // examined may be.
        if (error != ENOENT && error != ELOOP && error != ENOTDIR) {
          failed = true;
          break;
        }
        entry.type = EntryType::kOther;
        entries.push_back(std::move(entry));
        continue;
      }
      if (!target->isDisk) {
        entry.type = EntryType::kOther;
        entries.push_back(std::move(entry));
        continue;
      }
      attributes = target->attributes;
    }
    entry.type =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryType::kFolder : EntryType::kFile;
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(search, &found));
  if (!failed && ::GetLastError() != ERROR_NO_MORE_FILES) failed = true;
  ::FindClose(search);
  if (failed) return std::nullopt;
  return entries;
}

}  // namespace platform
