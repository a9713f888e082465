// Folders, the program's own place, the temporary folder and free space.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/faults.h"
#include "platform/platform.h"

namespace platform {
namespace {

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return "";
  std::string result(resolved);
  std::free(resolved);
  return result;
}

}  // namespace

std::string ProgramFolder() {
  std::string exe(PATH_MAX, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
  if (n <= 0) return "./";
  exe.resize(static_cast<std::size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1);
}

std::string TempFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && *tmpdir != '\0' && IsFolder(tmpdir)) {
    const std::string real = RealPath(tmpdir);
    if (!real.empty()) return WithSlash(real);
  }
  const std::string real = RealPath("/tmp");
  return WithSlash(real.empty() ? "/tmp" : real);
}

std::string CurrentFolder() {
  std::string cwd(PATH_MAX, '\0');
  if (::getcwd(cwd.data(), cwd.size()) == nullptr) return "";
  cwd.resize(std::char_traits<char>::length(cwd.c_str()));
  return cwd;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::string base = CurrentFolder();
  if (base.empty()) return path;
  if (base.back() != '/') base.push_back('/');
  return path.rfind("./", 0) == 0 ? base + path.substr(2) : base + path;
}

bool SetCurrentFolder(const std::string& path) {
  return ::chdir(path.c_str()) == 0;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  if (IsFolder(path)) return true;
  // Create each missing component from the top down.
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string part = path.substr(0, pos);
    if (part.empty() || IsFolder(part)) continue;
    internal::WaitIfStopping();
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return IsFolder(path);
}

bool RemoveEmptyFolder(const std::string& path) {
  return ::rmdir(path.c_str()) == 0;
}

std::int32_t FreeDiskMegabytes(const std::string& folder) {
  std::int32_t forced;
  if (internal::FreeSpaceOverride(&forced)) return forced;
  struct statvfs vfs;
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &vfs) != 0) return -1;
  const unsigned long long bytes =
      static_cast<unsigned long long>(vfs.f_bfree) * static_cast<unsigned long long>(vfs.f_frsize);
  const unsigned long long megabytes = bytes / 1048576ULL;
  // The result is a signed 32-bit count: a volume with more than 2^31 MiB
  // free is reported as the largest count, which passes every space check.
  return megabytes > static_cast<unsigned long long>(INT32_MAX)
             ? INT32_MAX
             : static_cast<std::int32_t>(megabytes);
}

std::optional<std::vector<FolderEntry>> ListFolder(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<FolderEntry> entries;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  bool failed = false;
  errno = 0;
  while (const dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = base + name;
    struct stat lst;
    if (::lstat(full.c_str(), &lst) != 0) {
      if (errno == ENOENT) {
        errno = 0;
        continue;
      }
      failed = true;
      break;
    }
    FolderEntry entry;
    entry.name = name;
    entry.isLink = S_ISLNK(lst.st_mode);
    struct stat st = lst;
    if (entry.isLink && ::stat(full.c_str(), &st) != 0) {
      // A dangling link or a loop is no data; a target that cannot be
      // examined may be.
      if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
        failed = true;
        break;
      }
      entry.type = EntryType::kOther;
    } else if (S_ISREG(st.st_mode)) {
      entry.type = EntryType::kFile;
    } else if (S_ISDIR(st.st_mode)) {
      entry.type = EntryType::kFolder;
    } else {
      entry.type = EntryType::kOther;
    }
    entries.push_back(std::move(entry));
    errno = 0;
  }
  if (errno != 0) failed = true;
  ::closedir(dir);
  if (failed) return std::nullopt;
  return entries;
}

}  // namespace platform
