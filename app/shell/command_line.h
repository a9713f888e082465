// The window program's command line: at most one file or folder to open,
// --help and --version. Qt's own options are not taken; QT_QPA_PLATFORM and
// the like serve instead. Pure functions, thread-safe.
#ifndef TRESOLIN_APP_SHELL_COMMAND_LINE_H_
#define TRESOLIN_APP_SHELL_COMMAND_LINE_H_

#include <string>
#include <string_view>
#include <vector>

namespace shell {

inline constexpr std::string_view kVersionText = "tresolin 0.1.0\n";

// The usage lines and the help text, German as the window.
extern const std::string_view kUsageText;
extern const std::string_view kHelpText;

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  std::string path;   // kRun: the file or folder to open, as given; "" for none
  std::string error;  // kUsageError: what was wrong, for "tresolin: ..."
};

// Reads args (argv[1..]). "--" ends the options, so a path may start with
// "-"; --help (-h) and --version win wherever they stand before it.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_COMMAND_LINE_H_
