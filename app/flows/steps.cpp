#include "app/flows/steps.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <vector>

#include "app/flows/texts.h"
#include "archive/archive.h"
#include "crypto/aes_bridge.h"
#include "crypto/rc4.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace flows::internal {
namespace {

constexpr std::size_t kCopyBlockBytes = 1 << 20;

// Space needed to decrypt, as a multiple of the container's size: working
// copy, decrypted output and, for packed kinds, the unpacked file.
constexpr double kSpaceFactor = 2.5;

}  // namespace

float SizeMegabytes(const std::string& path) {
  const std::int64_t size = platform::FileSize(path);
  return static_cast<float>(size) / 1024.0f / 1024.0f;
}

bool EnoughSpaceToDecrypt(const std::string& path, float sizeMegabytes) {
  const std::int32_t free = platform::FreeDiskMegabytes(std::string(crypto::FolderPart(path)));
  // nearbyint rounds half to even in the default rounding mode.
  const double required = std::nearbyint(static_cast<double>(sizeMegabytes) * kSpaceFactor);
  return static_cast<double>(free) > required;
}

bool FolderHasRoomFor(const std::string& folder, std::uint64_t bytes) {
  const std::int32_t free = platform::FreeDiskMegabytes(folder);
  return free >= 0 && bytes <= static_cast<std::uint64_t>(free) * 1048576ULL;
}

platform::Status CopyBody(const std::string& container, const std::string& workingCopy) {
  using platform::Cause;
  using platform::Status;
  const crypto::Trailer trailer = crypto::ReadTrailer(container);
  if (!trailer.opened) {
    const Status why = platform::ExamineFileToRead(container);
    return why.ok() ? Status::Of(Cause::kNoAccess, container) : why;
  }
  if (trailer.bodyLength < 0 || trailer.bodyLength > trailer.fileSize) {
    return Status::DamagedAt(platform::Check::kBodyLength, container);
  }
  platform::File in = platform::File::Open(container, platform::OpenMode::kRead);
  if (!in.ok()) return Status::Of(Cause::kNoAccess, container, in.lastError());
  platform::File out = platform::File::Open(workingCopy, platform::OpenMode::kCreateNew);
  if (!out.ok()) return Status::Of(Cause::kWriteFailed, workingCopy, out.lastError());
  std::vector<std::uint8_t> block(kCopyBlockBytes);
  std::int64_t left = trailer.bodyLength;
  Status status;
  while (status.ok() && left > 0) {
    const std::size_t want = left < static_cast<std::int64_t>(block.size())
                                 ? static_cast<std::size_t>(left)
                                 : block.size();
    const std::int64_t n = in.Read(std::span(block.data(), want));
    if (n != static_cast<std::int64_t>(want)) {
      // A file that shrank since its trailer was read.
      status = n < 0 ? Status::Of(Cause::kReadFailed, container, in.lastError())
                     : Status::DamagedAt(platform::Check::kBodyLength, container);
    } else if (!out.Write(std::span<const std::uint8_t>(block.data(), want))) {
      status = Status::Of(Cause::kWriteFailed, workingCopy, out.lastError());
    }
    left -= static_cast<std::int64_t>(want);
  }
  if (!out.Close() && status.ok()) {
    status = Status::Of(Cause::kWriteFailed, workingCopy, out.lastError());
  }
  return status;
}

namespace {

// The cause of an AES engine call that did not give a result.
platform::Status EngineFailure(const crypto::EngineCallReport& report, Direction direction,
                               const std::string& input, const std::string& output) {
  using Outcome = crypto::EngineCallReport::Outcome;
  using platform::Cause;
  using platform::Status;
  switch (report.outcome) {
    case Outcome::kDamaged:
      return Status::DamagedAt(platform::Check::kDecoding);
    case Outcome::kReadError:
      return Status::Of(Cause::kReadFailed, input, report.systemError);
    case Outcome::kWriteError:
      return Status::Of(Cause::kWriteFailed, output, report.systemError);
    case Outcome::kRefused:
      return Status::Of(direction == Direction::kEncrypt ? Cause::kTooLarge : Cause::kFailed,
                        input);
    case Outcome::kNoMemory:
      return Status::Of(Cause::kNoMemory);
    case Outcome::kNotBound:
    case Outcome::kUnknown:
      return Status::Of(Cause::kEngine);
    case Outcome::kDone:
      break;
  }
  // The engine's part went well; its output did not appear.
  return Status::Of(Cause::kWriteFailed, output);
}

}  // namespace

platform::Status RunEngine(crypto::Cipher cipher, Direction direction, const std::string& input,
                           const std::string& output, std::string_view password, FrontEnd* ui,
                           std::string_view step) {
  if (cipher == crypto::Cipher::kRc4) {
    crypto::ByteProgress progress;
    if (ui != nullptr) {
      progress = [ui, step](std::int64_t done, std::int64_t total) {
        ui->ReportProgress(step, done, total);
      };
    }
    return crypto::Rc4TransformFile(input, output, password, progress);
  }
  crypto::EngineCallReport report;
  if (ui != nullptr) {
    // The engine counts in units of its own; the input's size makes bytes.
    const std::int64_t bytes = std::max<std::int64_t>(platform::FileSize(input), 0);
    report.progress = [ui, step, bytes](long long done, long long total) {
      if (total <= 0) return;
      const double share = static_cast<double>(done) / static_cast<double>(total);
      ui->ReportProgress(step, static_cast<std::int64_t>(share * static_cast<double>(bytes)),
                         bytes);
    };
  }
  const int made = direction == Direction::kEncrypt
                       ? crypto::AES_Encrypt_File(input, output, password, &report)
                       : crypto::AES_Decrypt_File(input, output, password, &report);
  if (made == 1) return platform::Status::Ok();
  return EngineFailure(report, direction, input, output);
}

RestoredFile RestoreFileContainer(const platform::WorkFolder& work, const std::string& container,
                                  const crypto::ContainerKind& kind, std::string_view password,
                                  const std::string& landing, FrontEnd* ui) {
  const std::string body = work / "body";
  const std::string decrypted = work / (kind.packed ? "pack" : "restored");
  RestoredFile restored;
  restored.status = CopyBody(container, body);
  if (restored.status.ok()) {
    restored.status = RunEngine(kind.cipher, Direction::kDecrypt, body, decrypted, password, ui,
                                text::kDecryptingFile);
  }
  if (!restored.status.ok()) {
    // The reader knows the container, not the working copy.
    if (restored.status.path == body || restored.status.cause == platform::Cause::kDamaged) {
      restored.status.path = container;
    }
    return restored;
  }
  // The body is no longer needed; its room is, for what comes next.
  platform::DeleteFile(body);
  restored.path = decrypted;
  if (!kind.packed) return restored;

  // RC4 containers were always unpacked keeping paths, AES ones not; a
  // packed file's single entry has no folder part, so both land alike.
  const bool keepPaths = kind.cipher == crypto::Cipher::kRc4;
  const std::optional<std::uint64_t> declared = archive::DeclaredTotalBytes(decrypted);
  if (declared && !FolderHasRoomFor(landing, *declared)) {
    restored.noRoom = true;
    restored.status = platform::Status::Of(platform::Cause::kNoSpace, landing);
    return restored;
  }
  const std::string unpackFolder = work / "unpacked/";
  const std::optional<std::string> target =
      archive::EntryTargetPath(decrypted, 0, unpackFolder, keepPaths);
  // An entry that has no target is damage, or a name the reader refuses.
  platform::Status unpacked = target ? archive::UnpackFile(decrypted, unpackFolder, keepPaths)
                                     : archive::CheckArchiveEntries(decrypted, nullptr);
  if (!target && unpacked.ok()) unpacked = platform::Status::Of(platform::Cause::kNameRefused);
  if (!unpacked.ok()) {
    restored.unpackFailed = true;
    // Told of the user's paths: the container's damage, the landing's disk.
    if (unpacked.cause == platform::Cause::kDamaged ||
        unpacked.cause == platform::Cause::kNameRefused) {
      unpacked.path = container;
    } else if (unpacked.cause == platform::Cause::kWriteFailed) {
      unpacked.path = landing;
    }
    restored.status = std::move(unpacked);
    return restored;
  }
  platform::DeleteFile(decrypted);
  restored.path = *target;
  restored.relative = target->substr(unpackFolder.size());
  return restored;
}

bool SameContent(const std::string& a, const std::string& b) {
  platform::File fa = platform::File::Open(a, platform::OpenMode::kRead);
  platform::File fb = platform::File::Open(b, platform::OpenMode::kRead);
  if (!fa.ok() || !fb.ok() || fa.Size() != fb.Size()) return false;
  std::vector<std::uint8_t> blockA(kCopyBlockBytes);
  std::vector<std::uint8_t> blockB(kCopyBlockBytes);
  for (;;) {
    const std::int64_t na = fa.Read(blockA);
    const std::int64_t nb = fb.Read(blockB);
    if (na < 0 || na != nb) return false;
    if (na == 0) return true;
    if (!std::equal(blockA.begin(), blockA.begin() + na, blockB.begin())) return false;
  }
}

bool SealResult(const std::string& path) {
  if (!platform::SetSharedFileMode(path)) return false;
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  return file.ok() && file.Sync() && file.Close();
}

bool MoveFileIntoPlace(platform::WorkFolder& work, const std::string& from,
                       const std::string& folder, const std::string& relative, bool replace) {
  for (std::size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    if (!work.MakeFolderOutside(folder + relative.substr(0, slash))) return false;
  }
  return work.MoveOut(from, folder + relative, replace);
}

bool MergeTreeInto(platform::WorkFolder& work, const std::string& from, const std::string& to) {
  const auto entries = platform::ListFolder(from);
  if (!entries) return false;
  for (const platform::FolderEntry& entry : *entries) {
    const std::string source = from + "/" + entry.name;
    const std::string target = to + "/" + entry.name;
    if (entry.isLink) return false;  // extraction never makes one
    if (entry.type == platform::EntryType::kFolder) {
      if (!work.MakeFolderOutside(target) || !MergeTreeInto(work, source, target)) return false;
    } else if (entry.type != platform::EntryType::kFile || !work.MoveOut(source, target, true)) {
      return false;
    }
  }
  return true;
}

bool OutputFolder::Make(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::vector<std::string> missing;
  while (!path.empty() && platform::KindOfPath(path) == platform::PathKind::kMissing) {
    missing.push_back(path);
    const std::size_t slash = path.rfind('/');
    path = slash == std::string::npos || slash == 0 ? "" : path.substr(0, slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!platform::MakeFolders(*it)) return false;
    made_.push_back(*it);
  }
  return platform::IsFolder(folder);
}

void OutputFolder::RemoveIfUnused() {
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) platform::RemoveEmptyFolder(*it);
  made_.clear();
}

void Restore::StartProgress(std::string_view caption) {
  ui_.StartProgress(caption);
  progressShown_ = true;
}

void Restore::Abandon() {
  work.UndoCreated();
  work.Remove();
  made.RemoveIfUnused();
  if (progressShown_) {
    ui_.StopProgress();
    ui_.RestoreMainWindow();
  }
}

FlowOutcome Restore::Fail(std::string_view title, std::string_view message, int style,
                          std::string_view cause, platform::Status status) {
  Abandon();
  ui_.MessageBox(title, message, style);
  return FlowOutcome(FlowResult::kFailed, "", cause, std::move(status));
}

void Restore::Finish() {
  work.Commit();
  if (progressShown_) {
    ui_.StopProgress();
    ui_.RestoreMainWindow();
  }
}

bool ChooseContainer(AppState& state, FrontEnd& ui, Panel panel) {
  const bool filePanel = panel == Panel::kFile;
  ContainerSelection& selection = filePanel ? state.fileSelection : state.folderSelection;
  const int pathField = filePanel ? gadget::kFileContainerField : gadget::kFolderContainerField;
  const int kindField = filePanel ? gadget::kFileKindField : gadget::kFolderKindField;

  const std::string path =
      ui.FileOpenDialog(text::kChooseContainer, platform::CurrentFolder(),
                        filePanel ? text::kFilterAll : text::kFilterFolders, 0);

  // The space check runs after a cancel too; a missing file counts -1 bytes.
  const float sizeMegabytes = SizeMegabytes(path);
  state.choiceStatus = platform::Status::Ok();
  if (!EnoughSpaceToDecrypt(path, sizeMegabytes)) {
    if (!path.empty()) {
      ui.MessageBox(text::kError, text::kNoSpace, kStyleNone);
      state.choiceStatus =
          platform::Status::Of(platform::Cause::kNoSpace, std::string(crypto::FolderPart(path)));
    }
    return !selection.containerPath.empty();
  }

  auto refuse = [&](bool tell) {
    selection = ContainerSelection{};
    ui.SetGadgetText(pathField, "");
    ui.SetGadgetText(kindField, "");
    if (tell) ui.MessageBox(text::kNotice, text::kNotOurs, kStyleNone);
    return false;
  };
  if (path.empty()) return refuse(false);

  // A file that cannot be opened is refused like one without a marker, so a
  // new path never goes with the trailer of the previous choice; its cause
  // says which it was.
  const crypto::Trailer trailer = crypto::ReadTrailer(path);
  const int kind = filePanel ? crypto::MatchFileMarker(trailer.markerLine)
                             : crypto::MatchFolderMarker(trailer.markerLine);
  if (!trailer.opened) {
    state.choiceStatus = platform::ExamineFileToRead(path);
    if (state.choiceStatus.ok())
      state.choiceStatus = platform::Status::Of(platform::Cause::kNoAccess, path);
    return refuse(true);
  }
  if (kind < 0) {
    state.choiceStatus = platform::Status::Of(platform::Cause::kNotContainer, path);
    return refuse(true);
  }

  selection.containerPath = path;
  selection.kind = kind;
  selection.markerLine = trailer.markerLine;
  selection.fingerprintLine = trailer.fingerprintLine;
  selection.bodyLength = trailer.bodyLength;
  selection.sizeMegabytes = sizeMegabytes;
  ui.SetGadgetText(pathField, path);
  ui.SetGadgetText(kindField,
                   filePanel ? text::kFileKindTexts[kind] : text::kFolderKindTexts[kind]);
  return true;
}

}  // namespace flows::internal
