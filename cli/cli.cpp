#include "cli/cli.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <variant>

#include "app/flows/flows.h"
#include "app/flows/texts.h"
#include "cli/messages.h"
#include "cli/progress_line.h"
#include "crypto/rc4.h"
#include "crypto/secret.h"
#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace cli {
namespace {

using crypto::Cipher;
using platform::Cause;
using platform::Status;
namespace gadget = flows::gadget;

constexpr std::string_view kVersion = "tresolin-cli 0.1.0";
using internal::CauseText;
using internal::ExitCodeOf;
using internal::kPrefix;
using internal::ProgressLine;

// verify's own message for a body that fails a check.
constexpr std::string_view kCheckFailed = "Prüfung fehlgeschlagen";

constexpr std::string_view kUsage =
    "Aufruf:\n"
    "  tresolin-cli encrypt [--cipher aes|rc4] [--pack] [--replace] [--output DATEI] DATEI|-\n"
    "  tresolin-cli encrypt-folder [--cipher aes|rc4] [--pack] [--force] ORDNER ZIELORDNER\n"
    "  tresolin-cli decrypt [--force] CONTAINER [AUSGABE|-]\n"
    "  tresolin-cli verify CONTAINER\n"
    "  tresolin-cli info CONTAINER\n"
    "  tresolin-cli --help | --version\n";

constexpr std::string_view kHelp =
    "\n"
    "Verschlüsselt Dateien und Ordner in passwortgeschützte Container und\n"
    "öffnet sie wieder. Die Container sind die des Tresolin-Fensterprogramms.\n"
    "\n"
    "Befehle:\n"
    "  encrypt         DATEI wird zu einem Container daneben: der Name bis zum\n"
    "                  ersten \".\" plus .aes oder .rc4 (brief.txt -> brief.aes).\n"
    "                  --output DATEI gibt dem Container einen anderen Namen; mit\n"
    "                  --output und \"-\" als DATEI kommen die Daten von der\n"
    "                  Standardeingabe. --replace löscht DATEI, sobald der Container\n"
    "                  zurückgelesen wurde und genau ihre Bytes ergibt.\n"
    "  encrypt-folder  alle Dateien unter ORDNER werden ein Container\n"
    "                  ZIELORDNER/NAME.aes oder .rc4, NAME der Name des Ordners.\n"
    "                  --force ersetzt einen vorhandenen Container dieses Namens,\n"
    "                  wenn er eine gewöhnliche Datei ist.\n"
    "  decrypt         erfährt die Art aus dem Container selbst. AUSGABE ist die\n"
    "                  wiederhergestellte Datei (nicht gepackte Datei-Container;\n"
    "                  ohne AUSGABE: CONTAINER ohne .aes/.rc4, brief.aes -> brief)\n"
    "                  oder der Ordner, in den wiederhergestellt wird (gepackte und\n"
    "                  Ordner-Container; ohne AUSGABE: der Ordner des Containers).\n"
    "                  \"-\" schreibt eine nicht gepackte Datei auf die Standardausgabe.\n"
    "                  Eine vorhandene Datei wird nur mit --force ersetzt.\n"
    "  verify          prüft Anhang, Passwort und Inhalt, so weit die Art es\n"
    "                  erlaubt, ohne etwas wiederherzustellen.\n"
    "  info            zeigt, was der Anhang des Containers sagt.\n"
    "\n"
    "Optionen:\n"
    "  --cipher aes|rc4       Verfahren (Vorgabe: aes)\n"
    "  --pack                 vor dem Verschlüsseln packen (Vorgabe: nein)\n"
    "  --replace              encrypt: das Original danach löschen\n"
    "  --output DATEI         encrypt: Name des Containers\n"
    "  --force                decrypt, encrypt-folder: Vorhandenes ersetzen\n"
    "  --password-file DATEI  Passwort aus der ersten Zeile von DATEI (\"-\":\n"
    "                         von der Standardeingabe)\n"
    "  --quiet                keine Fortschrittsanzeige\n"
    "\n"
    "Ohne --password-file kommt das Passwort aus TRESOLIN_PASSWORD, sonst wird\n"
    "es am Terminal erfragt (beim Verschlüsseln zweimal).\n"
    "\n"
    "Rückgabewerte:\n"
    "  0  Erfolg\n"
    "  1  anderer Fehler\n"
    "  2  falscher Aufruf\n"
    "  3  falsches Passwort\n"
    "  4  keine mit diesem Programm verschlüsselte Datei (oder am Ende abgeschnitten)\n"
    "  5  Container beschädigt (der Anhang ist lesbar, der Inhalt besteht eine\n"
    "     Prüfung nicht)\n"
    "  6  zu wenig Speicherplatz\n"
    "  129, 130, 143  beendet durch SIGHUP, SIGINT (Strg-C), SIGTERM\n";

// A front end without a window: dialogs answer from the command line,
// messages are kept until the flow has ended (the command line adds the
// cause to the last one), progress goes to a progress line.
class CliFrontEnd : public flows::FrontEnd {
 public:
  explicit CliFrontEnd(ProgressLine& progress) : progress_(progress) {}

  std::string openAnswer;
  std::string saveAnswer;
  std::string folderAnswer;
  std::vector<std::string> messages;

  void MessageBox(std::string_view, std::string_view text, int) override {
    messages.emplace_back(text);
  }
  std::string FileOpenDialog(std::string_view, std::string_view, std::string_view, int) override {
    return openAnswer;
  }
  std::string FileSaveDialog(std::string_view, std::string_view, std::string_view, int) override {
    return saveAnswer;
  }
  std::string FolderDialog(std::string_view, std::string_view) override { return folderAnswer; }
  std::string GadgetText(int gadgetNumber) override { return fields_[gadgetNumber]; }
  void SetGadgetText(int gadgetNumber, std::string_view text) override {
    fields_[gadgetNumber] = std::string(text);
  }
  void StartProgress(std::string_view) override {}
  void StopProgress() override { progress_.Clear(); }
  void RestoreMainWindow() override {}
  void ReportProgress(std::string_view step, std::int64_t done, std::int64_t total) override {
    progress_.Report(step, done, total);
  }

 private:
  ProgressLine& progress_;
  std::map<int, std::string> fields_;
};

struct Options {
  std::string command;
  Cipher cipher = Cipher::kAes;
  bool cipherGiven = false;
  bool pack = false;
  bool replace = false;
  bool force = false;
  bool quiet = false;
  std::optional<std::string> passwordFile;
  std::optional<std::string> output;
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
        return UsageError{"--cipher verlangt aes oder rc4"};
      }
    } else if (arg.rfind("--password-file", 0) == 0) {
      options.passwordFile = value("--password-file");
      if (!options.passwordFile) return UsageError{"--password-file verlangt eine Datei"};
    } else if (arg.rfind("--output", 0) == 0) {
      options.output = value("--output");
      if (!options.output || options.output->empty() || *options.output == "-") {
        return UsageError{"--output verlangt einen Dateinamen"};
      }
    } else if (arg == "--pack") {
      options.pack = true;
    } else if (arg == "--replace") {
      options.replace = true;
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      return UsageError{"unbekannte Option " + arg};
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      options.operands.push_back(arg);
    }
  }
  if (options.command.empty()) return UsageError{"kein Befehl angegeben"};

  struct Shape {
    std::size_t minOperands, maxOperands;
    bool cipherOptions, replace, force, output;
  };
  static const std::map<std::string, Shape> kShapes = {
      {"encrypt", {1, 1, true, true, false, true}},
      {"encrypt-folder", {2, 2, true, false, true, false}},
      {"decrypt", {1, 2, false, false, true, false}},
      {"verify", {1, 1, false, false, false, false}},
      {"info", {1, 1, false, false, false, false}},
  };
  const auto shape = kShapes.find(options.command);
  if (shape == kShapes.end()) return UsageError{"unbekannter Befehl " + options.command};
  const Shape& s = shape->second;
  if (options.operands.size() < s.minOperands || options.operands.size() > s.maxOperands) {
    return UsageError{"falsche Zahl von Angaben für " + options.command};
  }
  if ((options.pack || options.cipherGiven) && !s.cipherOptions) {
    return UsageError{"--cipher und --pack gehören zu encrypt und encrypt-folder"};
  }
  if (options.replace && !s.replace) return UsageError{"--replace gehört zu encrypt"};
  if (options.force && !s.force) {
    return UsageError{"--force gehört zu decrypt und encrypt-folder"};
  }
  if (options.output && !s.output) return UsageError{"--output gehört zu encrypt"};
  const bool dataFromInput = options.command == "encrypt" && options.operands[0] == "-";
  if (dataFromInput && !options.output) {
    return UsageError{"Daten von der Standardeingabe brauchen --output DATEI"};
  }
  if (options.replace && options.output) {
    return UsageError{"--replace geht nicht zusammen mit --output"};
  }
  if (dataFromInput && options.passwordFile == "-") {
    return UsageError{"Passwort und Daten können nicht beide von der Standardeingabe kommen"};
  }
  // "-" stands for standard input as encrypt's FILE and for standard output
  // as decrypt's OUTPUT, nowhere else.
  for (std::size_t i = 0; i < options.operands.size(); ++i) {
    const bool allowed =
        (options.command == "encrypt" && i == 0) || (options.command == "decrypt" && i == 1);
    if (options.operands[i] == "-" && !allowed) {
      return UsageError{"\"-\" steht hier für keine Datei"};
    }
  }
  return options;
}

class Command {
 public:
  Command(const Options& options, std::ostream& out, std::ostream& err,
          const PasswordSources& passwords, const Console& console)
      : options_(options),
        out_(out),
        err_(err),
        passwords_(passwords),
        console_(console),
        progress_(err, console.errIsTerminal && !options.quiet, console.progressDelayMs),
        ui_(progress_) {
    state_.tempFolder = platform::TempFolder();
    state_.archivePauseMs = 0;
    state_.replaceExisting = options.force;
  }

  int Run() {
    // The folder flow changes the current folder; every path is fixed first,
    // and remembered as given, for the messages.
    for (std::string& operand : options_.operands) operand = Absolute(operand);
    if (options_.output) options_.output = Absolute(*options_.output);
    if (options_.command == "encrypt") return Encrypt();
    if (options_.command == "encrypt-folder") return EncryptFolder();
    if (options_.command == "decrypt") return Decrypt();
    if (options_.command == "verify") return Verify();
    return Info();
  }

 private:
  // Returns path made absolute, remembering its spelling.
  std::string Absolute(const std::string& given) {
    if (given == "-") return given;
    const std::string absolute = platform::AbsolutePath(given);
    spellings_.emplace_back(absolute, given);
    return absolute;
  }

  // Returns path as the user would write it: relative to an operand as
  // given, where it lies below one (or beside it), else unchanged.
  std::string Shown(const std::string& path) const {
    std::string best = path;
    std::size_t bestLength = 0;
    for (const auto& [absolute, given] : spellings_) {
      const std::string absoluteFolder(crypto::FolderPart(absolute));
      const std::string givenFolder(crypto::FolderPart(given));
      if (path.compare(0, absolute.size(), absolute) == 0 && absolute.size() > bestLength) {
        std::string rest = path.substr(absolute.size());
        // "out" and "out/" both given as a folder: no doubled slash.
        if (!given.empty() && given.back() == '/' && !rest.empty() && rest[0] == '/') {
          rest.erase(0, 1);
        }
        best = given + rest;
        bestLength = absolute.size();
      } else if (!absoluteFolder.empty() &&
                 path.compare(0, absoluteFolder.size(), absoluteFolder) == 0 &&
                 absoluteFolder.size() > bestLength) {
        best = givenFolder + path.substr(absoluteFolder.size());
        bestLength = absoluteFolder.size();
      }
    }
    if (best.empty()) return ".";
    // Folder names joined to names that start with "/" double it; the path
    // is the same with one.
    for (std::size_t twice = best.find("//"); twice != std::string::npos;
         twice = best.find("//", twice)) {
      best.erase(twice, 1);
    }
    return best;
  }

  // Writes one line to err with the program's prefix.
  void Say(std::string_view text) {
    progress_.Clear();
    err_ << kPrefix << text << '\n';
  }

  // The message, then what the flow was doing, the path and the cause, as
  // far as each is known. A message's closing "." gives way to the details.
  std::string Described(std::string_view message, std::string_view doing, const Status& status) {
    std::string line(message);
    const std::string cause = CauseText(status);
    const bool details = !doing.empty() || !status.path.empty() || !cause.empty();
    if (details && !line.empty() && line.back() == '.') line.pop_back();
    auto add = [&line](std::string_view part) {
      if (part.empty()) return;
      if (!line.empty()) line += ": ";
      line += part;
    };
    add(doing);
    if (!status.path.empty()) add(Shown(status.path));
    // A flow's own cause already says that a name was taken.
    if (doing.empty() || status.cause != Cause::kNameTaken) add(cause);
    return line;
  }

  // Tells of a failure before any flow ran; returns its exit code.
  int Refuse(const Status& status) {
    Say(Described("", "", status));
    return ExitCodeOf(status);
  }

  // The container bytes of a password text, which is wiped.
  static crypto::Secret TakeAsPassword(std::string& text) {
    crypto::Secret password;
    password = platform::PasswordBytes(text);
    crypto::WipeBytes(text.data(), text.capacity());
    return password;
  }

  // Returns the password as container bytes, or nullopt after telling why
  // (*usage set when no source exists at all). What it read on the way is
  // wiped.
  std::optional<crypto::Secret> Password(bool confirm, bool* usage) {
    *usage = false;
    if (options_.passwordFile) {
      std::string text;
      if (*options_.passwordFile == "-") {
        if (console_.in == nullptr || !std::getline(*console_.in, text)) {
          Say("kein Passwort auf der Standardeingabe");
          return std::nullopt;
        }
      } else {
        auto data = platform::ReadWholeFile(*options_.passwordFile, kMaxPasswordFileBytes);
        if (!data) {
          Status why = platform::ExamineFileToRead(*options_.passwordFile);
          if (why.ok()) why = Status::Of(Cause::kNoAccess, *options_.passwordFile);
          Say("Passwortdatei nicht lesbar: " + Described("", "", why));
          return std::nullopt;
        }
        text.assign(data->begin(), std::find(data->begin(), data->end(), '\n'));
        crypto::WipeBytes(data->data(), data->size());
      }
      if (!text.empty() && text.back() == '\r') text.pop_back();
      return TakeAsPassword(text);
    }
    if (passwords_.environment) {
      std::string text = *passwords_.environment;
      return TakeAsPassword(text);
    }
    std::optional<std::string> typed;
    if (passwords_.askTerminal) typed = passwords_.askTerminal("Passwort: ");
    if (!typed) {
      Say("kein Passwort: --password-file, TRESOLIN_PASSWORD oder ein Terminal ist nötig");
      *usage = true;
      return std::nullopt;
    }
    crypto::Secret password = TakeAsPassword(*typed);
    if (confirm) {
      auto again = passwords_.askTerminal("Passwort wiederholen: ");
      const bool same = again && TakeAsPassword(*again).view() == password.view();
      if (!same) {
        Say("die beiden Passwörter sind verschieden");
        return std::nullopt;
      }
    }
    return password;
  }

  // Sets state_.password; returns the exit code to end with, or -1 to go on.
  int TakePassword(bool confirm) {
    bool usage = false;
    auto password = Password(confirm, &usage);
    if (!password) return usage ? kExitUsage : kExitFailure;
    state_.password = std::move(*password);
    return -1;
  }

  // Tells what the flow came to; shownOutput replaces its output path in
  // the success line. Returns the exit code.
  int Finish(const flows::FlowOutcome& outcome, std::optional<std::string> shownOutput = {}) {
    progress_.Clear();
    if (outcome.result == flows::FlowResult::kWouldReplace) {
      Say(Shown(outcome.outputPath) + ": gibt es schon; --force ersetzt es");
      return kExitFailure;
    }
    std::vector<std::string>& messages = ui_.messages;
    if (outcome.result == flows::FlowResult::kSucceeded) {
      for (std::size_t i = 0; i < messages.size(); ++i) {
        std::string line = messages[i];
        if (i == 0 && !outcome.outputPath.empty()) {
          line += ": " + shownOutput.value_or(Shown(outcome.outputPath));
        }
        Say(line);
      }
      return outcome.originalKept ? kExitFailure : kExitOk;
    }
    for (std::size_t i = 0; i + 1 < messages.size(); ++i) Say(messages[i]);
    Say(Described(messages.empty() ? std::string_view() : std::string_view(messages.back()),
                  outcome.cause, outcome.status));
    return ExitCodeOf(outcome.status);
  }

  int Encrypt() {
    const std::string& file = options_.operands[0];
    if (file == "-") return EncryptStandardInput();
    if (const Status readable = platform::ExamineFileToRead(file); !readable.ok()) {
      return Refuse(readable);
    }
    if (options_.output) return EncryptInto(*options_.output, file, false);
    if (const int code = TakePassword(true); code >= 0) return code;
    return Finish(RunFileEncryption(file));
  }

  flows::FlowOutcome RunFileEncryption(const std::string& source) {
    state_.sourceFile = source;
    ui_.SetGadgetText(gadget::kSourceFileField, source);
    return flows::EncryptFile(state_, ui_, {options_.cipher, options_.pack, options_.replace, {}});
  }

  // Encrypts into the container named by --output: the source (a stand-in
  // for it, or the staged standard input) stands in a private working folder
  // beside the container under the name the entry is to carry, the flow
  // makes its container there, and one rename without replacing moves it
  // out.
  int EncryptInto(const std::string& container, const std::string& source, bool fromInput) {
    const std::string landing(crypto::FolderPart(container));
    if (platform::KindOfPath(container) != platform::PathKind::kMissing) {
      return Refuse(Status::Of(Cause::kNameTaken, container));
    }
    platform::WorkFolder work = platform::WorkFolder::Create(landing);
    if (!work.ok()) return Refuse(Status::Of(Cause::kWriteFailed, landing, errno));
    // Packed, the entry is named after the container's stem (from standard
    // input) or after the source itself.
    const std::string entryName = fromInput
                                      ? std::string(crypto::FileNamePart(crypto::Stem(container)))
                                      : std::string(crypto::FileNamePart(source));
    const std::string standIn = work / (entryName.empty() ? "daten" : entryName);
    if (fromInput) {
      const Status staged = StageStandardInput(standIn);
      if (!staged.ok()) return Refuse(staged);
    } else if (!platform::MakeStandIn(source, standIn)) {
      return Refuse(Status::Of(Cause::kWriteFailed, landing, errno));
    }
    if (const int code = TakePassword(true); code >= 0) return code;
    flows::FlowOutcome outcome = RunFileEncryption(standIn);
    if (outcome.result != flows::FlowResult::kSucceeded) {
      // The user knows the container's folder, not this run's working one.
      std::string& path = outcome.status.path;
      if (path.compare(0, work.path().size(), work.path()) == 0) {
        path = path == standIn ? (fromInput ? "-" : source) : landing;
      }
      return Finish(outcome);
    }
    if (!work.MoveOut(outcome.outputPath, container)) {
      flows::FlowOutcome failed(flows::FlowResult::kFailed, "", {},
                                Status::Of(Cause::kNameTaken, container));
      ui_.messages = {std::string(flows::text::kEncryptionFailed)};
      return Finish(failed);
    }
    work.Commit();
    if (!platform::SyncFolder(landing)) {
      return Refuse(Status::Of(Cause::kWriteFailed, landing, errno));
    }
    flows::FlowOutcome done = outcome;
    done.outputPath = container;
    return Finish(done);
  }

  int EncryptStandardInput() {
    if (console_.in == nullptr) return Refuse(Status::Of(Cause::kReadFailed, "-"));
    return EncryptInto(*options_.output, "-", true);
  }

  // Copies standard input into the new private file path.
  Status StageStandardInput(const std::string& path) {
    platform::File file = platform::File::Open(path, platform::OpenMode::kCreateNew);
    if (!file.ok()) return Status::Of(Cause::kWriteFailed, path, file.lastError());
    std::vector<char> block(1 << 20);
    std::int64_t total = 0;
    while (*console_.in) {
      console_.in->read(block.data(), static_cast<std::streamsize>(block.size()));
      const std::streamsize n = console_.in->gcount();
      if (n <= 0) break;
      total += n;
      if (total > crypto::kMaxBodyBytes) return Status::Of(Cause::kTooLarge, "-");
      if (!file.Write(std::span(reinterpret_cast<const std::uint8_t*>(block.data()),
                                static_cast<std::size_t>(n)))) {
        return Status::Of(Cause::kWriteFailed, *options_.output, file.lastError());
      }
      progress_.Report("Standardeingabe wird gelesen", total, total);
    }
    if (console_.in->bad()) return Status::Of(Cause::kReadFailed, "-");
    if (!file.Close()) return Status::Of(Cause::kWriteFailed, *options_.output, file.lastError());
    return Status::Ok();
  }

  int EncryptFolder() {
    std::string folder = options_.operands[0];
    std::string output = options_.operands[1];
    for (const std::string& path : {folder, output}) {
      if (!platform::IsFolder(path)) {
        const bool missing = platform::KindOfPath(path) == platform::PathKind::kMissing;
        Say(Shown(path) + (missing ? ": Ordner nicht gefunden" : ": ist kein Ordner"));
        return kExitFailure;
      }
    }
    if (folder.back() != '/') folder += '/';
    if (output.back() != '/') output += '/';
    if (const int code = TakePassword(true); code >= 0) return code;
    state_.sourceFolder = folder;
    state_.replaceContainer = options_.force;
    ui_.SetGadgetText(gadget::kSourceFolderField, folder);
    return Finish(
        flows::EncryptFolder(state_, ui_, {options_.cipher, options_.pack, false, output}));
  }

  // Reads the container's trailer the way the flows do. Returns ok and sets
  // *kind, or the cause with the message the flow showed.
  Status ChooseContainer(crypto::ContainerKind* kind) {
    const std::string& container = options_.operands[0];
    if (Status readable = platform::ExamineFileToRead(container); !readable.ok()) return readable;
    const crypto::Trailer trailer = crypto::ReadTrailer(container);
    const bool folderKind = crypto::MatchFileMarker(trailer.markerLine) < 0 &&
                            crypto::MatchFolderMarker(trailer.markerLine) >= 0;
    ui_.openAnswer = container;
    if (folderKind ? !flows::ChooseFolderContainer(state_, ui_)
                   : !flows::ChooseFileContainer(state_, ui_)) {
      return state_.choiceStatus.ok() ? Status::Of(Cause::kFailed) : state_.choiceStatus;
    }
    *kind = folderKind ? crypto::FolderKindAt(state_.folderSelection.kind)
                       : crypto::FileKindAt(state_.fileSelection.kind);
    return Status::Ok();
  }

  int Decrypt() {
    const std::string& container = options_.operands[0];
    const std::optional<std::string> output =
        options_.operands.size() > 1 ? std::optional(options_.operands[1]) : std::nullopt;
    crypto::ContainerKind kind;
    if (const Status chosen = ChooseContainer(&kind); !chosen.ok()) {
      if (ui_.messages.empty()) return Refuse(chosen);
      return Finish(flows::FlowOutcome(flows::FlowResult::kFailed, "", {}, chosen));
    }
    if (output == "-") return DecryptToStandardOutput(kind);

    const std::string folder = std::string(crypto::FolderPart(container));
    if (kind.folder || kind.packed) {
      std::string target = output.value_or(folder.empty() ? "./" : folder);
      if (target.back() != '/') target += '/';
      ui_.folderAnswer = target;
    } else {
      const std::string target = output.value_or(DefaultOutput(container, kind.cipher));
      const platform::PathKind existing = platform::KindOfPath(target);
      // Never written through or replaced, --force or not.
      if (existing != platform::PathKind::kMissing && existing != platform::PathKind::kFile) {
        Say(Shown(target) +
            ": ist keine gewöhnliche Datei (Verknüpfung, Ordner, FIFO oder Gerät); "
            "nennen Sie eine andere AUSGABE");
        return kExitFailure;
      }
      if (platform::PathExists(target) && platform::SameFile(target, container)) {
        Say("die Ausgabe würde den Container selbst ersetzen; nennen Sie eine AUSGABE");
        return kExitFailure;
      }
      if (platform::PathExists(target) && !options_.force) {
        Say(Shown(target) + ": gibt es schon; --force ersetzt es, oder nennen Sie eine AUSGABE");
        return kExitFailure;
      }
      ui_.saveAnswer = target;
    }
    if (const int code = TakePassword(false); code >= 0) return code;
    return Finish(kind.folder ? flows::DecryptFolder(state_, ui_)
                              : flows::DecryptFile(state_, ui_));
  }

  // Restores a plain file container in a private working folder beside it
  // (or in the temporary folder, for a container on a read-only medium)
  // and copies the file to out; the working folder goes in any case.
  int DecryptToStandardOutput(const crypto::ContainerKind& kind) {
    if (kind.folder || kind.packed) {
      Say("nur nicht gepackte Datei-Container lassen sich auf die Standardausgabe schreiben; "
          "nennen Sie einen Ordner als AUSGABE");
      return kExitUsage;
    }
    if (console_.outIsTerminal) {
      Say("die Standardausgabe ist ein Terminal; leiten Sie sie in eine Datei oder ein "
          "Programm um");
      return kExitUsage;
    }
    const std::string& container = options_.operands[0];
    const std::string beside(crypto::FolderPart(container));
    platform::WorkFolder work = platform::WorkFolder::CreateForScratch(beside);
    if (!work.ok()) return Refuse(Status::Of(Cause::kWriteFailed, beside, errno));
    if (const int code = TakePassword(false); code >= 0) return code;
    ui_.saveAnswer = work / "restored";
    const flows::FlowOutcome outcome = flows::DecryptFile(state_, ui_);
    if (outcome.result != flows::FlowResult::kSucceeded) return Finish(outcome);
    platform::File restored = platform::File::Open(outcome.outputPath, platform::OpenMode::kRead);
    std::vector<std::uint8_t> block(1 << 20);
    for (;;) {
      const std::int64_t n = restored.Read(block);
      if (n < 0) return Refuse(Status::Of(Cause::kReadFailed, container, restored.lastError()));
      if (n == 0) break;
      out_.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
      if (!out_) return Refuse(Status::Of(Cause::kWriteFailed, "-", EIO));
    }
    out_.flush();
    if (!out_) return Refuse(Status::Of(Cause::kWriteFailed, "-", EIO));
    return Finish(outcome, "Standardausgabe");
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

  // Checks the container as far as its kind allows without restoring it.
  // Everything it decrypts stays in a private working folder beside the
  // container (or in the temporary folder), which goes again in any case.
  int Verify() {
    const std::string& container = options_.operands[0];
    if (Status readable = platform::ExamineFileToRead(container); !readable.ok()) {
      return Refuse(readable);
    }
    const crypto::Trailer trailer = crypto::ReadTrailer(container);
    const int fileIndex = crypto::MatchFileMarker(trailer.markerLine);
    const int folderIndex = crypto::MatchFolderMarker(trailer.markerLine);
    auto fail = [&](std::string_view message, Status status) {
      ui_.messages = {std::string(message)};
      return Finish(flows::FlowOutcome(flows::FlowResult::kFailed, "", {}, std::move(status)));
    };
    if (fileIndex < 0 && folderIndex < 0) {
      return fail(flows::text::kNotOurs, Status::Of(Cause::kNotContainer, container));
    }
    const crypto::ContainerKind kind =
        fileIndex >= 0 ? crypto::FileKindAt(fileIndex) : crypto::FolderKindAt(folderIndex);
    if (!crypto::TrailerMatchesSize(trailer)) {
      return fail(kCheckFailed, Status::DamagedAt(platform::Check::kBodyLength, container));
    }
    if (const int code = TakePassword(false); code >= 0) return code;
    if (!crypto::CheckPassword(trailer.fingerprintLine, state_.password)) {
      return fail(flows::text::kWrongPassword, Status::Of(Cause::kWrongPassword, container));
    }
    int entries = 0;
    Status status = flows::VerifyBody(container, kind, state_.password, ui_, &entries);
    progress_.Clear();
    if (!status.ok()) return fail(kCheckFailed, std::move(status));
    out_ << Shown(container) << ": in Ordnung (" << KindText(kind)
         << "; geprüft: " << ChecksDone(kind, entries) << ")\n";
    return kExitOk;
  }

  static std::string KindText(const crypto::ContainerKind& kind) {
    return std::string(kind.cipher == Cipher::kAes ? "AES" : "RC4") +
           (kind.packed ? ", gepackt, " : ", nicht gepackt, ") + (kind.folder ? "Ordner" : "Datei");
  }

  // What verify checks of a kind once the password opened it.
  static std::string ChecksDone(const crypto::ContainerKind& kind, int entries) {
    std::string checks = "Anhang, Länge, Passwort";
    if (kind.cipher == Cipher::kAes) {
      checks += ", Auffüllung, Pack-Container und, wo er komprimiert ist, seine Prüfsumme";
    }
    if (kind.packed || kind.folder) {
      checks += ", CRC aller " + std::to_string(entries) + " Zip-Einträge";
    }
    if (kind.cipher == Cipher::kRc4 && !kind.packed && !kind.folder) {
      checks += "; diese Art trägt keine Prüfsumme, ihr Inhalt ist nicht prüfbar";
    }
    return checks;
  }

  int Info() {
    const std::string& container = options_.operands[0];
    if (Status readable = platform::ExamineFileToRead(container); !readable.ok()) {
      return Refuse(readable);
    }
    const crypto::Trailer trailer = crypto::ReadTrailer(container);
    const int fileIndex = crypto::MatchFileMarker(trailer.markerLine);
    const int folderIndex = crypto::MatchFolderMarker(trailer.markerLine);
    if (fileIndex < 0 && folderIndex < 0) {
      ui_.messages = {std::string(flows::text::kNotOurs)};
      return Finish(flows::FlowOutcome(flows::FlowResult::kFailed, "", {},
                                       Status::Of(Cause::kNotContainer, container)));
    }
    const crypto::ContainerKind kind =
        fileIndex >= 0 ? crypto::FileKindAt(fileIndex) : crypto::FolderKindAt(folderIndex);
    const std::string_view marker =
        fileIndex >= 0 ? crypto::kFileMarkers[fileIndex] : crypto::kFolderMarkers[folderIndex];
    std::string withPassword = "Passwort";
    if (kind.cipher == Cipher::kAes) {
      withPassword +=
          ", Auffüllung, Pack-Container und, wo er komprimiert ist, seine "
          "Prüfsumme (erst wenn das Passwort den Inhalt öffnet)";
    }
    if (kind.packed || kind.folder) withPassword += ", CRC jedes Zip-Eintrags";
    if (kind.cipher == Cipher::kRc4 && !kind.packed && !kind.folder) {
      withPassword += "; diese Art trägt keine Prüfsumme";
    }
    out_ << "Kennung: " << marker << '\n'
         << "Art: " << KindText(kind) << '\n'
         << "Länge des Inhalts: " << trailer.bodyLength << '\n'
         << "Anhang passt zur Dateigröße: " << (crypto::TrailerMatchesSize(trailer) ? "ja" : "nein")
         << '\n'
         << "Prüfungen ohne Passwort: Anhang, Länge des Inhalts\n"
         << "Prüfungen mit Passwort (verify): " << withPassword << '\n';
    return kExitOk;
  }

  // A password file is one line; anything larger is a mistake.
  static constexpr std::int64_t kMaxPasswordFileBytes = 1 << 20;

  Options options_;
  std::ostream& out_;
  std::ostream& err_;
  const PasswordSources& passwords_;
  const Console& console_;
  ProgressLine progress_;
  CliFrontEnd ui_;
  flows::AppState state_;
  std::vector<std::pair<std::string, std::string>> spellings_;  // absolute, as given
};

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const PasswordSources& passwords, const Console& console) {
  auto parsed = Parse(args);
  if (auto* usage = std::get_if<UsageError>(&parsed)) {
    err << kPrefix << usage->message << '\n';
    for (std::size_t start = 0; start < kUsage.size();) {
      const std::size_t end = kUsage.find('\n', start);
      err << kPrefix << kUsage.substr(start, end - start) << '\n';
      start = end + 1;
    }
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
  return Command(options, out, err, passwords, console).Run();
}

}  // namespace cli
