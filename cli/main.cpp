#include <cstdlib>
#include <iostream>

#include "cli/cli.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Before any thread starts: an interrupt removes the run's working files
  // and half-made results, and ends with 128 + the signal's number.
  platform::InstallInterruptCleanup();
  cli::PasswordSources passwords;
  if (const char* env = std::getenv("TRESOLIN_PASSWORD")) passwords.environment = env;
  passwords.askTerminal = [](std::string_view prompt) {
    return platform::ReadSecretFromTerminal(prompt);
  };
  return cli::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, passwords);
}
