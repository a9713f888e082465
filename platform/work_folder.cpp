// Private working folders, their owner records, the sweep of folders left by
// killed runs, and the clean-up on SIGINT, SIGTERM and SIGHUP.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/work_folder_internal.h"

namespace platform {
namespace {

using internal::kOwnerRecord;
using internal::kRecordLimitBytes;
using internal::OwnerRecord;
constexpr mode_t kPrivateFolderMode = 0700;
// A tree that another thread of this process still writes into may need a
// second pass before its folder is empty.
constexpr int kRemovePasses = 8;

// ---------------------------------------------------------------- removal

// Removes name below the folder parentFd, whatever it is, never following a
// link: a link is removed as a link.
bool RemoveTreeAt(int parentFd, const char* name) {
  const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    if (errno != ENOTDIR && errno != ELOOP) return false;
    return ::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT;
  }
  // A restored folder may be read-only; its entries must go all the same.
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0700) != 0700) {
    ::fchmod(fd, st.st_mode | 0700);
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return false;
  }
  // What cannot be removed shows when the folder itself cannot be.
  while (const dirent* entry = ::readdir(dir)) {
    const char* child = entry->d_name;
    if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0) continue;
    if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
      RemoveTreeAt(::dirfd(dir), child);
    } else {
      ::unlinkat(::dirfd(dir), child, 0);
    }
  }
  ::closedir(dir);
  return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// Splits a path into its folder (opened) and its last name.
struct ParentAndName {
  int parentFd = -1;
  std::string name;
};

ParentAndName OpenParent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  ParentAndName result;
  result.name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (result.name.empty() || result.name == "." || result.name == "..") return result;
  result.parentFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return result;
}

// ---------------------------------------------------------- owner records

std::string ReadSmallFile(int dirFd, const char* name) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  std::string text(kRecordLimitBytes, '\0');
  std::size_t done = 0;
  for (;;) {
    const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
    if (done == text.size()) break;
  }
  ::close(fd);
  text.resize(done);
  return text;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string BootId() {
  std::string id = ReadSmallFile(AT_FDCWD, "/proc/sys/kernel/random/boot_id");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

// The start time of process pid in clock ticks after boot (field 22 of its
// stat line), or "" when there is no such process.
std::string ProcessStartTime(long pid) {
  const std::string stat =
      ReadSmallFile(AT_FDCWD, ("/proc/" + std::to_string(pid) + "/stat").c_str());
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return "";
  std::size_t pos = close + 2;  // field 3, the state
  for (int field = 3; field < 22 && pos != std::string::npos; ++field) {
    pos = stat.find(' ', pos);
    if (pos != std::string::npos) ++pos;
  }
  if (pos == std::string::npos) return "";
  return stat.substr(pos, stat.find(' ', pos) - pos);
}

OwnerRecord ThisProcess() {
  OwnerRecord record;
  record.host = HostName();
  record.boot = BootId();
  record.pid = std::to_string(::getpid());
  record.start = ProcessStartTime(::getpid());
  return record;
}

// Returns true iff the record names a process of this host that is gone.
bool OwnerIsGone(const OwnerRecord& record) {
  if (record.host != HostName()) return false;
  if (record.boot != BootId()) return true;  // the machine was started anew
  char* end = nullptr;
  const long pid = std::strtol(record.pid.c_str(), &end, 10);
  if (end == record.pid.c_str() || *end != '\0' || pid <= 0) return false;
  const std::string start = ProcessStartTime(pid);
  return start.empty() || start != record.start;
}

}  // namespace

namespace internal {

// Removes the folder at path with everything below it, never following a
// link (a link inside is removed as a link). Returns true iff it is gone.
bool RemoveTree(const std::string& path) {
  const ParentAndName target = OpenParent(path);
  if (target.parentFd < 0) return false;
  bool gone = false;
  for (int pass = 0; pass < kRemovePasses && !gone; ++pass) {
    gone = RemoveTreeAt(target.parentFd, target.name.c_str());
  }
  ::close(target.parentFd);
  return gone;
}

void UndoCreatedLocked(Slot& slot) {
  for (auto it = slot.created.rbegin(); it != slot.created.rend(); ++it) {
    switch (it->second) {
      case Made::kFile:
        ::unlink(it->first.c_str());
        break;
      case Made::kFolder:
        ::rmdir(it->first.c_str());
        break;
      case Made::kTree:
        RemoveTree(it->first);
        break;
    }
  }
  slot.created.clear();
}

}  // namespace internal

using internal::FormatRecord;
using internal::Made;
using internal::ParseRecord;
using internal::RegistryMutex;
using internal::RemoveTree;
using internal::Slots;

int SweepStaleWorkFolders(const std::string& parent) {
  const int parentFd =
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parentFd < 0) return 0;
  DIR* dir = ::fdopendir(::dup(parentFd));
  if (dir == nullptr) {
    ::close(parentFd);
    return 0;
  }
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, kWorkFolderPrefix.size()) != kWorkFolderPrefix) continue;
    const int fd =
        ::openat(parentFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    OwnerRecord record;
    const bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
                      (st.st_mode & 07777) == kPrivateFolderMode &&
                      ParseRecord(ReadSmallFile(fd, kOwnerRecord.data()), &record);
    ::close(fd);
    if (ours && OwnerIsGone(record)) stale.emplace_back(name);
  }
  ::closedir(dir);
  int removed = 0;
  for (const std::string& name : stale) {
    if (RemoveTreeAt(parentFd, name.c_str())) ++removed;
  }
  ::close(parentFd);
  return removed;
}

WorkFolder WorkFolder::Create(const std::string& parent) {
  std::string base = parent.empty() ? "./" : parent;
  if (base.back() != '/') base.push_back('/');
  SweepStaleWorkFolders(base);

  WorkFolder folder;
  std::string pattern = base + std::string(kWorkFolderPrefix) + "XXXXXX";
  {
    std::lock_guard lock(RegistryMutex());
    if (internal::ShouldFail(internal::Fault::kOpenForWrite)) {
      errno = EROFS;
      return folder;
    }
    if (::mkdtemp(pattern.data()) == nullptr) return folder;
    ::chmod(pattern.c_str(), kPrivateFolderMode);
    folder.slot_ = internal::RegisterLocked(pattern);
    folder.path_ = pattern + "/";
  }
  const std::string record = FormatRecord(ThisProcess());
  const int fd = ::open((folder.path_ + std::string(kOwnerRecord)).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const bool written =
      fd >= 0 && ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
  if (fd >= 0) ::close(fd);
  if (!written) folder.Remove();
  return folder;
}

bool WorkFolder::MakeFolderOutside(const std::string& path) {
  if (!ok()) return false;
  std::lock_guard lock(RegistryMutex());
  if (::mkdir(path.c_str(), 0777) == 0) {
    Slots()[static_cast<std::size_t>(slot_)].created.emplace_back(path, Made::kFolder);
    return true;
  }
  return errno == EEXIST && KindOfPath(path) == PathKind::kFolder;
}

void InstallInterruptCleanup(InterruptNotice notice) {
  static std::once_flag once;
  std::call_once(once, [notice] {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A flow that fails because its files went must not end the process
    // with its own code before the clean-up has.
    std::atexit(internal::WaitIfStopping);
    std::thread([signals, notice] {
      int signal = 0;
      while (sigwait(&signals, &signal) != 0) {
      }
      internal::RemoveEverythingForInterrupt();
      if (notice != nullptr) notice(signal);
      ::_exit(128 + signal);
    }).detach();
  });
}

}  // namespace platform
