// tresolin: the window program. Protects files and folders with a password.
#include "app/shell/start_up.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Before any thread starts: an interrupt removes the run's working files.
  platform::InstallInterruptCleanup();
  return shell::RunTresolin(argc, argv);
}
