// Encrypting a file: optional packing, the engine, the trailer, the final
// name and, on request, replacing the original.
#include <cerrno>

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

// Returns true iff the container at path restores to exactly the bytes of
// source: only then may the original go. It is restored into a private
// working folder of its own beside it, which goes again at once.
bool ContainerRestoresSource(const std::string& container, const crypto::ContainerKind& kind,
                             const std::string& source, std::string_view password) {
  const platform::WorkFolder work =
      platform::WorkFolder::Create(std::string(crypto::FolderPart(container)));
  if (!work.ok()) return false;
  const internal::RestoredFile restored =
      internal::RestoreFileContainer(work, container, kind, password, work.path());
  return restored.status.ok() && !restored.unpackFailed && !restored.noRoom &&
         internal::SameContent(restored.path, source);
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

FlowOutcome EncryptFile(AppState& state, FrontEnd& ui, const EncryptionOptions& options) {
  crypto::ContainerKind kind;
  kind.packed = options.packed;
  kind.cipher = options.cipher;
  const bool replace = options.replaceOriginal;

  if (ui.GadgetText(gadget::kSourceFileField).empty()) {
    ui.MessageBox(text::kError, text::kNoFileChosen, kStyleInformation);
    return {FlowResult::kCancelled, ""};
  }
  const std::string& source = state.sourceFile;
  const std::string_view marker = crypto::MarkerFor(kind);

  const std::string landing(crypto::FolderPart(source));
  auto fail = [&](bool progressRunning, std::string_view cause = {}, platform::Status status = {}) {
    if (progressRunning) ui.StopProgress();
    ui.RestoreMainWindow();
    ui.MessageBox(text::kError, text::kEncryptionFailed, kStyleStop);
    return FlowOutcome(FlowResult::kFailed, "", cause, std::move(status));
  };
  // What went wrong in the working folder is told of the user's paths: the
  // source read, or the folder where the container lands.
  auto ofUserPaths = [&](platform::Status status) {
    using platform::Cause;
    const bool reading = status.cause == Cause::kReadFailed || status.cause == Cause::kNoAccess ||
                         status.cause == Cause::kTooLarge || status.cause == Cause::kMissing;
    if (reading) status.path = source;
    if (status.cause == Cause::kWriteFailed) status.path = landing;
    return status;
  };

  const platform::Status readable = platform::ExamineFileToRead(source);
  if (!readable.ok()) return fail(false, {}, readable);
  // The body length must fit the trailer's signed 32-bit field.
  if (platform::FileSize(source) > crypto::kMaxBodyBytes) {
    return fail(false, {}, platform::Status::Of(platform::Cause::kTooLarge, source));
  }

  // The container lands beside the source, so its working files go there.
  platform::WorkFolder work = platform::WorkFolder::Create(landing);
  if (!work.ok()) {
    return fail(false, text::kCauseNoWorkFolder,
                platform::Status::Of(platform::Cause::kWriteFailed, landing, errno));
  }

  // The engine derives the names of its own files from its input's path:
  // it gets a name inside the working folder, a stand-in for the source or
  // the packed copy.
  const std::string engineInput = work / (kind.packed ? "source.ppp" : "source");
  const std::string engineOutput = work / "container";
  if (kind.packed) {
    ui.StartProgress(text::kPackingFile);
    const platform::Status packed = archive::PackFile(source, engineInput, state.archivePauseMs);
    ui.StopProgress();
    // An empty or partial archive must never pass for the protected file.
    if (!packed.ok()) return fail(false, {}, ofUserPaths(packed));
  } else if (!platform::MakeStandIn(source, engineInput)) {
    return fail(false, text::kCauseNoWorkFolder,
                platform::Status::Of(platform::Cause::kWriteFailed, landing, errno));
  }

  ui.StartProgress(text::kEncryptingFile);
  const platform::Status engineStatus =
      internal::RunEngine(kind.cipher, internal::Direction::kEncrypt, engineInput, engineOutput,
                          state.password, &ui, text::kEncryptingFile);
  if (!engineStatus.ok()) return fail(true, {}, ofUserPaths(engineStatus));
  if (!crypto::AppendTrailer(engineOutput, marker, state.password) ||
      !internal::SealResult(engineOutput)) {
    return fail(true, {}, platform::Status::Of(platform::Cause::kWriteFailed, landing, errno));
  }

  // The container takes its designed name, else the engine output's name
  // beside the source; it never replaces anything.
  std::string container = crypto::FinalContainerPath(source, kind.cipher);
  if (!work.MoveOut(engineOutput, container)) {
    container = crypto::EngineOutputPath(source, kind.cipher);
    if (!work.MoveOut(engineOutput, container)) {
      return fail(true, text::kCauseNameTaken,
                  platform::Status::Of(platform::Cause::kNameTaken, container));
    }
  }
  work.Commit();
  work.Remove();
  if (!platform::SyncFolder(std::string(crypto::FolderPart(container)))) {
    const int syncError = errno;
    platform::DeleteFile(container);
    return fail(true, {}, platform::Status::Of(platform::Cause::kWriteFailed, landing, syncError));
  }
  ui.StopProgress();

  bool originalKept = false;
  if (replace) {
    // The source goes only once the container has been read back whole and
    // restores to exactly its bytes.
    originalKept = !ContainerRestoresSource(container, kind, source, state.password) ||
                   !platform::DeleteFile(source);
    if (!originalKept) {
      // A source without "." has a container of its own name plus the
      // suffix, which then takes over the source's path.
      const std::string replacement = crypto::ReplacementPath(source, kind.cipher);
      if (container == replacement && platform::RenameFile(replacement, source)) container = source;
    }
  }
  ui.RestoreMainWindow();
  ui.MessageBox(text::kEncryption, text::kEncryptionDone, kStyleInformation);
  FlowOutcome outcome{FlowResult::kSucceeded, container};
  if (originalKept) {
    ui.MessageBox(text::kError, text::kOriginalKept, kStyleStop);
    outcome.originalKept = true;
  }
  return outcome;
}

}  // namespace flows
