// Folder containers: encrypting a folder tree and restoring it.
#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "app/flows/texts.h"

namespace flows {

bool ChooseFolderContainer(AppState& state, FrontEnd& ui) {
  return internal::ChooseContainer(state, ui, internal::Panel::kFolder);
}

// Folder archives come with the archive subsystem; until then both folder
// flows report failure without writing anything.
FlowOutcome EncryptFolder(AppState&, FrontEnd& ui) {
  ui.MessageBox(text::kError, text::kEncryptionFailed, kStyleStop);
  return {FlowResult::kFailed, ""};
}

FlowOutcome DecryptFolder(AppState& state, FrontEnd& ui) {
  if (!crypto::CheckPassword(state.folderSelection.fingerprintLine, state.password)) {
    ui.MessageBox(text::kError, text::kWrongPassword, kStyleStop);
    return {FlowResult::kFailed, ""};
  }
  ui.MessageBox(text::kError, text::kDecryptionFailed, kStyleStop);
  return {FlowResult::kFailed, ""};
}

}  // namespace flows
