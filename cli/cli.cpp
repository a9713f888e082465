#include "cli/cli.h"

#include <map>
#include <set>
#include <variant>

#include "app/flows/flows.h"
#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace cli {
namespace {

using crypto::Cipher;
namespace gadget = flows::gadget;

constexpr std::string_view kVersion = "tresolin-cli 0.1.0";

constexpr std::string_view kUsage =
    "Usage:\n"
    "  tresolin-cli encrypt [--cipher aes|rc4] [--pack] [--replace] FILE\n"
    "  tresolin-cli encrypt-folder [--cipher aes|rc4] [--pack] FOLDER OUTPUT_DIR\n"
    "  tresolin-cli decrypt [--force] CONTAINER [OUTPUT]\n"
    "  tresolin-cli info CONTAINER\n"
    "  tresolin-cli --help | --version\n";

constexpr std::string_view kHelp =
    "\n"
    "Encrypts files and folders into password-protected containers, and opens\n"
    "them again. Containers are those of the Tresolin window program.\n"
    "\n"
    "Commands:\n"
    "  encrypt         FILE becomes a container beside it: the name up to its\n"
    "                  first \".\" plus .aes or .rc4 (brief.txt -> brief.aes).\n"
    "                  --replace deletes FILE once the container is written.\n"
    "  encrypt-folder  every file below FOLDER becomes one container\n"
    "                  OUTPUT_DIR/NAME.aes or .rc4, NAME the folder's name.\n"
    "  decrypt         finds the kind from the container itself. OUTPUT is the\n"
    "                  restored file (plain file containers; default: CONTAINER\n"
    "                  without .aes/.rc4) or the folder to restore into (packed\n"
    "                  and folder containers; default: the container's folder).\n"
    "  info            shows what the container's trailer says.\n"
    "\n"
    "Options:\n"
    "  --cipher aes|rc4       cipher (default aes)\n"
    "  --pack                 compress before encrypting (default: no)\n"
    "  --replace              encrypt: delete the original afterwards\n"
    "  --force                decrypt: replace an existing output file\n"
    "  --password-file FILE   take the password from the first line of FILE\n"
    "\n"
    "Without --password-file the password comes from TRESOLIN_PASSWORD, else\n"
    "it is asked on the terminal (twice when encrypting).\n"
    "\n"
    "Exit codes: 0 success, 1 failure, 2 usage error.\n";

// A front end without a window: dialogs answer from the command line,
// messages go to the error stream, progress is silent.
class CliFrontEnd : public flows::FrontEnd {
 public:
  explicit CliFrontEnd(std::ostream& err) : err_(err) {}

  std::string openAnswer;
  std::string saveAnswer;
  std::string folderAnswer;
  std::set<int> checked;

  void MessageBox(std::string_view, std::string_view text, int) override { err_ << text << '\n'; }
  std::string FileOpenDialog(std::string_view, std::string_view, std::string_view, int) override {
    return openAnswer;
  }
  std::string FileSaveDialog(std::string_view, std::string_view, std::string_view, int) override {
    return saveAnswer;
  }
  std::string FolderDialog(std::string_view, std::string_view) override { return folderAnswer; }
  bool IsChecked(int gadgetNumber) override { return checked.count(gadgetNumber) != 0; }
  std::string GadgetText(int gadgetNumber) override { return fields_[gadgetNumber]; }
  void SetGadgetText(int gadgetNumber, std::string_view text) override {
    fields_[gadgetNumber] = std::string(text);
  }
  void StartProgress(std::string_view) override {}
  void StopProgress() override {}
  void RestoreMainWindow() override {}

 private:
  std::ostream& err_;
  std::map<int, std::string> fields_;
};

struct Options {
  std::string command;
  Cipher cipher = Cipher::kAes;
  bool cipherGiven = false;
  bool pack = false;
  bool replace = false;
  bool force = false;
  std::optional<std::string> passwordFile;
  std::vector<std::string> operands;
};

struct UsageError {
  std::string message;
};

// Returns the parsed options, or the message of a usage error.
std::variant<Options, UsageError> Parse(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string_view name) -> std::optional<std::string> {
      if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
          arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
      }
      if (arg == name && i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    if (arg == "--help" || arg == "-h" || arg == "--version") {
      options.command = arg == "--version" ? "--version" : "--help";
      return options;
    }
    if (arg.rfind("--cipher", 0) == 0) {
      const auto cipher = value("--cipher");
      options.cipherGiven = true;
      if (cipher == "aes") {
        options.cipher = Cipher::kAes;
      } else if (cipher == "rc4") {
        options.cipher = Cipher::kRc4;
      } else {
        return UsageError{"--cipher takes aes or rc4"};
      }
    } else if (arg.rfind("--password-file", 0) == 0) {
      options.passwordFile = value("--password-file");
      if (!options.passwordFile) return UsageError{"--password-file needs a file"};
    } else if (arg == "--pack") {
      options.pack = true;
    } else if (arg == "--replace") {
      options.replace = true;
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      return UsageError{"unknown option " + arg};
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      options.operands.push_back(arg);
    }
  }
  if (options.command.empty()) return UsageError{"no command given"};

  struct Shape {
    std::size_t minOperands, maxOperands;
    bool cipherOptions, replace, force;
  };
  static const std::map<std::string, Shape> kShapes = {
      {"encrypt", {1, 1, true, true, false}},
      {"encrypt-folder", {2, 2, true, false, false}},
      {"decrypt", {1, 2, false, false, true}},
      {"info", {1, 1, false, false, false}},
  };
  const auto shape = kShapes.find(options.command);
  if (shape == kShapes.end()) return UsageError{"unknown command " + options.command};
  const Shape& s = shape->second;
  if (options.operands.size() < s.minOperands || options.operands.size() > s.maxOperands) {
    return UsageError{"wrong number of operands for " + options.command};
  }
  if ((options.pack || options.cipherGiven) && !s.cipherOptions) {
    return UsageError{"--cipher and --pack belong to encrypt and encrypt-folder"};
  }
  if (options.replace && !s.replace) return UsageError{"--replace belongs to encrypt"};
  if (options.force && !s.force) return UsageError{"--force belongs to decrypt"};
  return options;
}

class Command {
 public:
  Command(const Options& options, std::ostream& out, std::ostream& err,
          const PasswordSources& passwords)
      : options_(options), out_(out), err_(err), passwords_(passwords), ui_(err) {
    state_.tempFolder = platform::TempFolder();
    state_.archivePauseMs = 0;
    state_.replaceExisting = options.force;
  }

  int Run() {
    // The folder flow changes the current folder; every path is fixed first.
    for (std::string& operand : options_.operands) operand = platform::AbsolutePath(operand);
    if (options_.command == "encrypt") return Encrypt();
    if (options_.command == "encrypt-folder") return EncryptFolder();
    if (options_.command == "decrypt") return Decrypt();
    return Info();
  }

 private:
  // Returns the password as container bytes, or nullopt after telling why
  // (*usage set when no source exists at all).
  std::optional<std::string> Password(bool confirm, bool* usage) {
    *usage = false;
    if (options_.passwordFile) {
      auto data = platform::ReadWholeFile(*options_.passwordFile, kMaxPasswordFileBytes);
      if (!data) {
        err_ << "tresolin-cli: cannot read password file " << *options_.passwordFile << '\n';
        return std::nullopt;
      }
      std::string text(data->begin(), data->end());
      text = text.substr(0, text.find('\n'));
      if (!text.empty() && text.back() == '\r') text.pop_back();
      return platform::PasswordBytes(text);
    }
    if (passwords_.environment) return platform::PasswordBytes(*passwords_.environment);
    std::optional<std::string> typed;
    if (passwords_.askTerminal) typed = passwords_.askTerminal("Passwort: ");
    if (!typed) {
      err_ << "tresolin-cli: no password: use --password-file, TRESOLIN_PASSWORD or a terminal\n";
      *usage = true;
      return std::nullopt;
    }
    if (confirm) {
      const auto again = passwords_.askTerminal("Passwort wiederholen: ");
      if (!again || *again != *typed) {
        err_ << "tresolin-cli: the two passwords differ\n";
        return std::nullopt;
      }
    }
    return platform::PasswordBytes(*typed);
  }

  // Sets state_.password; returns the exit code to end with, or -1 to go on.
  int TakePassword(bool confirm) {
    bool usage = false;
    auto password = Password(confirm, &usage);
    if (!password) return usage ? kExitUsage : kExitFailure;
    state_.password = std::move(*password);
    return -1;
  }

  int Finish(const flows::FlowOutcome& outcome) {
    if (outcome.result == flows::FlowResult::kWouldReplace) {
      err_ << "tresolin-cli: " << outcome.outputPath << " exists already"
           << (options_.command == "decrypt" ? "; --force replaces it" : "") << '\n';
      return kExitFailure;
    }
    if (!outcome.cause.empty()) err_ << "tresolin-cli: " << outcome.cause << '\n';
    if (outcome.result == flows::FlowResult::kSucceeded) {
      if (!outcome.outputPath.empty()) err_ << "-> " << outcome.outputPath << '\n';
      return outcome.originalKept ? kExitFailure : kExitOk;
    }
    return kExitFailure;
  }

  int Encrypt() {
    const std::string& file = options_.operands[0];
    if (!platform::FileExists(file)) {
      err_ << "tresolin-cli: " << file << ": no such file\n";
      return kExitFailure;
    }
    if (const int code = TakePassword(true); code >= 0) return code;
    state_.sourceFile = file;
    ui_.SetGadgetText(gadget::kSourceFileField, file);
    ui_.checked = {options_.pack ? gadget::kFilePackYes : gadget::kFilePackNo,
                   options_.cipher == Cipher::kRc4 ? gadget::kFileRc4 : gadget::kFileAes};
    if (options_.replace) ui_.checked.insert(gadget::kReplaceOriginal);
    return Finish(flows::EncryptFile(state_, ui_));
  }

  int EncryptFolder() {
    std::string folder = options_.operands[0];
    std::string output = options_.operands[1];
    if (!platform::IsFolder(folder) || !platform::IsFolder(output)) {
      err_ << "tresolin-cli: " << (platform::IsFolder(folder) ? output : folder)
           << ": no such folder\n";
      return kExitFailure;
    }
    if (folder.back() != '/') folder += '/';
    if (output.back() != '/') output += '/';
    if (const int code = TakePassword(true); code >= 0) return code;
    state_.sourceFolder = folder;
    ui_.SetGadgetText(gadget::kSourceFolderField, folder);
    ui_.folderAnswer = output;
    ui_.checked = {options_.pack ? gadget::kFolderPackYes : gadget::kFolderPackNo,
                   options_.cipher == Cipher::kRc4 ? gadget::kFolderRc4 : gadget::kFolderAes};
    return Finish(flows::EncryptFolder(state_, ui_));
  }

  int Decrypt() {
    const std::string& container = options_.operands[0];
    const std::optional<std::string> output =
        options_.operands.size() > 1 ? std::optional(options_.operands[1]) : std::nullopt;
    const crypto::Trailer trailer = crypto::ReadTrailer(container);
    const bool folderKind = crypto::MatchFileMarker(trailer.markerLine) < 0 &&
                            crypto::MatchFolderMarker(trailer.markerLine) >= 0;
    ui_.openAnswer = container;
    if (folderKind ? !flows::ChooseFolderContainer(state_, ui_)
                   : !flows::ChooseFileContainer(state_, ui_)) {
      return kExitFailure;
    }

    const std::string folder = std::string(crypto::FolderPart(container));
    const crypto::ContainerKind kind = folderKind
                                           ? crypto::FolderKindAt(state_.folderSelection.kind)
                                           : crypto::FileKindAt(state_.fileSelection.kind);
    if (kind.folder || kind.packed) {
      std::string target = output.value_or(folder.empty() ? "./" : folder);
      if (target.back() != '/') target += '/';
      ui_.folderAnswer = target;
    } else {
      const std::string target = output.value_or(DefaultOutput(container, kind.cipher));
      const platform::PathKind existing = platform::KindOfPath(target);
      // Never written through or replaced, --force or not.
      if (existing != platform::PathKind::kMissing && existing != platform::PathKind::kFile) {
        err_ << "tresolin-cli: " << target
             << " is not a regular file (a link, folder, FIFO or device); name another OUTPUT\n";
        return kExitFailure;
      }
      if (platform::PathExists(target) && platform::SameFile(target, container)) {
        err_ << "tresolin-cli: the output would replace the container itself; name an OUTPUT\n";
        return kExitFailure;
      }
      if (platform::PathExists(target) && !options_.force) {
        err_ << "tresolin-cli: " << target << " exists already; --force replaces it\n";
        return kExitFailure;
      }
      ui_.saveAnswer = target;
    }
    if (const int code = TakePassword(false); code >= 0) return code;
    return Finish(kind.folder ? flows::DecryptFolder(state_, ui_)
                              : flows::DecryptFile(state_, ui_));
  }

  // The container's path without its final ".aes" / ".rc4"; a container
  // without that suffix gets the name the window would propose.
  static std::string DefaultOutput(const std::string& container, Cipher cipher) {
    const std::string_view suffix = crypto::FinalSuffix(cipher);
    if (container.size() > suffix.size() &&
        container.compare(container.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        !crypto::FileNamePart(container.substr(0, container.size() - suffix.size())).empty()) {
      return container.substr(0, container.size() - suffix.size());
    }
    return crypto::ProposedOutputPath(container, cipher);
  }

  int Info() {
    const std::string& container = options_.operands[0];
    const crypto::Trailer trailer = crypto::ReadTrailer(container);
    if (!trailer.opened) {
      err_ << "tresolin-cli: cannot open " << container << '\n';
      return kExitFailure;
    }
    const int fileIndex = crypto::MatchFileMarker(trailer.markerLine);
    const int folderIndex = crypto::MatchFolderMarker(trailer.markerLine);
    if (fileIndex < 0 && folderIndex < 0) {
      err_ << "Das ist keine mit diesem Program verschlüsselte Datei.\n";
      return kExitFailure;
    }
    const crypto::ContainerKind kind =
        fileIndex >= 0 ? crypto::FileKindAt(fileIndex) : crypto::FolderKindAt(folderIndex);
    const std::string_view marker =
        fileIndex >= 0 ? crypto::kFileMarkers[fileIndex] : crypto::kFolderMarkers[folderIndex];
    out_ << "marker: " << marker << '\n'
         << "kind: " << (kind.cipher == Cipher::kAes ? "AES" : "RC4") << ", "
         << (kind.packed ? "packed" : "not packed") << ", " << (kind.folder ? "folder" : "file")
         << '\n'
         << "body length: " << trailer.bodyLength << '\n'
         << "trailer matches file size: " << (crypto::TrailerMatchesSize(trailer) ? "yes" : "no")
         << '\n';
    return kExitOk;
  }

  // A password file is one line; anything larger is a mistake.
  static constexpr std::int64_t kMaxPasswordFileBytes = 1 << 20;

  Options options_;
  std::ostream& out_;
  std::ostream& err_;
  const PasswordSources& passwords_;
  CliFrontEnd ui_;
  flows::AppState state_;
};

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const PasswordSources& passwords) {
  auto parsed = Parse(args);
  if (auto* usage = std::get_if<UsageError>(&parsed)) {
    err << "tresolin-cli: " << usage->message << '\n' << kUsage;
    return kExitUsage;
  }
  const Options& options = std::get<Options>(parsed);
  if (options.command == "--help") {
    out << kUsage << kHelp;
    return kExitOk;
  }
  if (options.command == "--version") {
    out << kVersion << '\n';
    return kExitOk;
  }
  return Command(options, out, err, passwords).Run();
}

}  // namespace cli
