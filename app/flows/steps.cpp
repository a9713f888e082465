#include "app/flows/steps.h"

#include <algorithm>
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

bool CopyBody(const std::string& container, const std::string& workingCopy) {
  const crypto::Trailer trailer = crypto::ReadTrailer(container);
  if (!trailer.opened || trailer.bodyLength < 0 || trailer.bodyLength > trailer.fileSize) {
    return false;
  }
  platform::File in = platform::File::Open(container, platform::OpenMode::kRead);
  if (!in.ok()) return false;
  platform::File out = platform::File::Open(workingCopy, platform::OpenMode::kCreateNew);
  if (!out.ok()) return false;
  std::vector<std::uint8_t> block(kCopyBlockBytes);
  std::int64_t left = trailer.bodyLength;
  bool ok = true;
  while (ok && left > 0) {
    const std::size_t want = left < static_cast<std::int64_t>(block.size())
                                 ? static_cast<std::size_t>(left)
                                 : block.size();
    const std::int64_t n = in.Read(std::span(block.data(), want));
    ok = n == static_cast<std::int64_t>(want) &&
         out.Write(std::span<const std::uint8_t>(block.data(), want));
    left -= static_cast<std::int64_t>(want);
  }
  return out.Close() && ok;
}

bool RunEngine(crypto::Cipher cipher, bool encrypt, const std::string& input,
               const std::string& output, std::string_view password) {
  if (cipher == crypto::Cipher::kRc4) return crypto::RC4_Crypt_File(input, output, password) == 1;
  if (encrypt) return crypto::AES_Encrypt_File(input, output, password) == 1;
  return crypto::AES_Decrypt_File(input, output, password) == 1;
}

std::optional<RestoredFile> RestoreFileContainer(const platform::WorkFolder& work,
                                                 const std::string& container,
                                                 const crypto::ContainerKind& kind,
                                                 std::string_view password,
                                                 const std::string& landing) {
  const std::string body = work / "body";
  const std::string decrypted = work / (kind.packed ? "pack" : "restored");
  if (!CopyBody(container, body) || !RunEngine(kind.cipher, false, body, decrypted, password)) {
    return std::nullopt;
  }
  // The body is no longer needed; its room is, for what comes next.
  platform::DeleteFile(body);
  RestoredFile restored;
  restored.path = decrypted;
  if (!kind.packed) return restored;

  // RC4 containers were always unpacked keeping paths, AES ones not; a
  // packed file's single entry has no folder part, so both land alike.
  const bool keepPaths = kind.cipher == crypto::Cipher::kRc4;
  const std::optional<std::uint64_t> declared = archive::DeclaredTotalBytes(decrypted);
  if (declared && !FolderHasRoomFor(landing, *declared)) {
    restored.noRoom = true;
    return restored;
  }
  const std::string unpackFolder = work / "unpacked/";
  const std::optional<std::string> target =
      archive::EntryTargetPath(decrypted, 0, unpackFolder, keepPaths);
  if (!target || archive::UnpackFile(decrypted, unpackFolder, keepPaths) != 1) {
    restored.unpackFailed = true;
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
                          std::string_view cause) {
  Abandon();
  ui_.MessageBox(title, message, style);
  return FlowOutcome(FlowResult::kFailed, "", cause);
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
  if (!EnoughSpaceToDecrypt(path, sizeMegabytes)) {
    if (!path.empty()) ui.MessageBox(text::kError, text::kNoSpace, kStyleNone);
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
  // new path never goes with the trailer of the previous choice.
  const crypto::Trailer trailer = crypto::ReadTrailer(path);
  const int kind = filePanel ? crypto::MatchFileMarker(trailer.markerLine)
                             : crypto::MatchFolderMarker(trailer.markerLine);
  if (!trailer.opened || kind < 0) return refuse(true);

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
