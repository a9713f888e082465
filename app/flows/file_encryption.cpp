// Encrypting a file: optional packing, the engine, the trailer, the final
// name and, on request, replacing the original.
#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "app/flows/texts.h"
#include "archive/archive.h"
#include "crypto/rc4.h"
#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace flows {
namespace {

using crypto::Cipher;
using internal::RemoveWorkingFiles;

// Returns true iff the container at path reads back with marker and a body of
// bodyLength bytes: only then may the original go.
bool ContainerReadsBack(const std::string& path, std::string_view marker, std::int64_t bodyLength) {
  const crypto::Trailer trailer = crypto::ReadTrailer(path);
  return trailer.opened &&
         std::string_view(trailer.markerLine).substr(0, marker.size()) == marker &&
         trailer.bodyLength == bodyLength && crypto::TrailerMatchesSize(trailer);
}

}  // namespace

void ChooseFileToEncrypt(AppState& state, FrontEnd& ui) {
  state.sourceFile =
      ui.FileOpenDialog(text::kChooseFileToEncrypt, platform::CurrentFolder(), text::kFilterAll, 0);
  ui.SetGadgetText(gadget::kSourceFileField, state.sourceFile);
}

void ChooseFolderToEncrypt(AppState& state, FrontEnd& ui) {
  state.sourceFolder = ui.FolderDialog(text::kChooseFolder, "");
  ui.SetGadgetText(gadget::kSourceFolderField, state.sourceFolder);
}

FlowOutcome EncryptFile(AppState& state, FrontEnd& ui) {
  crypto::ContainerKind kind;
  kind.packed = ui.IsChecked(gadget::kFilePackYes);
  kind.cipher = ui.IsChecked(gadget::kFileRc4) ? Cipher::kRc4 : Cipher::kAes;
  const bool replace = ui.IsChecked(gadget::kReplaceOriginal);

  if (ui.GadgetText(gadget::kSourceFileField).empty()) {
    ui.MessageBox(text::kError, text::kNoFileChosen, kStyleInformation);
    return {FlowResult::kCancelled, ""};
  }
  const std::string& source = state.sourceFile;
  const std::string packed = kind.packed ? crypto::PackedCopyPath(source) : "";
  const std::string engineInput = kind.packed ? packed : source;
  const std::string engineOutput = crypto::EngineOutputPath(source, kind.cipher);
  const std::string_view marker = crypto::MarkerFor(kind);

  auto fail = [&](bool progressRunning) {
    if (progressRunning) ui.StopProgress();
    RemoveWorkingFiles({packed, engineOutput});
    ui.RestoreMainWindow();
    ui.MessageBox(text::kError, text::kEncryptionFailed, kStyleStop);
    return FlowOutcome{FlowResult::kFailed, ""};
  };

  // The body length must fit the trailer's signed 32-bit field.
  if (platform::FileSize(source) > crypto::kMaxBodyBytes) return fail(false);

  if (kind.packed) {
    ui.StartProgress(text::kPackingFile);
    const bool packedOk = archive::PackFile(source, packed, state.archivePauseMs) == 1;
    ui.StopProgress();
    // An empty or partial archive must never pass for the protected file.
    if (!packedOk) return fail(false);
  }

  ui.StartProgress(text::kEncryptingFile);
  if (!internal::RunEngine(kind.cipher, true, engineInput, engineOutput, state.password, false)) {
    return fail(true);
  }
  const std::int64_t bodyLength = platform::FileSize(engineOutput);
  if (bodyLength < 0 || !crypto::AppendTrailer(engineOutput, marker, state.password)) {
    return fail(true);
  }
  RemoveWorkingFiles({packed});

  // A name that is taken already keeps the container under the engine
  // output's name; nothing existing is ever replaced.
  std::string container = crypto::FinalContainerPath(source, kind.cipher);
  if (!platform::RenameFile(engineOutput, container)) container = engineOutput;
  ui.StopProgress();

  if (replace && ContainerReadsBack(container, marker, bodyLength)) {
    platform::DeleteFile(source);
    const std::string replacement = crypto::ReplacementPath(source, kind.cipher);
    if (platform::RenameFile(replacement, source)) container = source;
  }
  ui.RestoreMainWindow();
  ui.MessageBox(text::kEncryption, text::kEncryptionDone, kStyleInformation);
  return {FlowResult::kSucceeded, container};
}

}  // namespace flows
