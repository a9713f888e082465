// tresolin-cli: the four flows without a window, for scripts, servers and
// tests. Commands are functions over injected streams so that tests run them
// in-process; main() only wires them to the real process.
//
//   tresolin-cli encrypt [--cipher aes|rc4] [--pack] [--replace] FILE
//   tresolin-cli encrypt-folder [--cipher aes|rc4] [--pack] FOLDER OUTPUT_DIR
//   tresolin-cli decrypt [--force] CONTAINER [OUTPUT]
//   tresolin-cli info CONTAINER
//   tresolin-cli --help | --version
//
// Exit codes: 0 success, 1 any failure, 2 a usage error. The flows' messages
// go to err byte for byte; out carries only what `info` prints.
#ifndef TRESOLIN_CLI_CLI_H_
#define TRESOLIN_CLI_CLI_H_

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Where a password may come from besides --password-file.
struct PasswordSources {
  // The value of TRESOLIN_PASSWORD, if set.
  std::optional<std::string> environment;
  // Asks on the terminal without echo; nullopt when there is no terminal.
  std::function<std::optional<std::string>(std::string_view prompt)> askTerminal;
};

// Runs one command line (args without the program name).
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const PasswordSources& passwords);

}  // namespace cli

#endif  // TRESOLIN_CLI_CLI_H_
