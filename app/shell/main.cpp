// tresolin: the window program. Protects files and folders with a password.
#include "app/shell/start_up.h"

int main(int argc, char** argv) {
  return shell::RunTresolin(argc, argv);
}
