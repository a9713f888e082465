#include "cipherkern/file_io_win.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// The engine's own function of that name, not the Win32 macro.
#undef CreateFile

#include <limits>
#include <string>

namespace cipherkern {
namespace {

// The errno value closest to a Win32 error, for the caller's message.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

void SetErrnoFromLastError() {
  errno = ErrnoOf(GetLastError());
}

// UTF-8 to UTF-16; false (errno EINVAL) for bytes that are no UTF-8.
bool Wide(const char* path, std::wstring* out) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (n <= 0) {
    errno = EINVAL;
    return false;
  }
  out->assign(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out->data(), n);
  out->resize(static_cast<std::size_t>(n - 1));
  return true;
}

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Wraps a handle as a descriptor; the descriptor owns it from then on.
int DescriptorOf(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrnoFromLastError();
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

struct Identity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
};

bool IdentityOf(HANDLE handle, Identity* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

// Opens path for nothing but its attributes (folders too).
HANDLE OpenForQuery(const char* path) {
  std::wstring wide;
  if (!Wide(path, &wide)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool SameIdentity(HANDLE handle, const char* path) {
  Identity a;
  if (!IdentityOf(handle, &a)) return false;
  const HANDLE other = OpenForQuery(path);
  if (other == INVALID_HANDLE_VALUE) return false;
  Identity b;
  const bool ok = IdentityOf(other, &b);
  CloseHandle(other);
  return ok && a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

// The largest piece one ReadFile or WriteFile call takes.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

int OpenForReading(const char* path) {
  std::wstring wide;
  if (!Wide(path, &wide)) return -1;
  const HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return DescriptorOf(handle, _O_RDONLY);
}

int CreateFile(const std::string& path, mode_t /*mode*/, bool readBack) {
  std::wstring wide;
  if (!Wide(path.c_str(), &wide)) return -1;
  const DWORD access = readBack ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  // Others may not read or write it meanwhile; deleting is allowed, so that
  // a failed call removes its half-made file while it is still open, as
  // unlink does on POSIX systems.
  const HANDLE handle = CreateFileW(wide.c_str(), access, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return DescriptorOf(handle, readBack ? _O_RDWR : _O_WRONLY);
}

bool ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  const HANDLE handle = HandleOf(fd);
  while (size > 0) {
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
    if (!ReadFile(handle, data, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) {
        errno = EIO;
      } else {
        SetErrnoFromLastError();
      }
      return false;
    }
    if (got == 0) {
      errno = EIO;
      return false;
    }
    data += got;
    size -= got;
    offset += got;
  }
  return true;
}

bool WriteAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  const HANDLE handle = HandleOf(fd);
  while (size > 0) {
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
    if (!WriteFile(handle, data, want, &put, &at)) {
      SetErrnoFromLastError();
      return false;
    }
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    data += put;
    size -= put;
    offset += put;
  }
  return true;
}

bool TruncateTo(int fd, std::uint64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end)) return true;
  SetErrnoFromLastError();
  return false;
}

bool RegularFileSize(int fd, std::uint64_t* size, int* error) {
  const HANDLE handle = HandleOf(fd);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) || GetFileType(handle) != FILE_TYPE_DISK) {
    *error = EINVAL;
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = EISDIR;
    return false;
  }
  *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
}

bool SameFile(int fd, const char* path) {
  return SameIdentity(HandleOf(fd), path);
}

bool InputIsWrittenTo(const char* input, const char* written, const std::string& intermediate) {
  const HANDLE handle = OpenForQuery(input);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool same = SameIdentity(handle, written) || SameIdentity(handle, intermediate.c_str());
  CloseHandle(handle);
  return same;
}

void RemoveFile(const char* path) {
  std::wstring wide;
  if (Wide(path, &wide)) DeleteFileW(wide.c_str());
}

}  // namespace cipherkern
