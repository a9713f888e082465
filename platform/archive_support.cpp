// What the archive walk and extraction ask of the file system beyond the
// common calls.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {

bool IsSymbolicLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::optional<std::vector<FolderEntry>> ListFolderComplete(const std::string& folder) {
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
