// The four user flows (encrypt a file, encrypt a folder, decrypt a file,
// decrypt a folder) and the choices that precede them, written against a
// small front-end interface so that the window program and tresolin-cli run
// the very same steps.
//
// A flow runs to its end on the caller's thread. It reads the gadget states
// it needs through the front end and talks to the user only through it.
//
// Nothing of the user's is touched but the source and the result. Every
// working file of a run lives in one private folder (platform::WorkFolder)
// made next to where the result lands, and goes with it on every path. The
// result reaches its name by a last rename that never replaces anything the
// user did not agree to replace, and a container is on the disk before
// success is reported. A restore that fails part-way removes whatever it had
// created. The application state is owned by the caller; a flow reads and
// updates it as each flow's comment below says.
#ifndef TRESOLIN_APP_FLOWS_FLOWS_H_
#define TRESOLIN_APP_FLOWS_FLOWS_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "crypto/secret.h"
#include "crypto/trailer.h"
#include "platform/platform.h"

namespace flows {

// Gadget numbers: the identities of the main window's controls and of the
// password dialogs' OK buttons, shared by the window and the flows.
namespace gadget {
inline constexpr int kSourceFileField = 5;
inline constexpr int kChooseSourceFile = 6;
inline constexpr int kFilePackYes = 8;
inline constexpr int kFilePackNo = 10;
inline constexpr int kEncryptFile = 11;
inline constexpr int kFileAes = 14;
inline constexpr int kReplaceOriginal = 15;
inline constexpr int kFileRc4 = 16;
inline constexpr int kSourceFolderField = 28;
inline constexpr int kChooseSourceFolder = 29;
inline constexpr int kFolderPackYes = 31;
inline constexpr int kFolderPackNo = 33;
inline constexpr int kEncryptFolder = 34;
inline constexpr int kFolderAes = 37;
inline constexpr int kFolderRc4 = 39;
inline constexpr int kDecryptFile = 42;
inline constexpr int kDecryptFolder = 43;
inline constexpr int kFileContainerField = 45;
inline constexpr int kChooseFileContainer = 46;
inline constexpr int kFileKindField = 48;
inline constexpr int kFolderContainerField = 50;
inline constexpr int kChooseFolderContainer = 51;
inline constexpr int kFolderKindField = 53;
inline constexpr int kOkEncryptFile = 57;
inline constexpr int kOkDecryptFile = 67;
inline constexpr int kOkEncryptFolder = 75;
inline constexpr int kOkDecryptFolder = 83;
}  // namespace gadget

// Message box styles: no icon, stop icon, information icon.
inline constexpr int kStyleNone = 0;
inline constexpr int kStyleStop = 16;
inline constexpr int kStyleInformation = 64;

// Everything a flow needs from the program that shows it. Every modal
// question goes through here, so a test can answer it in advance.
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

  // Shows a message with a single OK button; returns when it is closed.
  virtual void MessageBox(std::string_view title, std::string_view text, int style) = 0;

  // File-open dialog. filter is "display|pattern[|display|pattern...]".
  // Returns the chosen full path, or "" on cancel.
  virtual std::string FileOpenDialog(std::string_view title, std::string_view defaultPath,
                                     std::string_view filter, int filterIndex) = 0;

  // File-save dialog proposing proposedPath. Asks before it returns the
  // path of an existing file, so such a path is the user's agreement to
  // replace it. Returns the chosen full path, or "" on cancel.
  virtual std::string FileSaveDialog(std::string_view title, std::string_view proposedPath,
                                     std::string_view filter, int filterIndex) = 0;

  // Folder dialog. Returns the chosen folder ending in "/", or "" on cancel.
  virtual std::string FolderDialog(std::string_view title, std::string_view startFolder) = 0;

  // Text of a text field, and setting it.
  virtual std::string GadgetText(int gadgetNumber) = 0;
  virtual void SetGadgetText(int gadgetNumber, std::string_view text) = 0;

  // Shows the progress indicator with caption and minimizes the main window;
  // StopProgress ends the indicator (nothing when none runs).
  virtual void StartProgress(std::string_view caption) = 0;
  virtual void StopProgress() = 0;

  // Brings the main window back after a phase with the progress indicator.
  virtual void RestoreMainWindow() = 0;

  // Tells how far the long step named step has come, in bytes of its input.
  // Called often, from the flow's thread; a front end with its own progress
  // indicator may ignore it, as the window does.
  virtual void ReportProgress(std::string_view step, std::int64_t bytesDone,
                              std::int64_t bytesTotal) {
    (void)step;
    (void)bytesDone;
    (void)bytesTotal;
  }
};

// Answers to a window's modal dialogs, given in advance: with them a window
// shows nothing modal, answers its questions from the lists and records its
// messages. The windows' tests drive them this way.
struct DialogAnswers {
  struct Message {
    std::string title, text;
    int style = 0;
    bool operator==(const Message&) const = default;
  };

  // Answers in order; an exhausted list answers "" (a cancel).
  std::deque<std::string> fileOpen, fileSave, folder;

  // Everything that would have been shown.
  std::vector<Message> messages;
  std::vector<std::string> dialogTitles;  // file and folder dialogs, in order

  // Called before each answer or message, so that a test can look at the
  // window as the user would see it when the question comes up.
  std::function<void()> onQuestion;

  // The next answer of list to the dialog titled title, recorded.
  std::string Answer(std::deque<std::string>& list, std::string_view title);
  // Records a message instead of showing it.
  void Record(std::string_view title, std::string_view text, int style);
};

// A front end that hands every call to another one through Carry, which runs
// the call where that one lives (a window's GUI thread) and returns once it
// has run, so a flow on a worker thread sees the same order of questions and
// answers as on that thread itself. Each call's arguments live on the
// calling thread's stack, which waits until the call is done with them.
// Progress reports are dropped: a window shows its own progress program.
class CarryingFrontEnd : public FrontEnd {
 public:
  explicit CarryingFrontEnd(FrontEnd& target) : target_(target) {}

  void MessageBox(std::string_view title, std::string_view text, int style) override;
  std::string FileOpenDialog(std::string_view title, std::string_view defaultPath,
                             std::string_view filter, int filterIndex) override;
  std::string FileSaveDialog(std::string_view title, std::string_view proposedPath,
                             std::string_view filter, int filterIndex) override;
  std::string FolderDialog(std::string_view title, std::string_view startFolder) override;
  std::string GadgetText(int gadgetNumber) override;
  void SetGadgetText(int gadgetNumber, std::string_view text) override;
  void StartProgress(std::string_view caption) override;
  void StopProgress() override;
  void RestoreMainWindow() override;

 protected:
  // Runs call where the target lives and returns when it has run.
  virtual void Carry(const std::function<void()>& call) = 0;

  FrontEnd& target() { return target_; }

 private:
  FrontEnd& target_;
};

// The container chosen on one decryption panel.
struct ContainerSelection {
  std::string containerPath;  // "" when none
  int kind = 0;               // index of the matched marker (see crypto/trailer.h)
  std::string markerLine;
  std::string fingerprintLine;
  std::int32_t bodyLength = 0;
  float sizeMegabytes = 0.0f;
};

// The application state: one record for the whole run, owned by the caller.
struct AppState {
  std::string sourceFile;    // file chosen on the encryption tab
  std::string sourceFolder;  // folder chosen there, ending in "/"
  crypto::Secret password;   // bytes of the last confirmed password
  std::string tempFolder;    // ends in "/"; taken once at start-up; never
                             // holds working files
  std::string containerName;
  std::string outputFolder;
  archive::FolderFileList folderFiles;
  ContainerSelection fileSelection;
  ContainerSelection folderSelection;

  // Pause after each chunk written into an archive entry, in milliseconds.
  // It keeps the progress window animating while the window program works;
  // the command line passes 0.
  int archivePauseMs = archive::kChunkPauseMilliseconds;

  // Whether restoring may replace an existing regular file or write into an
  // existing folder of the same name. The window does, as its users expect
  // (its save dialog asks first); the command line does not unless told to.
  // Nothing but a regular file is ever replaced.
  bool replaceExisting = true;

  // Whether folder encryption may replace an existing container of the same
  // name that is a regular file (the command line's --force). The window
  // never does.
  bool replaceContainer = false;

  // Why the last container choice was refused; ok after a choice that took.
  platform::Status choiceStatus;
};

// What a flow came to. The user has already been told through the front end.
enum class FlowResult {
  kSucceeded,
  kFailed,        // an error message was shown
  kCancelled,     // a dialog was cancelled or nothing was chosen; nothing written
  kWouldReplace,  // restoring would replace outputPath (replaceExisting is off);
                  // nothing was written and no message shown
};

// The outcome of a flow, and where its result went (the container, the
// restored file or folder) when it succeeded.
struct FlowOutcome {
  FlowOutcome() = default;
  FlowOutcome(FlowResult result, std::string outputPath, std::string_view cause = {},
              platform::Status status = {})
      : result(result),
        outputPath(std::move(outputPath)),
        cause(cause),
        status(std::move(status)) {}

  FlowResult result = FlowResult::kFailed;
  std::string outputPath;
  // Why a failure happened, where the flow knows more than its message
  // says (the command line shows it; the window keeps its messages): what
  // the flow was doing, and the cause from the layers below.
  std::string_view cause;
  platform::Status status;
  // Encryption with "replace the original": the container is complete, but
  // the source could not be deleted (the user was told).
  bool originalKept = false;
};

// Gadget 6: asks for the file to encrypt; sets sourceFile and gadget 5.
void ChooseFileToEncrypt(AppState& state, FrontEnd& ui);

// Gadget 29: asks for the folder to encrypt; sets sourceFolder and gadget 28.
void ChooseFolderToEncrypt(AppState& state, FrontEnd& ui);

// What the user chose for an encryption. Each front end fills it in its own
// way: the window from its option buttons, the command line from its flags.
struct EncryptionOptions {
  crypto::Cipher cipher = crypto::Cipher::kAes;
  bool packed = false;
  // Files: delete the source once its container reads back as its bytes.
  bool replaceOriginal = false;
  // Folders: where the container goes, ending in "/"; "" asks through the
  // front end's folder dialog.
  std::string outputFolder;
};

// Gadget 57 (dialog 1 confirmed, state.password set): encrypts sourceFile.
FlowOutcome EncryptFile(AppState& state, FrontEnd& ui, const EncryptionOptions& options);

// Gadget 75 (dialog 3 confirmed): encrypts sourceFolder into one container.
FlowOutcome EncryptFolder(AppState& state, FrontEnd& ui, const EncryptionOptions& options);

// Gadget 46: asks for a file container, checks free space, reads its trailer
// and shows its kind. Returns true iff a container is now selected.
bool ChooseFileContainer(AppState& state, FrontEnd& ui);

// Gadget 67 (dialog 2 confirmed): decrypts the selected file container.
FlowOutcome DecryptFile(AppState& state, FrontEnd& ui);

// Gadget 51: the same as ChooseFileContainer for folder containers.
bool ChooseFolderContainer(AppState& state, FrontEnd& ui);

// Checks the body of the container at path, whose trailer was read as kind
// and whose fingerprint matches password, as far as the kind allows: its
// length; AES: the padding and the pack container with its checksum; packed
// and folder kinds: every zip entry's CRC. RC4 without packing carries no
// checksum: only its length is checked. Everything decrypted stays in a
// private working folder beside the container (files 0600), which goes
// again in any case. Returns ok, kDamaged with the check that failed and the
// container's path, or the cause that kept the check from running.
// *zipEntries receives the number of zip entries checked. Progress goes
// through ui.
platform::Status VerifyBody(const std::string& container, const crypto::ContainerKind& kind,
                            std::string_view password, FrontEnd& ui, int* zipEntries);

// Gadget 83 (dialog 4 confirmed): restores the selected folder container.
FlowOutcome DecryptFolder(AppState& state, FrontEnd& ui);

}  // namespace flows

#endif  // TRESOLIN_APP_FLOWS_FLOWS_H_
