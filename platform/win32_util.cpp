// UTF-8 and UTF-16 at the system boundary, errors, and path examination.
#include "platform/win32_util.h"

#include <aclapi.h>
#include <sddl.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace platform::internal {

std::optional<std::wstring> Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), n) !=
      n) {
    return std::nullopt;
  }
  return wide;
}

std::string WideToUtf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::wstring WidePath(const std::string& path) {
  auto wide = Utf8ToWide(path);
  if (!wide) return std::wstring();
  for (wchar_t& c : *wide) {
    if (c == L'/') c = L'\\';
  }
  return *wide;
}

std::string ProgramPath(std::wstring_view wide) {
  std::string path = WideToUtf8(wide);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
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
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    default:
      return EIO;
  }
}

bool IsLinkTag(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparseTag);
}

std::optional<PathInfo> Examine(const std::string& path, bool follow, int* error) {
  int ignored;
  if (error == nullptr) error = &ignored;
  const std::wstring wide = WidePath(path);
  if (wide.empty() || wide.find_first_of(L"*?") != std::wstring::npos) {
    *error = ENOENT;
    return std::nullopt;
  }
  // No access rights: the examination needs none and never meets a sharing
  // conflict. Folders open only with backup semantics.
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (!follow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  Handle h(::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, flags, nullptr));
  if (!h.ok()) {
    *error = ErrnoOf(::GetLastError());
    return std::nullopt;
  }
  PathInfo info;
  info.isDisk = ::GetFileType(h.get()) == FILE_TYPE_DISK;
  if (!info.isDisk) return info;
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(h.get(), &data)) {
    *error = ErrnoOf(::GetLastError());
    return std::nullopt;
  }
  info.attributes = data.dwFileAttributes;
  info.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  info.volume = data.dwVolumeSerialNumber;
  info.index = (std::uint64_t{data.nFileIndexHigh} << 32) | data.nFileIndexLow;
  info.lastWrite = data.ftLastWriteTime;
  if (!follow && (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // The tag tells a link from a placeholder that stands for its own data.
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(wide.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      ::FindClose(search);
      info.isLink = IsLinkTag(found.dwFileAttributes, found.dwReserved0);
    } else {
      info.isLink = true;  // unknown: treat as a link, never follow it
    }
  }
  return info;
}

PSID UserSid() {
  static std::unique_ptr<std::uint8_t[]> sid = [] {
    std::unique_ptr<std::uint8_t[]> copy;
    HANDLE token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return copy;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    if (size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
      const DWORD length = ::GetLengthSid(user);
      copy = std::make_unique<std::uint8_t[]>(length);
      if (!::CopySid(length, copy.get(), user)) copy.reset();
    }
    ::CloseHandle(token);
    return copy;
  }();
  return sid.get();
}

PrivateSecurity::PrivateSecurity() {
  wchar_t* sidText = nullptr;
  if (UserSid() == nullptr || !::ConvertSidToStringSidW(UserSid(), &sidText)) return;
  const std::wstring sddl = std::wstring(L"O:") + sidText + L"D:P(A;OICI;FA;;;" + sidText + L")";
  ::LocalFree(sidText);
  ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                         &descriptor_, nullptr);
}

PrivateSecurity::~PrivateSecurity() {
  if (descriptor_ != nullptr) ::LocalFree(descriptor_);
}

SECURITY_ATTRIBUTES* PrivateSecurity::attributes() {
  if (descriptor_ == nullptr) return nullptr;
  attributes_ = {sizeof attributes_, descriptor_, FALSE};
  return &attributes_;
}

bool InheritAccess(const std::wstring& path) {
  // An empty, unprotected list: the system fills in what the folder passes on.
  ACL empty;
  if (!::InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return false;
  std::wstring copy = path;
  return ::SetNamedSecurityInfoW(copy.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS;
}

}  // namespace platform::internal
