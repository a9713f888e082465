// Decrypting a file container: password check, body copy, the engine and,
// for packed kinds, unpacking into a chosen folder.
#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "app/flows/texts.h"
#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace flows {

using crypto::Cipher;
using internal::RemoveWorkingFiles;

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

  if (kind.packed) {
    // Unpacking comes with the archive subsystem.
    ui.MessageBox(text::kError, text::kDecryptionFailed, kStyleStop);
    return {FlowResult::kFailed, ""};
  }

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
