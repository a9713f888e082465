// tresolin.exe: the window program for Windows.
#include "app/winshell/start_up.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Before any thread starts: the end of the session or a console's Ctrl-C
  // (when started from one) removes the run's working files, as on Linux.
  platform::InstallInterruptCleanup();
  return winshell::RunTresolin(argc, argv);
}
