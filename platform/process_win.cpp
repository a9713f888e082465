// Child processes, the environment and the single-instance mutex on Windows.
// <tlhelp32.h> needs <windows.h> before it.
#include "platform/win32_util.h"

#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/platform.h"

namespace platform {
namespace {

using internal::Utf8ToWide;
using internal::WidePath;

// The handles of the children we started, by process id: holding one keeps
// the id from being reused, and closing it is what reaping is on Linux.
std::mutex g_childMutex;
std::map<int, HANDLE> g_children;

// Appends arg to a command line so that the C runtime's parser gives it back
// unchanged: quotes around, backslashes doubled only before a quote.
void AppendQuoted(std::wstring* line, const std::wstring& arg) {
  if (!line->empty()) line->push_back(L' ');
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line->append(arg);
    return;
  }
  line->push_back(L'"');
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  // shell32 is loaded for this one call only: a static import would bring
  // it and its own imports into every program that links the platform.
  using SplitFn = LPWSTR*(WINAPI*)(LPCWSTR, int*);
  HMODULE shell = ::LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Windows 7 without its loader update knows no search flags; shell32 is
  // a known DLL, always taken from the system folder.
  if (shell == nullptr) shell = ::LoadLibraryW(L"shell32.dll");
  const auto split = shell == nullptr ? nullptr
                                      : reinterpret_cast<SplitFn>(reinterpret_cast<void*>(
                                            ::GetProcAddress(shell, "CommandLineToArgvW")));
  int count = 0;
  wchar_t** wide = split == nullptr ? nullptr : split(::GetCommandLineW(), &count);
  if (shell != nullptr) ::FreeLibrary(shell);
  if (wide == nullptr) {
    // Not expected; the code page's spelling is better than nothing.
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    return arguments;
  }
  for (int i = 1; i < count; ++i) arguments.push_back(internal::WideToUtf8(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

std::optional<std::string> EnvironmentValue(const std::string& name) {
  const auto wideName = Utf8ToWide(name);
  if (!wideName || wideName->empty()) return std::nullopt;
  const DWORD size = ::GetEnvironmentVariableW(wideName->c_str(), nullptr, 0);
  if (size == 0) {
    if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(size, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(wideName->c_str(), value.data(), size);
  if (length == 0 || length >= size) return std::string();
  value.resize(length);
  return internal::WideToUtf8(value);
}

namespace {
UINT g_savedOutputCodePage = 0;
void RestoreConsoleCodePage() {
  if (g_savedOutputCodePage != 0) ::SetConsoleOutputCP(g_savedOutputCodePage);
}
}  // namespace

void PrepareStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // Messages are UTF-8; a console shows them right only in its UTF-8 code
  // page, which it gets back when the program ends normally.
  const UINT current = ::GetConsoleOutputCP();
  if (current != 0 && current != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
    g_savedOutputCodePage = current;
    std::atexit(RestoreConsoleCodePage);
  }
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
  const auto wideName = Utf8ToWide(name);
  const auto wideValue = Utf8ToWide(value);
  if (!wideName || !wideValue || wideName->empty()) return false;
  if (!::SetEnvironmentVariableW(wideName->c_str(), wideValue->c_str())) return false;
  // The C runtime keeps its own copy for getenv; an empty value would remove
  // the variable there, so it is set in the system's block alone.
  if (!wideValue->empty()) _wputenv_s(wideName->c_str(), wideValue->c_str());
  return true;
}

int StartProgram(const std::string& program, const std::vector<std::string>& args) {
  std::string path = program;
  // "data/hourspin" names data/hourspin.exe, as the program's paths are
  // spelled the same on both systems.
  if (!FileExists(path) && FileExists(path + ".exe")) path += ".exe";
  const std::wstring application = WidePath(path);
  if (application.empty()) return -1;
  std::wstring line;
  AppendQuoted(&line, application);
  for (const std::string& arg : args) {
    const auto wide = Utf8ToWide(arg);
    if (!wide) return -1;
    AppendQuoted(&line, *wide);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No handles inherited; environment and current folder are ours.
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  ::CloseHandle(process.hThread);
  const int pid = static_cast<int>(process.dwProcessId);
  std::lock_guard lock(g_childMutex);
  g_children[pid] = process.hProcess;
  return pid;
}

bool KillProgram(int pid) {
  if (pid <= 0) return false;
  HANDLE process = nullptr;
  {
    std::lock_guard lock(g_childMutex);
    const auto it = g_children.find(pid);
    if (it != g_children.end()) {
      process = it->second;
      g_children.erase(it);
    }
  }
  if (process == nullptr) {
    process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return false;
  }
  const bool killed = ::TerminateProcess(process, 1) != 0;
  if (killed) ::WaitForSingleObject(process, INFINITE);
  ::CloseHandle(process);
  return killed;
}

bool IsProcessAlive(int pid) {
  if (pid <= 0) return false;
  const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    // A process we may not touch still lives; an unknown id does not.
    return ::GetLastError() == ERROR_ACCESS_DENIED;
  }
  const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return alive;
}

int ParentProcessId() {
  const DWORD self = ::GetCurrentProcessId();
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  int parent = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = static_cast<int>(entry.th32ParentProcessID);
      break;
    }
  }
  ::CloseHandle(snapshot);
  return parent;
}

InstanceLock AcquireInstanceLock(const std::string& name) {
  // A named mutex in the session's namespace. Its handle stays open for the
  // life of the process; the system drops it when the process ends, also
  // after a crash.
  const auto wide = Utf8ToWide(name);
  if (!wide || wide->empty()) return InstanceLock::kUnavailable;
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, wide->c_str());
  if (mutex == nullptr) return InstanceLock::kUnavailable;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return InstanceLock::kHeldElsewhere;
  }
  return InstanceLock::kAcquired;
}

}  // namespace platform
