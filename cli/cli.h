// tresolin-cli: the four flows without a window, for scripts, servers and
// tests, plus a check of a container without restoring it. Commands are
// functions over injected streams so that tests run them in-process; main()
// only wires them to the real process.
//
//   tresolin-cli encrypt [--cipher aes|rc4] [--pack] [--replace] [--output F] FILE|-
//   tresolin-cli encrypt-folder [--cipher aes|rc4] [--pack] [--force] FOLDER OUTPUT_DIR
//   tresolin-cli decrypt [--force] CONTAINER [OUTPUT|-]
//   tresolin-cli verify CONTAINER
//   tresolin-cli info CONTAINER
//   tresolin-cli --help | --version
//
// Exit codes (fixed; scripts rely on them) are the kExit constants below.
// Every line on err starts with "tresolin-cli: " and is German: the flow's
// own message first, then the cause where known. out carries what `info`
// and `verify` print, and a restored file for OUTPUT "-".
#ifndef TRESOLIN_CLI_CLI_H_
#define TRESOLIN_CLI_CLI_H_

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // any other failure
inline constexpr int kExitUsage = 2;    // the command line is wrong
inline constexpr int kExitWrongPassword = 3;
inline constexpr int kExitNotContainer = 4;  // no readable trailer of ours
inline constexpr int kExitDamaged = 5;       // the trailer reads, the body fails a check
inline constexpr int kExitNoSpace = 6;       // not enough disk space
// 129, 130, 143: ended by SIGHUP, SIGINT, SIGTERM (platform's interrupt
// clean-up).

// Where a password may come from besides --password-file.
struct PasswordSources {
  // The value of TRESOLIN_PASSWORD, if set.
  std::optional<std::string> environment;
  // Asks on the terminal without echo; nullopt when there is no terminal.
  std::function<std::optional<std::string>(std::string_view prompt)> askTerminal;
};

// What the process offers besides its arguments.
struct Console {
  std::istream* in = nullptr;  // standard input; nullptr: none (reads as empty)
  bool outIsTerminal = false;  // a restored file is never written to a terminal
  bool errIsTerminal = false;  // only then a progress line is shown
  // Progress lines start after a step has run this long.
  int progressDelayMs = 1000;
};

// Runs one command line (args without the program name).
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const PasswordSources& passwords, const Console& console = {});

}  // namespace cli

#endif  // TRESOLIN_CLI_CLI_H_
