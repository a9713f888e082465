// Folder containers: a folder tree becomes one zip archive in the temporary
// folder, which is encrypted into a container in a folder the user picks;
// restoring reverses it below a chosen output folder.
#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "app/flows/texts.h"
#include "archive/archive.h"
#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace flows {
namespace {

using crypto::Cipher;
using internal::RemoveWorkingFiles;

// The folder to walk: the source folder without its trailing "/", except
// for the root, which has nothing else to be called.
std::string WalkFolder(const std::string& sourceFolder) {
  if (sourceFolder.size() > 1 && sourceFolder.back() == '/') {
    return sourceFolder.substr(0, sourceFolder.size() - 1);
  }
  return sourceFolder;
}

}  // namespace

FlowOutcome EncryptFolder(AppState& state, FrontEnd& ui) {
  crypto::ContainerKind kind;
  kind.folder = true;
  kind.packed = ui.IsChecked(gadget::kFolderPackYes);
  kind.cipher = ui.IsChecked(gadget::kFolderRc4) ? Cipher::kRc4 : Cipher::kAes;

  if (state.sourceFolder.empty()) {
    ui.MessageBox(text::kError, text::kNoFolderChosen, kStyleInformation);
    return {FlowResult::kCancelled, ""};
  }
  const bool listed =
      archive::CollectFolderFiles(WalkFolder(state.sourceFolder), state.folderFiles);
  // The folder stays the current one afterwards, so that the next file
  // dialog of the encryption tab opens next to it.
  platform::SetCurrentFolder(state.sourceFolder);

  state.outputFolder = ui.FolderDialog(text::kChooseOutputFolder, "");
  if (state.outputFolder.empty()) return {FlowResult::kCancelled, ""};
  state.containerName = crypto::FolderContainerName(state.sourceFolder, kind.cipher);
  const std::string archivePath = state.tempFolder + state.containerName;
  const std::string container = state.outputFolder + state.containerName;
  if (!state.replaceExisting && platform::PathExists(container)) {
    return {FlowResult::kWouldReplace, container};
  }

  auto fail = [&](bool progressRunning, bool containerStarted) {
    if (progressRunning) ui.StopProgress();
    RemoveWorkingFiles({archivePath, containerStarted ? container : ""});
    ui.RestoreMainWindow();
    ui.MessageBox(text::kError, text::kEncryptionFailed, kStyleStop);
    return FlowOutcome{FlowResult::kFailed, ""};
  };

  ui.StartProgress(text::kPackingFolder);
  // A folder that could not be read whole must not pass for protected.
  const bool archived =
      listed && archive::BuildFolderArchive(state.sourceFolder, archivePath, kind.packed,
                                            state.folderFiles, state.archivePauseMs) == 1;
  ui.StopProgress();
  if (!archived) return fail(false, false);

  ui.StartProgress(text::kEncryptingFolder);
  if (!internal::RunEngine(kind.cipher, true, archivePath, container, state.password, false)) {
    return fail(true, true);
  }
  if (!crypto::AppendTrailer(container, crypto::MarkerFor(kind), state.password)) {
    return fail(true, true);
  }
  ui.StopProgress();
  RemoveWorkingFiles({archivePath});
  ui.RestoreMainWindow();
  ui.MessageBox(text::kEncryption, text::kEncryptionDone, kStyleInformation);
  return {FlowResult::kSucceeded, container};
}

bool ChooseFolderContainer(AppState& state, FrontEnd& ui) {
  return internal::ChooseContainer(state, ui, internal::Panel::kFolder);
}

FlowOutcome DecryptFolder(AppState& state, FrontEnd& ui) {
  const ContainerSelection& selection = state.folderSelection;
  if (!crypto::CheckPassword(selection.fingerprintLine, state.password)) {
    ui.MessageBox(text::kError, text::kWrongPassword, kStyleStop);
    return {FlowResult::kFailed, ""};
  }
  const std::string outputFolder = ui.FolderDialog(text::kChooseOutputFolder, "");
  if (outputFolder.empty()) return {FlowResult::kCancelled, ""};

  const Cipher cipher = crypto::FolderKindAt(selection.kind).cipher;
  const std::string& container = selection.containerPath;
  const std::string workingCopy =
      crypto::FolderWorkingCopyPath(state.tempFolder, container, cipher);
  const std::string decryptedArchive =
      crypto::DecryptedArchivePath(state.tempFolder, container, cipher);
  const std::string restored = crypto::RestoredFolderPath(outputFolder, container, cipher);
  if (!state.replaceExisting && platform::PathExists(restored)) {
    return {FlowResult::kWouldReplace, restored};
  }

  ui.StartProgress(text::kDecryptingFolder);
  const bool decrypted =
      internal::CopyBody(container, workingCopy) &&
      internal::RunEngine(cipher, false, workingCopy, decryptedArchive, state.password, true);
  ui.StopProgress();
  RemoveWorkingFiles({workingCopy});
  if (!decrypted) {
    RemoveWorkingFiles({decryptedArchive});
    ui.RestoreMainWindow();
    ui.MessageBox(text::kError, text::kDecryptionFailed, kStyleStop);
    return {FlowResult::kFailed, ""};
  }

  const bool createdHere = !platform::PathExists(restored);
  const archive::FolderExtractResult extracted =
      archive::ExtractFolderArchive(decryptedArchive, restored);
  RemoveWorkingFiles({decryptedArchive});
  ui.RestoreMainWindow();
  if (!extracted.opened) {
    // A body that decrypted to no archive at all (damaged, or altered): the
    // folder made for it holds nothing and goes again.
    if (createdHere) platform::RemoveEmptyFolder(restored);
    ui.MessageBox(text::kError, text::kDecryptionFailed, kStyleStop);
    return {FlowResult::kFailed, ""};
  }
  if (!extracted.ok()) {
    ui.MessageBox(text::kNotice, text::kUnpackFailed, kStyleNone);
    return {FlowResult::kFailed, restored};
  }
  ui.MessageBox(text::kEncryption, text::kDecryptionDone, kStyleInformation);
  return {FlowResult::kSucceeded, restored};
}

}  // namespace flows
