// Reading the window program's arguments.
#include "app/shell/command_line.h"

namespace shell {

const std::string_view kUsageText =
    "Aufruf:\n"
    "  tresolin [DATEI|ORDNER]\n"
    "  tresolin --help | --version\n";

const std::string_view kHelpText =
    "\n"
    "Öffnet das Fenster von Tresolin. Ein Container als DATEI steht danach im\n"
    "Reiter \"Entschlüsseln\", unter \"Datei Entschlüsseln\" oder \"Ordner\n"
    "Entschlüsseln\", wie sein Anhang sagt; jede andere DATEI steht im Reiter\n"
    "\"Verschlüsseln\" unter \"Datei Schützen\", ein ORDNER unter \"Ordner\n"
    "Schützen\". Läuft Tresolin schon, kommt sein Fenster nach vorn und\n"
    "übernimmt DATEI oder ORDNER.\n"
    "\n"
    "Ohne Fenster arbeitet tresolin-cli (siehe tresolin-cli --help).\n";

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  std::vector<std::string> paths;
  bool options = true;
  for (const std::string& arg : args) {
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "--help" || arg == "-h")) {
      return {CommandLine::Action::kHelp, "", ""};
    } else if (options && arg == "--version") {
      return {CommandLine::Action::kVersion, "", ""};
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      line.action = CommandLine::Action::kUsageError;
      if (line.error.empty()) line.error = "unbekannte Option: " + arg;
    } else {
      paths.push_back(arg);
    }
  }
  if (line.action == CommandLine::Action::kUsageError) return line;
  if (paths.size() > 1)
    return {CommandLine::Action::kUsageError, "", "nur eine DATEI oder ein ORDNER"};
  if (paths.size() == 1) line.path = paths.front();
  return line;
}

}  // namespace shell
