// tresolin.exe: the window program for Windows.
#include "app/winshell/start_up.h"

int main(int argc, char** argv) {
  return winshell::RunTresolin(argc, argv);
}
