// Start-up: the single instance, the hand-over, the window and its loop.
#include "app/winshell/start_up.h"

#include "app/winshell/win32.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "app/winshell/wide_text.h"
#include "platform/platform.h"

namespace winshell {
namespace {

// How long a second start waits for the first copy's window: that copy may
// have taken the lock a moment ago and still be building it.
constexpr std::chrono::seconds kHandOverPatience{10};

std::string Portable(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

}  // namespace

bool HandOverToRunningCopy(const std::string& path, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  HWND running = nullptr;
  while ((running = FindWindowW(kMainWindowClass, nullptr)) == nullptr) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Only the process in front may hand the front on.
  DWORD process = 0;
  GetWindowThreadProcessId(running, &process);
  AllowSetForegroundWindow(process);
  COPYDATASTRUCT data{};
  data.dwData = kHandOverTag;
  data.cbData = static_cast<DWORD>(path.size());
  data.lpData = const_cast<char*>(path.data());  // only read by the receiver
  DWORD_PTR answer = 0;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  const UINT timeout = static_cast<UINT>(std::max<long long>(left.count(), 1000));
  return SendMessageTimeoutW(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                             SMTO_ABORTIFHUNG, timeout, &answer) != 0 &&
         answer == TRUE;
}

int RunMessageLoop(MainWindow& window) {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (window.DropInput(message)) continue;
    // Tab and the arrow keys move between the controls of the window in
    // front: the open password dialog, else the main window.
    const winshell::PasswordDialog* dialog = window.passwordDialog();
    HWND front = dialog != nullptr ? dialog->hwnd() : window.hwnd();
    if (front != nullptr && IsDialogMessageW(front, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

int RunTresolin(int argc, char** argv) {
  const std::vector<std::string> arguments = platform::ProgramArguments(argc, argv);
  // Made absolute here: the copy that takes it runs in another folder.
  std::string path = arguments.empty() ? "" : Portable(platform::AbsolutePath(arguments[0]));
  if (!path.empty() && !platform::IsFolder(path) &&
      platform::KindOfPath(path) == platform::PathKind::kMissing) {
    path.clear();
  }

  const platform::InstanceLock lock = platform::AcquireInstanceLock(kInstanceLockName);
  if (lock == platform::InstanceLock::kHeldElsewhere) {
    if (HandOverToRunningCopy(path, kHandOverPatience)) return 0;
    MessageBoxW(nullptr, Wide("Tresolin läuft schon, sein Fenster antwortet aber nicht.").c_str(),
                Wide(layout::kMainWindowTitle).c_str(), MB_OK | MB_ICONSTOP);
    return 1;
  }
  // kUnavailable: the user is not kept out; a second copy may start.

  MainWindow window(platform::TempFolder(), platform::ProgramFolder());
  window.QuitWhenDestroyed();
  window.Show();
  // Once the window is up: a choice may answer with a message box.
  if (!path.empty()) window.OpenPath(path);
  return RunMessageLoop(window);
}

}  // namespace winshell
