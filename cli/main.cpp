#include <cstdlib>
#include <iostream>

#include "cli/cli.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Before any thread starts: an interrupt removes the run's working files
  // and half-made results, and ends with 128 + the signal's number.
  platform::InstallInterruptCleanup();
  // Restored files pass through std::cout unchanged and in large blocks.
  std::ios::sync_with_stdio(false);
  cli::PasswordSources passwords;
  if (const char* env = std::getenv("TRESOLIN_PASSWORD")) passwords.environment = env;
  passwords.askTerminal = [](std::string_view prompt) {
    return platform::ReadSecretFromTerminal(prompt);
  };
  cli::Console console;
  console.in = &std::cin;
  console.outIsTerminal = platform::StandardOutputIsTerminal();
  console.errIsTerminal = platform::StandardErrorIsTerminal();
  // Lets a test see the progress line of a short run.
  if (const char* delay = std::getenv("TRESOLIN_PROGRESS_DELAY_MS")) {
    console.progressDelayMs = std::atoi(delay);
  }
  return cli::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, passwords,
                  console);
}
