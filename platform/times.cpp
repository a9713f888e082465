// Last-write times in local time, and permission bits.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

#include "platform/platform.h"

namespace platform {

std::optional<LocalTime> LastWriteTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  struct tm local;
  const time_t seconds = st.st_mtim.tv_sec;
  if (::localtime_r(&seconds, &local) == nullptr) return std::nullopt;
  LocalTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  return t;
}

bool SetLastWriteTime(const std::string& path, const LocalTime& time) {
  struct tm local {};
  local.tm_year = time.year - 1900;
  local.tm_mon = time.month - 1;
  local.tm_mday = time.day;
  local.tm_hour = time.hour;
  local.tm_min = time.minute;
  local.tm_sec = time.second;
  local.tm_isdst = -1;  // let the zone rules decide, as a local clock reading
  const time_t seconds = ::mktime(&local);
  if (seconds == static_cast<time_t>(-1)) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time stays
  times[1].tv_sec = seconds;
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<std::uint32_t> FileMode(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint32_t>(st.st_mode);
}

bool SetFileMode(const std::string& path, std::uint32_t mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) == 0;
}

bool SetSharedFileMode(const std::string& path) {
  // The umask can only be read by setting it; put it straight back.
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return SetFileMode(path, 0666 & ~mask);
}

}  // namespace platform
