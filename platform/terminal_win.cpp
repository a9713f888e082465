// Asking for a secret on the console, with echo off, on Windows.
#include <mutex>

#include "platform/platform.h"
#include "platform/terminal_state.h"
#include "platform/win32_util.h"

namespace platform {
namespace {

using internal::Handle;

Handle OpenConsole(const wchar_t* name) {
  return Handle(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
}

bool IsConsole(DWORD which) {
  DWORD mode;
  const HANDLE h = ::GetStdHandle(which);
  return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

// The settings of an open prompt, for RestoreTerminal.
std::mutex g_promptMutex;
HANDLE g_promptInput = nullptr;
DWORD g_promptSaved = 0;

}  // namespace

namespace internal {

void RestoreTerminal() {
  std::lock_guard lock(g_promptMutex);
  if (g_promptInput != nullptr) ::SetConsoleMode(g_promptInput, g_promptSaved);
}

}  // namespace internal

bool HasTerminal() {
  return OpenConsole(L"CONIN$").ok();
}

std::optional<std::string> ReadSecretFromTerminal(std::string_view prompt) {
  Handle input = OpenConsole(L"CONIN$");
  Handle output = OpenConsole(L"CONOUT$");
  if (!input.ok() || !output.ok()) return std::nullopt;
  DWORD saved;
  if (!::GetConsoleMode(input.get(), &saved)) return std::nullopt;
  {
    std::lock_guard lock(g_promptMutex);
    g_promptInput = input.get();
    g_promptSaved = saved;
  }
  ::SetConsoleMode(input.get(), (saved | ENABLE_LINE_INPUT) & ~DWORD{ENABLE_ECHO_INPUT});
  // The console speaks UTF-16: the prompt and the answer keep every
  // character, whatever the console's code page.
  const std::wstring widePrompt = internal::Utf8ToWide(prompt).value_or(L"");
  DWORD written;
  ::WriteConsoleW(output.get(), widePrompt.data(), static_cast<DWORD>(widePrompt.size()), &written,
                  nullptr);
  std::wstring line;
  bool ok = true;
  for (;;) {
    wchar_t buffer[256];
    DWORD n = 0;
    if (!::ReadConsoleW(input.get(), buffer, 256, &n, nullptr) || n == 0) {
      ok = !line.empty();
      break;
    }
    line.append(buffer, n);
    if (line.back() == L'\n') break;
  }
  ::SetConsoleMode(input.get(), saved);
  {
    std::lock_guard lock(g_promptMutex);
    g_promptInput = nullptr;
  }
  ::WriteConsoleW(output.get(), L"\r\n", 2, &written, nullptr);  // the echoed line end
  while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
  if (!ok) return std::nullopt;
  std::string utf8 = internal::WideToUtf8(line);
  ::SecureZeroMemory(line.data(), line.size() * sizeof(wchar_t));
  return utf8;
}

bool StandardOutputIsTerminal() {
  // _isatty also answers true for the NUL device; only a console counts.
  return IsConsole(STD_OUTPUT_HANDLE);
}

bool StandardErrorIsTerminal() {
  return IsConsole(STD_ERROR_HANDLE);
}

}  // namespace platform
