// Decrypting a file container: password check, body copy, the engine and,
// for packed kinds, unpacking into a chosen folder.
#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "app/flows/texts.h"
#include "archive/archive.h"
#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace flows {

using crypto::Cipher;
using internal::RemoveWorkingFiles;

namespace {

// Packed kinds: the body decrypts into a one-entry archive that is unpacked
// into a folder the user picks; the file keeps its own name.
FlowOutcome DecryptPackedFile(AppState& state, FrontEnd& ui, Cipher cipher) {
  const std::string& container = state.fileSelection.containerPath;
  const std::string folder = ui.FolderDialog(text::kChooseTargetFolder, "");
  if (folder.empty()) return {FlowResult::kCancelled, ""};

  ui.StartProgress(text::kDecryptingFile);
  const std::string workingCopy = crypto::PackedWorkingCopyPath(container, cipher);
  const std::string pack = crypto::DecryptedPackPath(container, cipher);
  const bool decrypted =
      internal::CopyBody(container, workingCopy) &&
      internal::RunEngine(cipher, false, workingCopy, pack, state.password, true);
  if (!decrypted) {
    ui.StopProgress();
    ui.RestoreMainWindow();
    RemoveWorkingFiles({workingCopy, pack});
    ui.MessageBox(text::kError, text::kDecryptionFailed, kStyleStop);
    return {FlowResult::kFailed, ""};
  }
  if (cipher == Cipher::kAes) {
    ui.StopProgress();
    ui.StartProgress(text::kUnpackingFile);
  }
  // RC4 containers were always unpacked keeping paths, AES ones not; a
  // packed file's single entry has no folder part, so both land alike.
  const bool keepPaths = cipher == Cipher::kRc4;
  const std::optional<std::string> target = archive::EntryTargetPath(pack, 0, folder, keepPaths);
  if (!state.replaceExisting && target && platform::PathExists(*target)) {
    ui.StopProgress();
    ui.RestoreMainWindow();
    RemoveWorkingFiles({workingCopy, pack});
    return {FlowResult::kWouldReplace, *target};
  }
  const bool unpacked = archive::UnpackFile(pack, folder, keepPaths) == 1;
  ui.StopProgress();
  ui.RestoreMainWindow();
  RemoveWorkingFiles({workingCopy, pack});
  if (!unpacked) {
    ui.MessageBox(text::kNotice, text::kUnpackFailed, kStyleNone);
    return {FlowResult::kFailed, ""};
  }
  ui.MessageBox(text::kNotice, text::kUnpackDone, kStyleNone);
  return {FlowResult::kSucceeded, target.value_or(folder)};
}

}  // namespace

bool ChooseFileContainer(AppState& state, FrontEnd& ui) {
  return internal::ChooseContainer(state, ui, internal::Panel::kFile);
}

FlowOutcome DecryptFile(AppState& state, FrontEnd& ui) {
  const ContainerSelection& selection = state.fileSelection;
  if (!crypto::CheckPassword(selection.fingerprintLine, state.password)) {
    ui.MessageBox(text::kError, text::kWrongPassword, kStyleStop);
    return {FlowResult::kFailed, ""};
  }
  const crypto::ContainerKind kind = crypto::FileKindAt(selection.kind);
  const std::string& container = selection.containerPath;

  if (kind.packed) return DecryptPackedFile(state, ui, kind.cipher);

  const std::string output =
      ui.FileSaveDialog(text::kChooseOutputName, crypto::ProposedOutputPath(container, kind.cipher),
                        text::kFilterAllSave, 0);
  if (output.empty()) return {FlowResult::kCancelled, ""};

  ui.StartProgress(text::kDecryptingFile);
  const std::string workingCopy = crypto::PlainWorkingCopyPath(container);
  const bool decrypted =
      internal::CopyBody(container, workingCopy) &&
      internal::RunEngine(kind.cipher, false, workingCopy, output, state.password, false);
  ui.StopProgress();
  RemoveWorkingFiles({workingCopy});
  ui.RestoreMainWindow();
  if (!decrypted) {
    ui.MessageBox(text::kError, text::kDecryptionFailed, kStyleStop);
    return {FlowResult::kFailed, ""};
  }
  ui.MessageBox(text::kEncryption, text::kDecryptionDone, kStyleInformation);
  return {FlowResult::kSucceeded, output};
}

}  // namespace flows
