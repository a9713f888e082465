// The window program's start: one copy only, then the main window and the
// event loop.
#ifndef TRESOLIN_APP_SHELL_START_UP_H_
#define TRESOLIN_APP_SHELL_START_UP_H_

namespace shell {

// The single-instance lock's name.
inline constexpr char kInstanceLockName[] = "1_xy_z_11_12_13";

// Runs the program: takes the single-instance lock (another copy holds it:
// returns 0 at once, without a window), takes the temporary folder, sets
// the default gadget font, opens the main window and runs the event loop
// until the main window is closed. Returns the exit code.
int RunTresolin(int argc, char** argv);

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_START_UP_H_
