// Files: open, read, write, seek, rename, delete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/faults.h"
#include "platform/platform.h"

namespace platform {
namespace {

using internal::Fault;
using internal::ShouldFail;

int RetryOpen(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

bool Status::IsFullDisk() const {
  return cause == Cause::kNoSpace || systemError == ENOSPC || systemError == EDQUOT;
}

Status ExamineFileToRead(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    const int error = errno;
    return Status::Of(error == ENOENT ? Cause::kMissing : Cause::kNoAccess, path, error);
  }
  if (S_ISDIR(st.st_mode)) return Status::Of(Cause::kFolder, path);
  if (!S_ISREG(st.st_mode)) return Status::Of(Cause::kSpecial, path);
  const int fd = RetryOpen(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return Status::Of(Cause::kNoAccess, path, errno);
  ::close(fd);
  return Status::Ok();
}

File File::Open(const std::string& path, OpenMode mode, bool noFollow) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::kRead:
      flags |= O_RDONLY;
      break;
    case OpenMode::kUpdate:
      flags |= O_RDWR;
      break;
    case OpenMode::kCreateNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
  }
  if (noFollow) flags |= O_NOFOLLOW;
  if (mode != OpenMode::kRead) internal::WaitIfStopping();
  if (ShouldFail(mode == OpenMode::kRead ? Fault::kOpenForRead : Fault::kOpenForWrite)) {
    return Failed(EIO);
  }
  // Non-blocking for the open alone: opening a FIFO would otherwise wait for
  // a writer. Only regular files are data; a folder opens read-only on Linux.
  const int fd = RetryOpen(path.c_str(), flags | O_NONBLOCK, 0600);
  if (fd < 0) return Failed(errno);
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    error = ENXIO;  // a device or socket: no data file
  } else if (::fcntl(fd, F_SETFL, 0) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::close(fd);
    return Failed(error);
  }
  return File(fd);
}

std::int64_t File::Read(std::span<std::uint8_t> out) {
  if (fd_ < 0) return -1;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd_, out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

bool File::Write(std::span<const std::uint8_t> data) {
  if (fd_ < 0) return false;
  if (ShouldFail(Fault::kWrite)) {
    errno = ENOSPC;
    error_ = ENOSPC;
    return false;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Seek(std::int64_t offset) {
  if (fd_ < 0 || offset < 0) return false;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::int64_t File::Position() const {
  if (fd_ < 0) return -1;
  return ::lseek(fd_, 0, SEEK_CUR);
}

std::int64_t File::Size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool File::SetMode(std::uint32_t mode) {
  return fd_ >= 0 && ::fchmod(fd_, static_cast<mode_t>(mode & 07777)) == 0;
}

bool File::Sync() {
  if (fd_ < 0) return false;
  if (::fsync(fd_) == 0) return true;
  error_ = errno;
  return false;
}

bool File::Close() {
  if (fd_ < 0) return false;
  const int rc = ::close(fd_);
  if (rc != 0) error_ = errno;
  fd_ = -1;
  return rc == 0;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsSymbolicLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool DeleteFile(const std::string& path) {
  if (ShouldFail(Fault::kDelete)) return false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  internal::WaitIfStopping();
  if (ShouldFail(Fault::kRename)) return false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: link() refuses an existing target
  // just the same, and the old name goes only once the new one stands.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  const PathKind existing = KindOfPath(to);
  if (existing == PathKind::kMissing) return RenameFile(from, to);
  if (existing != PathKind::kFile) return false;
  internal::WaitIfStopping();
  if (ShouldFail(Fault::kRename)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool MakeSymbolicLink(const std::string& target, const std::string& linkPath) {
  internal::WaitIfStopping();
  return ::symlink(target.c_str(), linkPath.c_str()) == 0;
}

bool MakeStandIn(const std::string& source, const std::string& standIn) {
  return MakeSymbolicLink(AbsolutePath(source), standIn);
}

PathKind KindOfPath(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISREG(st.st_mode)) return PathKind::kFile;
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  return PathKind::kSpecial;
}

bool SyncFolder(const std::string& folder) {
  const int fd =
      RetryOpen(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace platform
