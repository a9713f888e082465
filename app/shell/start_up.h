// The window program's start: its command line, one copy only (a second
// start hands its path to the first), then the main window and the event
// loop.
#ifndef TRESOLIN_APP_SHELL_START_UP_H_
#define TRESOLIN_APP_SHELL_START_UP_H_

class QCoreApplication;

namespace shell {

// The single-instance lock's name; the hand-over socket is named after it.
inline constexpr char kInstanceLockName[] = "1_xy_z_11_12_13";

// Makes Qt's own texts (file dialogs, standard buttons) German, from the
// translations installed with Qt. Returns true iff they were found.
bool InstallGermanQtTexts(QCoreApplication& app);

// Runs the program. --help and --version print and return 0; a wrong
// command line returns 2. Otherwise takes the single-instance lock: when
// another copy holds it, hands that copy the path given (it comes to the
// front and takes the path) and returns 0 without a window. Then takes the
// temporary folder, sets the default gadget font, opens the main window
// with the path chosen and runs the event loop until the main window is
// closed. Returns the exit code.
int RunTresolin(int argc, char** argv);

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_START_UP_H_
