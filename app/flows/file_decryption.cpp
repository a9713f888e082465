// Decrypting a file container: password check, body copy, the engine and,
// for packed kinds, unpacking into a chosen folder.
#include <cerrno>

#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "app/flows/texts.h"
#include "archive/archive.h"
#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace flows {

using crypto::Cipher;

namespace {

// Where a restored file may land: nowhere that is not a regular file, and on
// an existing file only with the user's agreement.
enum class Landing { kFree, kReplace, kTaken, kRefused };

Landing LandingAt(const std::string& path, bool replaceExisting) {
  switch (platform::KindOfPath(path)) {
    case platform::PathKind::kMissing:
      return Landing::kFree;
    case platform::PathKind::kFile:
      return replaceExisting ? Landing::kReplace : Landing::kTaken;
    default:
      return Landing::kRefused;
  }
}

// Decrypts the selected file container into folder (which ends in "/"):
// for plain kinds the file output, for packed kinds the entry's own name
// below it. The restored file lands there by one rename.
FlowOutcome DecryptInto(AppState& state, FrontEnd& ui, const crypto::ContainerKind& kind,
                        const std::string& folder, const std::string& output) {
  const std::string& container = state.fileSelection.containerPath;
  internal::Restore run(ui);

  // The result's own volume must have room, not only the container's.
  using platform::Cause;
  using platform::Status;
  if (kind.packed && !run.made.Make(folder)) {
    return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, text::kCauseNoOutputFolder,
                    Status::Of(Cause::kWriteFailed, folder, errno));
  }
  if (!internal::EnoughSpaceToDecrypt(folder, state.fileSelection.sizeMegabytes)) {
    return run.Fail(text::kError, text::kNoSpace, kStyleNone, {},
                    Status::Of(Cause::kNoSpace, folder));
  }
  run.StartProgress(text::kDecryptingFile);
  run.work = platform::WorkFolder::Create(folder);
  if (!run.work.ok()) {
    return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, text::kCauseNoWorkFolder,
                    Status::Of(Cause::kWriteFailed, folder, errno));
  }
  const internal::RestoredFile restored =
      internal::RestoreFileContainer(run.work, container, kind, state.password, folder, &ui);
  if (!restored.status.ok() && !restored.noRoom && !restored.unpackFailed) {
    Status status = restored.status;
    if (status.cause == Cause::kWriteFailed) status.path = folder;
    return run.Fail(text::kError, text::kDecryptionFailed, kStyleStop, {}, std::move(status));
  }
  if (kind.cipher == Cipher::kAes && kind.packed) {
    ui.StopProgress();
    ui.StartProgress(text::kUnpackingFile);
  }
  if (restored.noRoom)
    return run.Fail(text::kError, text::kNoSpace, kStyleNone, {}, restored.status);
  if (restored.unpackFailed) {
    return run.Fail(text::kNotice, text::kUnpackFailed, kStyleNone, {}, restored.status);
  }

  const std::string target = kind.packed ? folder + restored.relative : output;
  const Landing landing = LandingAt(target, state.replaceExisting);
  if (landing == Landing::kTaken) {
    run.Abandon();
    return {FlowResult::kWouldReplace, target};
  }
  const std::string_view failed = kind.packed ? text::kUnpackFailed : text::kDecryptionFailed;
  const std::string_view failedTitle = kind.packed ? text::kNotice : text::kError;
  const int failedStyle = kind.packed ? kStyleNone : kStyleStop;
  // The container itself is never replaced by what it holds.
  if (landing == Landing::kRefused || platform::SameFile(target, container)) {
    return run.Fail(failedTitle, failed, failedStyle, text::kCauseNotRegularFile,
                    Status::Of(Cause::kNameTaken, target));
  }
  const bool replace = landing == Landing::kReplace;
  // A plain restored file gets the usual mode; a packed one has the mode
  // stored with its entry already.
  const bool moved =
      kind.packed
          ? internal::MoveFileIntoPlace(run.work, restored.path, folder, restored.relative, replace)
          : internal::SealResult(restored.path) && run.work.MoveOut(restored.path, target, replace);
  if (!moved) {
    return run.Fail(failedTitle, failed, failedStyle, {},
                    Status::Of(Cause::kWriteFailed, target, errno));
  }
  run.Finish();
  if (kind.packed) {
    ui.MessageBox(text::kNotice, text::kUnpackDone, kStyleNone);
  } else {
    ui.MessageBox(text::kEncryption, text::kDecryptionDone, kStyleInformation);
  }
  return {FlowResult::kSucceeded, target};
}

}  // namespace

bool ChooseFileContainer(AppState& state, FrontEnd& ui) {
  return internal::ChooseContainer(state, ui, internal::Panel::kFile);
}

FlowOutcome DecryptFile(AppState& state, FrontEnd& ui) {
  const ContainerSelection& selection = state.fileSelection;
  if (!crypto::CheckPassword(selection.fingerprintLine, state.password)) {
    ui.MessageBox(text::kError, text::kWrongPassword, kStyleStop);
    return {FlowResult::kFailed,
            "",
            {},
            platform::Status::Of(platform::Cause::kWrongPassword, selection.containerPath)};
  }
  const crypto::ContainerKind kind = crypto::FileKindAt(selection.kind);
  const std::string& container = selection.containerPath;

  if (kind.packed) {
    const std::string folder = ui.FolderDialog(text::kChooseTargetFolder, "");
    if (folder.empty()) return {FlowResult::kCancelled, ""};
    return DecryptInto(state, ui, kind, folder, "");
  }
  const std::string output =
      ui.FileSaveDialog(text::kChooseOutputName, crypto::ProposedOutputPath(container, kind.cipher),
                        text::kFilterAllSave, 0);
  if (output.empty()) return {FlowResult::kCancelled, ""};
  return DecryptInto(state, ui, kind, std::string(crypto::FolderPart(output)), output);
}

}  // namespace flows
