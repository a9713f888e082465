#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "cli/cli.h"
#include "platform/platform.h"

#ifndef SIGHUP
#define SIGHUP 1  // Windows: a closed console ends the program as a hang-up
#endif

namespace {

// Says why the run ended, on a line of its own (after a progress line or the
// terminal's "^C"). Plain write(2): the streams may be in the middle of a
// line on another thread.
void TellInterrupted(int signal) {
  std::string_view line =
      "\ntresolin-cli: abgebrochen (Signal); angefangene Dateien sind entfernt\n";
  if (signal == SIGINT) {
    line = "\ntresolin-cli: abgebrochen (Strg+C); angefangene Dateien sind entfernt\n";
  } else if (signal == SIGTERM) {
    line = "\ntresolin-cli: abgebrochen (SIGTERM); angefangene Dateien sind entfernt\n";
  } else if (signal == SIGHUP) {
    line =
        "\ntresolin-cli: abgebrochen (Terminal geschlossen); angefangene Dateien sind entfernt\n";
  }
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts: an interrupt removes the run's working files
  // and half-made results, says so, and ends with 128 + the signal's number.
  platform::InstallInterruptCleanup(TellInterrupted);
  // Restored files pass through std::cout unchanged and in large blocks.
  platform::PrepareStandardStreams();
  std::ios::sync_with_stdio(false);
  cli::PasswordSources passwords;
  if (auto env = platform::EnvironmentValue("TRESOLIN_PASSWORD")) passwords.environment = *env;
  passwords.askTerminal = [](std::string_view prompt) {
    return platform::ReadSecretFromTerminal(prompt);
  };
  cli::Console console;
  console.in = &std::cin;
  console.outIsTerminal = platform::StandardOutputIsTerminal();
  console.errIsTerminal = platform::StandardErrorIsTerminal();
  // Lets a test see the progress line of a short run.
  if (auto delay = platform::EnvironmentValue("TRESOLIN_PROGRESS_DELAY_MS")) {
    console.progressDelayMs = std::atoi(delay->c_str());
  }
  return cli::Run(platform::ProgramArguments(argc, argv), std::cout, std::cerr, passwords, console);
}
