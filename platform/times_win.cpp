// Last-write times in local time, and the read-only attribute, on Windows.
// Local time follows the zone's rules for the date in question (daylight
// saving included), as localtime_r and mktime do on Linux.
#include "platform/platform.h"
#include "platform/win32_util.h"

namespace platform {
namespace {

using internal::Examine;
using internal::Handle;
using internal::WidePath;

// The st_mode bits a Windows file offers: its type, and write permission
// unless it is read-only. Windows knows no execute or group bits.
constexpr std::uint32_t kFolderMode = 0040000 | 0755;
constexpr std::uint32_t kFileMode = 0100000 | 0644;
constexpr std::uint32_t kOwnerWrite = 0200;

}  // namespace

std::optional<LocalTime> LastWriteTime(const std::string& path) {
  const auto info = Examine(path, true);
  if (!info || !info->isDisk) return std::nullopt;
  SYSTEMTIME utc;
  SYSTEMTIME local;
  if (!::FileTimeToSystemTime(&info->lastWrite, &utc) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::nullopt;
  }
  LocalTime t;
  t.year = local.wYear;
  t.month = local.wMonth;
  t.day = local.wDay;
  t.hour = local.wHour;
  t.minute = local.wMinute;
  t.second = local.wSecond;
  return t;
}

bool SetLastWriteTime(const std::string& path, const LocalTime& time) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(time.year);
  local.wMonth = static_cast<WORD>(time.month);
  local.wDay = static_cast<WORD>(time.day);
  local.wHour = static_cast<WORD>(time.hour);
  local.wMinute = static_cast<WORD>(time.minute);
  local.wSecond = static_cast<WORD>(time.second);
  SYSTEMTIME utc;
  FILETIME written;
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
      !::SystemTimeToFileTime(&utc, &written)) {
    return false;
  }
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  // The link itself, never its target; the access time stays.
  Handle h(::CreateFileW(
      wide.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return h.ok() && ::SetFileTime(h.get(), nullptr, nullptr, &written) != 0;
}

std::optional<std::uint32_t> FileMode(const std::string& path) {
  const auto info = Examine(path, true);
  if (!info) return std::nullopt;
  if (!info->isDisk) return std::uint32_t{0020000 | 0666};  // a character device
  std::uint32_t mode = (info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? kFolderMode : kFileMode;
  if ((info->attributes & FILE_ATTRIBUTE_READONLY) != 0) mode &= ~std::uint32_t{0222};
  return mode;
}

bool SetFileMode(const std::string& path, std::uint32_t mode) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  DWORD wanted = (mode & kOwnerWrite) == 0 ? attributes | FILE_ATTRIBUTE_READONLY
                                           : attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  if (wanted == attributes) return true;
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  return ::SetFileAttributesW(wide.c_str(), wanted) != 0;
}

bool SetSharedFileMode(const std::string& path) {
  // No umask on Windows: a shared file is a writable one, with the access
  // list its folder passes on instead of the private one it was made with.
  return SetFileMode(path, 0666) && internal::InheritAccess(WidePath(path));
}

}  // namespace platform
