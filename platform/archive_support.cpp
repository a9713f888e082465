// What archive extraction asks of the file system beyond the common calls.
#include <sys/stat.h>

#include "platform/platform.h"

namespace platform {

bool IsSymbolicLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace platform
