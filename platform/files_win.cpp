// Files on Windows: open, read, write, seek, rename, delete. A File keeps a
// C runtime descriptor over its handle, so the class is the same on both
// systems; every operation goes to the handle itself.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <vector>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/win32_util.h"

namespace platform {
namespace {

using internal::ErrnoOf;
using internal::Examine;
using internal::Fault;
using internal::Handle;
using internal::ShouldFail;
using internal::WidePath;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// Clears the read-only attribute that would stop a delete or replace of a
// file the program is entitled to remove. Returns the old attributes, or
// INVALID_FILE_ATTRIBUTES when nothing was changed.
DWORD ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes;
}

}  // namespace

bool Status::IsFullDisk() const {
  return cause == Cause::kNoSpace || systemError == ENOSPC;
}

Status ExamineFileToRead(const std::string& path) {
  int error = 0;
  const auto info = Examine(path, true, &error);
  if (!info) return Status::Of(error == ENOENT ? Cause::kMissing : Cause::kNoAccess, path, error);
  if (!info->isDisk) return Status::Of(Cause::kSpecial, path);
  if ((info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Status::Of(Cause::kFolder, path);
  Handle h(::CreateFileW(WidePath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) return Status::Of(Cause::kNoAccess, path, ErrnoOf(::GetLastError()));
  return Status::Ok();
}

File File::Open(const std::string& path, OpenMode mode, bool noFollow) {
  DWORD access = 0;
  DWORD disposition = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
    case OpenMode::kRead:
      access = GENERIC_READ;
      break;
    case OpenMode::kUpdate:
      access = GENERIC_READ | GENERIC_WRITE;
      break;
    case OpenMode::kCreateNew:
      // CREATE_NEW fails on any existing name, a dangling link included.
      access = GENERIC_WRITE;
      disposition = CREATE_NEW;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;
      break;
  }
  if (noFollow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  if (mode != OpenMode::kRead) internal::WaitIfStopping();
  if (ShouldFail(mode == OpenMode::kRead ? Fault::kOpenForRead : Fault::kOpenForWrite)) {
    return Failed(EIO);
  }
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return Failed(ENOENT);
  // A new file is private (mode 0600 on Linux) until SetSharedFileMode.
  internal::PrivateSecurity security;
  SECURITY_ATTRIBUTES* attributes = nullptr;
  if (mode == OpenMode::kCreateNew) {
    attributes = security.attributes();
    if (attributes == nullptr) return Failed(EACCES);
  }
  // Shared like a POSIX descriptor: others may read, write, rename or delete.
  HANDLE h =
      ::CreateFileW(wide.c_str(), access, kShareAll, attributes, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A folder cannot be opened for data; say so as Linux does.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Failed(EISDIR);
    }
    return Failed(ErrnoOf(error));
  }
  int error = 0;
  BY_HANDLE_FILE_INFORMATION data;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    error = ENXIO;  // a device, pipe or console: no data file
  } else if (!::GetFileInformationByHandle(h, &data)) {
    error = ErrnoOf(::GetLastError());
  } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = EISDIR;
  } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
             (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0) {
    error = ELOOP;  // the link itself was opened: never write through one
  }
  if (error != 0) {
    ::CloseHandle(h);
    return Failed(error);
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h),
                                   _O_BINARY | (mode == OpenMode::kRead ? _O_RDONLY : 0));
  if (fd < 0) {
    ::CloseHandle(h);
    return Failed(EMFILE);
  }
  return File(fd);
}

std::int64_t File::Read(std::span<std::uint8_t> out) {
  if (fd_ < 0) return -1;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t left = out.size() - done;
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!::ReadFile(HandleOf(fd_), out.data() + done, chunk, &n, nullptr)) {
      error_ = ErrnoOf(::GetLastError());
      return -1;
    }
    if (n == 0) break;
    done += n;
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
    const std::size_t left = data.size() - done;
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!::WriteFile(HandleOf(fd_), data.data() + done, chunk, &n, nullptr) || n == 0) {
      error_ = ErrnoOf(::GetLastError());
      errno = error_;
      return false;
    }
    done += n;
  }
  return true;
}

bool File::Seek(std::int64_t offset) {
  if (fd_ < 0 || offset < 0) return false;
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return ::SetFilePointerEx(HandleOf(fd_), to, nullptr, FILE_BEGIN) != 0;
}

std::int64_t File::Position() const {
  if (fd_ < 0) return -1;
  LARGE_INTEGER zero{};
  LARGE_INTEGER at;
  if (!::SetFilePointerEx(HandleOf(fd_), zero, &at, FILE_CURRENT)) return -1;
  return at.QuadPart;
}

std::int64_t File::Size() const {
  LARGE_INTEGER size;
  if (fd_ < 0 || !::GetFileSizeEx(HandleOf(fd_), &size)) return -1;
  return size.QuadPart;
}

bool File::SetMode(std::uint32_t mode) {
  if (fd_ < 0) return false;
  // Windows keeps one permission bit: read-only, when the owner may not write.
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandleEx(HandleOf(fd_), FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  if ((mode & 0200) == 0) {
    basic.FileAttributes |= FILE_ATTRIBUTE_READONLY;
  } else {
    basic.FileAttributes &= ~DWORD{FILE_ATTRIBUTE_READONLY};
  }
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(HandleOf(fd_), FileBasicInfo, &basic, sizeof basic) != 0;
}

bool File::Sync() {
  if (fd_ < 0) return false;
  if (::FlushFileBuffers(HandleOf(fd_))) return true;
  DWORD error = ::GetLastError();
  // Windows flushes only through a handle that may write; a file opened for
  // reading, as fsync allows on Linux, is flushed through a second one.
  if (error == ERROR_ACCESS_DENIED) {
    const HANDLE writable = ::ReOpenFile(HandleOf(fd_), GENERIC_WRITE, kShareAll, 0);
    if (writable != INVALID_HANDLE_VALUE) {
      const bool flushed = ::FlushFileBuffers(writable) != 0;
      error = ::GetLastError();
      ::CloseHandle(writable);
      if (flushed) return true;
    } else {
      error = ::GetLastError();
    }
  }
  error_ = ErrnoOf(error);
  return false;
}

bool File::Close() {
  if (fd_ < 0) return false;
  const int rc = ::_close(fd_);  // closes the handle with the descriptor
  if (rc != 0) error_ = errno;
  fd_ = -1;
  return rc == 0;
}

std::int64_t FileSize(const std::string& path) {
  const auto info = Examine(path, true);
  if (!info || !info->isDisk || (info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;
  return static_cast<std::int64_t>(info->size);
}

bool FileExists(const std::string& path) {
  const auto info = Examine(path, true);
  return info && info->isDisk && (info->attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool PathExists(const std::string& path) {
  const std::wstring wide = WidePath(path);
  return !wide.empty() && ::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsSymbolicLink(const std::string& path) {
  return KindOfPath(path) == PathKind::kLink;
}

bool SameFile(const std::string& a, const std::string& b) {
  const auto ia = Examine(a, true);
  const auto ib = Examine(b, true);
  return ia && ib && ia->isDisk && ib->isDisk && ia->volume == ib->volume && ia->index == ib->index;
}

bool DeleteFile(const std::string& path) {
  if (ShouldFail(Fault::kDelete)) return false;
  const auto info = Examine(path, false);
  if (!info) return false;
  const bool folder = (info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder && !info->isLink) return false;
  const std::wstring wide = WidePath(path);
  // A link to a folder is a folder entry; it goes as one, its target stays.
  if (folder) return ::RemoveDirectoryW(wide.c_str()) != 0;
  if (::DeleteFileW(wide.c_str())) return true;
  // Linux deletes a read-only file from a writable folder; so do we.
  if (::GetLastError() != ERROR_ACCESS_DENIED) return false;
  const DWORD old = ClearReadOnly(wide);
  if (old == INVALID_FILE_ATTRIBUTES) return false;
  if (::DeleteFileW(wide.c_str())) return true;
  ::SetFileAttributesW(wide.c_str(), old);
  return false;
}

bool RenameFile(const std::string& from, const std::string& to) {
  internal::WaitIfStopping();
  if (ShouldFail(Fault::kRename)) return false;
  const std::wstring wideFrom = WidePath(from);
  const std::wstring wideTo = WidePath(to);
  if (wideFrom.empty() || wideTo.empty()) return false;
  // Without MOVEFILE_REPLACE_EXISTING the move fails on any existing name.
  return ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), 0) != 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  const PathKind existing = KindOfPath(to);
  if (existing == PathKind::kMissing) return RenameFile(from, to);
  if (existing != PathKind::kFile) return false;
  internal::WaitIfStopping();
  if (ShouldFail(Fault::kRename)) return false;
  const std::wstring wideFrom = WidePath(from);
  const std::wstring wideTo = WidePath(to);
  if (wideFrom.empty() || wideTo.empty()) return false;
  if (::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  // The user agreed to replace the file; its read-only flag does not stop
  // that, as it does not on Linux.
  if (::GetLastError() != ERROR_ACCESS_DENIED) return false;
  const DWORD old = ClearReadOnly(wideTo);
  if (old == INVALID_FILE_ATTRIBUTES) return false;
  if (::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  ::SetFileAttributesW(wideTo.c_str(), old);
  return false;
}

bool MakeSymbolicLink(const std::string& target, const std::string& linkPath) {
  internal::WaitIfStopping();
  const std::wstring wideTarget = WidePath(target);
  const std::wstring wideLink = WidePath(linkPath);
  if (wideTarget.empty() || wideLink.empty()) return false;
  // A relative target is resolved from the link's folder, as on Linux.
  std::wstring resolved = wideTarget;
  const bool absolute = wideTarget.size() >= 2 && (wideTarget[0] == L'\\' || wideTarget[1] == L':');
  if (!absolute) {
    const std::size_t slash = wideLink.find_last_of(L'\\');
    if (slash != std::wstring::npos) resolved = wideLink.substr(0, slash + 1) + wideTarget;
  }
  const DWORD attributes = ::GetFileAttributesW(resolved.c_str());
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  }
  bool made = ::CreateSymbolicLinkW(wideLink.c_str(), wideTarget.c_str(), flags) != 0;
  // Systems before developer mode refuse the unprivileged flag itself.
  if (!made && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    flags &= ~DWORD{SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE};
    made = ::CreateSymbolicLinkW(wideLink.c_str(), wideTarget.c_str(), flags) != 0;
  }
  // Some systems (Wine) answer success and make nothing: only a link that
  // stands there counts.
  return made && KindOfPath(linkPath) == PathKind::kLink;
}

namespace {

// Copies the regular file at source to the new file at copy, all or nothing.
bool CopyToNewFile(const std::string& source, const std::string& copy) {
  constexpr std::size_t kCopyBufferBytes = std::size_t{1} << 20;
  File in = File::Open(source, OpenMode::kRead);
  if (!in.ok()) {
    errno = in.lastError();
    return false;
  }
  File out = File::Open(copy, OpenMode::kCreateNew, true);
  if (!out.ok()) {
    errno = out.lastError();
    return false;
  }
  std::vector<std::uint8_t> buffer(kCopyBufferBytes);
  int error = 0;
  for (;;) {
    const std::int64_t n = in.Read(buffer);
    if (n < 0) {
      error = in.lastError() != 0 ? in.lastError() : EIO;
      break;
    }
    if (n == 0) break;
    if (!out.Write(std::span(buffer.data(), static_cast<std::size_t>(n)))) {
      error = out.lastError() != 0 ? out.lastError() : EIO;
      break;
    }
  }
  if (!out.Close() && error == 0) error = out.lastError() != 0 ? out.lastError() : EIO;
  if (error == 0) return true;
  DeleteFile(copy);
  errno = error;
  return false;
}

}  // namespace

bool MakeStandIn(const std::string& source, const std::string& standIn) {
  const std::string absolute = AbsolutePath(source);
  if (MakeSymbolicLink(absolute, standIn)) return true;
  if (PathExists(standIn)) {
    errno = EEXIST;
    return false;
  }
  internal::WaitIfStopping();
  const std::wstring wideSource = WidePath(absolute);
  const std::wstring wideStandIn = WidePath(standIn);
  if (wideSource.empty() || wideStandIn.empty()) {
    errno = ENOENT;
    return false;
  }
  const DWORD attributes = ::GetFileAttributesW(wideSource.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    errno = ErrnoOf(::GetLastError());
    return false;
  }
  if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
      ::CreateHardLinkW(wideStandIn.c_str(), wideSource.c_str(), nullptr)) {
    return true;
  }
  return CopyToNewFile(absolute, standIn);
}

PathKind KindOfPath(const std::string& path) {
  const auto info = Examine(path, false);
  if (!info) {
    // Something may stand there that cannot be opened at all.
    return PathExists(path) ? PathKind::kSpecial : PathKind::kMissing;
  }
  if (info->isLink) return PathKind::kLink;
  if (!info->isDisk) return PathKind::kSpecial;
  if ((info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kFolder;
  return PathKind::kFile;
}

bool SyncFolder(const std::string& folder) {
  // NTFS journals names and renames itself; a folder has no buffers a user
  // process can flush. The folder must exist all the same.
  const auto info = Examine(folder.empty() ? std::string(".") : folder, true);
  return info && (info->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace platform
