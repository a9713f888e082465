// Folder containers: a folder tree becomes one zip archive, which is
// encrypted into a container in a folder the user picks; restoring reverses
// it below a chosen output folder. The archive and the restored tree live in
// the run's private working folder until the last rename.
#include <cerrno>

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

// The folder to walk: the source folder without its trailing "/", except
// for the root, which has nothing else to be called.
std::string WalkFolder(const std::string& sourceFolder) {
  if (sourceFolder.size() > 1 && sourceFolder.back() == '/') {
    return sourceFolder.substr(0, sourceFolder.size() - 1);
  }
  return sourceFolder;
}

}  // namespace

FlowOutcome EncryptFolder(AppState& state, FrontEnd& ui, const EncryptionOptions& options) {
  crypto::ContainerKind kind;
  kind.folder = true;
  kind.packed = options.packed;
  kind.cipher = options.cipher;

  if (state.sourceFolder.empty()) {
    ui.MessageBox(text::kError, text::kNoFolderChosen, kStyleInformation);
    return {FlowResult::kCancelled, ""};
  }
  // A folder that cannot be listed whole fails the archive step, with its
  // path: it must not pass for protected.
  archive::CollectFolderFiles(WalkFolder(state.sourceFolder), state.folderFiles);
  // The folder stays the current one afterwards, so that the next file
  // dialog of the encryption tab opens next to it.
  platform::SetCurrentFolder(state.sourceFolder);

  state.outputFolder = options.outputFolder.empty() ? ui.FolderDialog(text::kChooseOutputFolder, "")
                                                    : options.outputFolder;
  if (state.outputFolder.empty()) return {FlowResult::kCancelled, ""};
  state.containerName = crypto::FolderContainerName(state.sourceFolder, kind.cipher);
  const std::string container = state.outputFolder + state.containerName;

  using platform::Cause;
  using platform::Status;
  auto fail = [&](bool progressRunning, std::string_view cause = {}, Status status = {}) {
    if (progressRunning) ui.StopProgress();
    ui.RestoreMainWindow();
    ui.MessageBox(text::kError, text::kEncryptionFailed, kStyleStop);
    return FlowOutcome(FlowResult::kFailed, "", cause, std::move(status));
  };
  // A container of this name is never replaced here; the command line may
  // replace a regular file after its own check.
  const platform::PathKind existing = platform::KindOfPath(container);
  const bool replaceContainer = state.replaceContainer && existing == platform::PathKind::kFile;
  if (existing != platform::PathKind::kMissing && !replaceContainer) {
    if (!state.replaceExisting) return {FlowResult::kWouldReplace, container};
    return fail(false, text::kCauseNameTaken, Status::Of(Cause::kNameTaken, container));
  }

  platform::WorkFolder work = platform::WorkFolder::Create(state.outputFolder);
  if (!work.ok()) {
    return fail(false, text::kCauseNoWorkFolder,
                Status::Of(Cause::kWriteFailed, state.outputFolder, errno));
  }
  const std::string archivePath = work / "folder.zip";
  const std::string engineOutput = work / "container";

  ui.StartProgress(text::kPackingFolder);
  // A folder that could not be read whole must not pass for protected.
  Status archived = archive::BuildFolderArchive(state.sourceFolder, archivePath, kind.packed,
                                                state.folderFiles, state.archivePauseMs);
  ui.StopProgress();
  if (!archived.ok()) {
    // The archive is written in the run's working folder: told of the
    // output folder, where the user can make room.
    if (archived.cause == Cause::kWriteFailed) archived.path = state.outputFolder;
    return fail(false, {}, std::move(archived));
  }

  ui.StartProgress(text::kEncryptingFolder);
  Status status = internal::RunEngine(kind.cipher, internal::Direction::kEncrypt, archivePath,
                                      engineOutput, state.password, &ui, text::kEncryptingFolder);
  if (status.ok() &&
      (!crypto::AppendTrailer(engineOutput, crypto::MarkerFor(kind), state.password) ||
       !internal::SealResult(engineOutput))) {
    status = Status::Of(Cause::kWriteFailed, state.outputFolder, errno);
  }
  if (!status.ok()) {
    if (status.cause == Cause::kTooLarge) status.path = state.sourceFolder;
    if (status.cause == Cause::kWriteFailed) status.path = state.outputFolder;
    return fail(true, {}, std::move(status));
  }
  // Another run may have taken the name meanwhile: then this one fails.
  // The command line's --force replaces a regular file here, never more.
  if (!work.MoveOut(engineOutput, container, replaceContainer)) {
    return fail(true, text::kCauseNameTaken, Status::Of(Cause::kNameTaken, container));
  }
  if (!platform::SyncFolder(state.outputFolder)) {
    const int syncError = errno;
    work.UndoCreated();
    return fail(true, {}, Status::Of(Cause::kWriteFailed, state.outputFolder, syncError));
  }
  work.Commit();
  ui.StopProgress();
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
    return {FlowResult::kFailed,
            "",
            {},
            platform::Status::Of(platform::Cause::kWrongPassword, selection.containerPath)};
  }
  const std::string outputFolder = ui.FolderDialog(text::kChooseOutputFolder, "");
  if (outputFolder.empty()) return {FlowResult::kCancelled, ""};

  const Cipher cipher = crypto::FolderKindAt(selection.kind).cipher;
  const std::string& container = selection.containerPath;
  const std::string restored = crypto::RestoredFolderPath(outputFolder, container, cipher);
  // An existing folder of that name takes the entries (choosing it is the
  // user's agreement); anything else there is never written into.
  const platform::PathKind existing = platform::KindOfPath(restored);
  const bool merge = existing == platform::PathKind::kFolder;
  if (merge && !state.replaceExisting) return {FlowResult::kWouldReplace, restored};

  internal::Restore run(ui);
  using platform::Cause;
  using platform::Status;
  if (existing != platform::PathKind::kMissing && !merge) {
    return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, text::kCauseNotRegularFile,
                    Status::Of(Cause::kNameTaken, restored));
  }
  // The restored tree's own volume must have room, not only the container's.
  if (!run.made.Make(outputFolder)) {
    return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, text::kCauseNoOutputFolder,
                    Status::Of(Cause::kWriteFailed, outputFolder, errno));
  }
  if (!internal::EnoughSpaceToDecrypt(outputFolder, selection.sizeMegabytes)) {
    return run.Fail(text::kError, text::kNoSpace, kStyleNone, {},
                    Status::Of(Cause::kNoSpace, outputFolder));
  }

  run.StartProgress(text::kDecryptingFolder);
  run.work = platform::WorkFolder::Create(outputFolder);
  platform::WorkFolder& work = run.work;
  if (!work.ok()) {
    return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, text::kCauseNoWorkFolder,
                    Status::Of(Cause::kWriteFailed, outputFolder, errno));
  }
  const std::string body = work / "body";
  const std::string decryptedArchive = work / "folder.zip";
  Status status = internal::CopyBody(container, body);
  if (status.ok()) {
    status = internal::RunEngine(cipher, internal::Direction::kDecrypt, body, decryptedArchive,
                                 state.password, &ui, text::kDecryptingFolder);
  }
  if (!status.ok()) {
    if (status.path == body || status.cause == Cause::kDamaged) status.path = container;
    if (status.cause == Cause::kWriteFailed) status.path = outputFolder;
    return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, {}, std::move(status));
  }
  platform::DeleteFile(body);

  // What the archive says it holds must fit where it lands.
  const std::optional<std::uint64_t> declared = archive::DeclaredTotalBytes(decryptedArchive);
  if (declared && !internal::FolderHasRoomFor(outputFolder, *declared)) {
    return run.Fail(text::kError, text::kNoSpace, kStyleNone, {},
                    Status::Of(Cause::kNoSpace, outputFolder));
  }
  const std::string tree = work / "tree";
  const archive::FolderExtractResult extracted =
      archive::ExtractFolderArchive(decryptedArchive, tree);
  if (!extracted.ok()) {
    // Told of the user's paths: the container's damage, the output
    // folder's disk.
    status = extracted.status;
    if (status.cause == Cause::kDamaged || status.cause == Cause::kNameRefused) {
      status.path = container;
    } else if (status.cause == Cause::kWriteFailed) {
      status.path = outputFolder;
    }
    if (!extracted.opened) {
      // A body that decrypted to no archive at all (damaged, or altered).
      platform::DeleteFile(decryptedArchive);
      return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, {}, std::move(status));
    }
    return run.Fail(text::kNotice, text::kUnpackFailed, kStyleNone, {}, std::move(status));
  }
  platform::DeleteFile(decryptedArchive);

  // The whole tree lands by one rename; into an existing folder entry by
  // entry, and a failure there takes back every entry this run made.
  const bool placed =
      merge ? internal::MergeTreeInto(work, tree, restored) : work.MoveOut(tree, restored);
  if (!placed || !platform::SyncFolder(outputFolder)) {
    return run.Fail(text::kNotice, text::kUnpackFailed, kStyleNone, {},
                    Status::Of(Cause::kWriteFailed, restored, errno));
  }
  run.Finish();
  ui.MessageBox(text::kEncryption, text::kDecryptionDone, kStyleInformation);
  return {FlowResult::kSucceeded, restored};
}

}  // namespace flows
