// Start-up of tresolin.exe in its order: command line, single instance (or
// the hand-over to the copy that runs), window, message loop.
#ifndef TRESOLIN_APP_WINSHELL_START_UP_H_
#define TRESOLIN_APP_WINSHELL_START_UP_H_

#include <chrono>
#include <string>

#include "app/winshell/main_window.h"

namespace winshell {

// The name of the single-instance lock (a named mutex on Windows).
inline constexpr char kInstanceLockName[] = "1_xy_z_11_12_13";

// Hands path ("" for none) to the main window of the copy that runs: waits
// up to patience for that window to appear (it may be starting), lets it
// come to the front and sends the path with WM_COPYDATA. Returns true iff
// the window took it. Any thread but the receiving window's.
bool HandOverToRunningCopy(const std::string& path, std::chrono::milliseconds patience);

// Takes messages until WM_QUIT, dropping the input that window refuses and
// giving the keyboard its dialog navigation. Returns WM_QUIT's code.
int RunMessageLoop(MainWindow& window);

// The whole program: `tresolin.exe [FILE]`. Returns the exit code.
int RunTresolin(int argc, char** argv);

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_START_UP_H_
