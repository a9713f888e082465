// Private working folders on Windows: an access list that admits only this
// user, owner records, the sweep of folders left by killed runs, and the
// clean-up on Ctrl-C, Ctrl-Break and the console's closing.
#include "platform/win32_util.h"

#include <aclapi.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/work_folder_internal.h"

namespace platform {
namespace {

using internal::ErrnoOf;
using internal::Handle;
using internal::PrivateSecurity;
using internal::UserSid;
using internal::WidePath;
using internal::WideToUtf8;

using internal::FormatRecord;
using internal::kOwnerRecord;
using internal::kRecordLimitBytes;
using internal::Made;
using internal::OwnerRecord;
using internal::ParseRecord;
using internal::RegistryMutex;
using internal::Slot;
using internal::Slots;
constexpr int kNameAttempts = 100;
// A tree that another thread of this process still writes into may need a
// second pass before its folder is empty; a file still open elsewhere goes
// only when its last handle closes.
constexpr int kRemovePasses = 8;
constexpr auto kRemovePause = std::chrono::milliseconds(20);
// Windows has no boot id to read; a gone process is told by its id and
// creation time, which a restarted machine never repeats for a live one.
constexpr std::string_view kBootId = "windows";

// The exit statuses of the signals Linux uses, so both systems report an
// interrupted run alike: Ctrl-C as SIGINT, Ctrl-Break as SIGTERM, the
// console's closing, a log-off or shut-down as SIGHUP.
constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;
constexpr int kSigHup = 1;

// ---------------------------------------------------------------- removal

bool RemoveEntry(const std::wstring& path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  // A link to a folder is a folder entry: it goes as one, its target stays.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ::RemoveDirectoryW(path.c_str()) != 0;
  return ::DeleteFileW(path.c_str()) != 0;
}

// Removes path, whatever it is, never following a link: a link is removed
// as a link. Returns true iff nothing is left there.
bool RemoveTreeOnce(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return RemoveEntry(path, attributes);
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    // What cannot be removed shows when the folder itself cannot be.
    do {
      const std::wstring_view name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + found.cFileName;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        RemoveTreeOnce(child);
      } else {
        RemoveEntry(child, found.dwFileAttributes);
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  return RemoveEntry(path, attributes) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Removes the folder at path with everything below it. Returns true iff it
// is gone.
bool RemoveFolderTree(const std::string& path) {
  std::wstring wide = WidePath(path);
  while (wide.size() > 3 && wide.back() == L'\\') wide.pop_back();
  if (wide.empty()) return false;
  for (int pass = 0; pass < kRemovePasses; ++pass) {
    if (pass > 0) std::this_thread::sleep_for(kRemovePause);
    if (RemoveTreeOnce(wide)) return true;
  }
  return false;
}

// ------------------------------------------------------------- the owner

// Returns true iff the open folder is owned by this user and its access
// list lets no one in but this user and the system itself. A folder we made
// has just the user's entry; Wine, which keeps no access lists, shows the
// owner's mode bits as the user's and the system's entries.
bool IsPrivateFolder(HANDLE folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // No access list at all lets everyone in.
  bool privateFolder =
      owner != nullptr && UserSid() != nullptr && ::EqualSid(owner, UserSid()) && dacl != nullptr;
  for (DWORD i = 0; privateFolder && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) {
      privateFolder = false;
      break;
    }
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      privateFolder = false;  // conditional or object entries: not ours
      break;
    }
    const PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    privateFolder = ::EqualSid(sid, UserSid()) || ::IsWellKnownSid(sid, WinLocalSystemSid);
  }
  ::LocalFree(descriptor);
  return privateFolder;
}

// ---------------------------------------------------------- owner records

std::string ReadSmallFile(const std::wstring& path) {
  Handle h(::CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION data;
  if (!h.ok() || !::GetFileInformationByHandle(h.get(), &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return "";
  }
  std::string text(kRecordLimitBytes, '\0');
  DWORD n = 0;
  if (!::ReadFile(h.get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr)) return "";
  text.resize(n);
  return text;
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return "";
  return WideToUtf8(std::wstring_view(name, size));
}

// The creation time of process pid in 100 ns steps, or "" when there is no
// such process. Sets *unknown when the process exists but may not be asked.
std::string ProcessStartTime(DWORD pid, bool* unknown) {
  *unknown = false;
  Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.ok()) {
    *unknown = ::GetLastError() != ERROR_INVALID_PARAMETER;
    return "";
  }
  DWORD code = 0;
  if (::GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) return "";
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
    *unknown = true;
    return "";
  }
  return std::to_string((std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime);
}

OwnerRecord ThisProcess() {
  OwnerRecord record;
  record.host = HostName();
  record.boot = kBootId;
  record.pid = std::to_string(::GetCurrentProcessId());
  bool unknown;
  record.start = ProcessStartTime(::GetCurrentProcessId(), &unknown);
  return record;
}

// Returns true iff the record names a process of this host that is gone.
bool OwnerIsGone(const OwnerRecord& record) {
  if (record.host != HostName()) return false;
  if (record.boot != kBootId) return true;
  char* end = nullptr;
  const long pid = std::strtol(record.pid.c_str(), &end, 10);
  if (end == record.pid.c_str() || *end != '\0' || pid <= 0) return false;
  bool unknown = false;
  const std::string start = ProcessStartTime(static_cast<DWORD>(pid), &unknown);
  if (unknown) return false;
  return start.empty() || start != record.start;
}

// ------------------------------------------------- the interrupt registry

std::string RandomSuffix() {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mutex mutex;
  static std::mt19937_64 rng(std::random_device{}() ^
                             (std::uint64_t{::GetCurrentProcessId()} << 32) ^ ::GetTickCount64());
  std::lock_guard lock(mutex);
  std::string suffix(6, 'X');
  for (char& c : suffix) c = kLetters[rng() % (sizeof kLetters - 1)];
  return suffix;
}

// The interrupt notice and the console event it answers.
InterruptNotice g_notice = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  int signal;
  switch (event) {
    case CTRL_C_EVENT:
      signal = kSigInt;
      break;
    case CTRL_BREAK_EVENT:
      signal = kSigTerm;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      signal = kSigHup;
      break;
    default:
      return FALSE;
  }
  // A second event waits in here for the first.
  internal::RemoveEverythingForInterrupt();
  if (g_notice != nullptr) g_notice(signal);
  // At once, like _exit: no exit handlers, no library clean-up that could
  // wait on a lock another thread holds.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(128 + signal));
  return TRUE;
}

}  // namespace

namespace internal {

bool RemoveTree(const std::string& path) {
  return RemoveFolderTree(path);
}

void UndoCreatedLocked(Slot& slot) {
  for (auto it = slot.created.rbegin(); it != slot.created.rend(); ++it) {
    switch (it->second) {
      case Made::kFile:
        DeleteFile(it->first);
        break;
      case Made::kFolder:
        RemoveEmptyFolder(it->first);
        break;
      case Made::kTree:
        RemoveFolderTree(it->first);
        break;
    }
  }
  slot.created.clear();
}

}  // namespace internal

int SweepStaleWorkFolders(const std::string& parent) {
  std::string base = parent.empty() ? "./" : parent;
  if (base.back() != '/' && base.back() != '\\') base.push_back('/');
  const std::wstring wideBase = WidePath(base);
  if (wideBase.empty()) return 0;
  const std::wstring prefix = WidePath(std::string(kWorkFolderPrefix));
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((wideBase + prefix + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  std::vector<std::wstring> stale;
  do {
    // A link is never a working folder of ours, whatever it points at.
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      continue;
    }
    const std::wstring path = wideBase + found.cFileName;
    Handle folder(::CreateFileW(
        path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION data;
    OwnerRecord record;
    const bool ours =
        folder.ok() && ::GetFileInformationByHandle(folder.get(), &data) &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        IsPrivateFolder(folder.get()) &&
        ParseRecord(ReadSmallFile(path + L"\\" + WidePath(std::string(kOwnerRecord))), &record);
    if (ours && OwnerIsGone(record)) stale.push_back(path);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  int removed = 0;
  for (const std::wstring& path : stale) {
    if (RemoveFolderTree(internal::ProgramPath(path))) ++removed;
  }
  return removed;
}

WorkFolder WorkFolder::Create(const std::string& parent) {
  std::string base = parent.empty() ? "./" : parent;
  if (base.back() != '/' && base.back() != '\\') base.push_back('/');
  SweepStaleWorkFolders(base);

  WorkFolder folder;
  PrivateSecurity security;
  if (security.attributes() == nullptr) {
    errno = EACCES;  // no private folder without its access list
    return folder;
  }
  {
    std::lock_guard lock(RegistryMutex());
    if (internal::ShouldFail(internal::Fault::kOpenForWrite)) {
      errno = EROFS;
      return folder;
    }
    std::string path;
    for (int attempt = 0; attempt < kNameAttempts && path.empty(); ++attempt) {
      const std::string candidate = base + std::string(kWorkFolderPrefix) + RandomSuffix();
      const std::wstring wide = WidePath(candidate);
      if (wide.empty()) {
        errno = ENOENT;
        return folder;
      }
      if (::CreateDirectoryW(wide.c_str(), security.attributes())) {
        path = candidate;
      } else if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        errno = ErrnoOf(::GetLastError());
        return folder;
      }
    }
    if (path.empty()) {
      errno = EEXIST;
      return folder;
    }
    folder.slot_ = internal::RegisterLocked(path);
    folder.path_ = path + "/";
  }
  // Written directly, as on Linux: the record is the folder's, not a step
  // of the run that a fault plan counts. Closed before any removal, since a
  // folder with an open file in it cannot go.
  const std::string record = FormatRecord(ThisProcess());
  DWORD error = ERROR_SUCCESS;
  {
    Handle file(::CreateFileW(WidePath(folder / kOwnerRecord).c_str(), GENERIC_WRITE, 0,
                              security.attributes(), CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
    DWORD written = 0;
    if (!file.ok() ||
        !::WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written,
                     nullptr) ||
        written != record.size()) {
      error = ::GetLastError();
      if (error == ERROR_SUCCESS) error = ERROR_WRITE_FAULT;
    }
  }
  if (error != ERROR_SUCCESS) {
    folder.Remove();
    errno = ErrnoOf(error);
  }
  return folder;
}

bool WorkFolder::MakeFolderOutside(const std::string& path) {
  if (!ok()) return false;
  std::lock_guard lock(RegistryMutex());
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  if (::CreateDirectoryW(wide.c_str(), nullptr)) {
    Slots()[static_cast<std::size_t>(slot_)].created.emplace_back(path, Made::kFolder);
    return true;
  }
  return ::GetLastError() == ERROR_ALREADY_EXISTS && KindOfPath(path) == PathKind::kFolder;
}

void InstallInterruptCleanup(InterruptNotice notice) {
  static std::once_flag once;
  std::call_once(once, [notice] {
    g_notice = notice;
    // A flow that fails because its files went must not end the process
    // with its own code before the clean-up has.
    std::atexit(internal::WaitIfStopping);
    // The system runs the handler on a thread of its own for each event. A
    // process started in a group of its own has Ctrl-C turned off: on again.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  });
}

}  // namespace platform
