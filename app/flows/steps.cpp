#include "app/flows/steps.h"

#include <cmath>
#include <vector>

#include "app/flows/texts.h"
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

bool CopyBody(const std::string& container, const std::string& workingCopy) {
  const crypto::Trailer trailer = crypto::ReadTrailer(container);
  if (!trailer.opened || trailer.bodyLength < 0 || trailer.bodyLength > trailer.fileSize) {
    return false;
  }
  platform::File in = platform::File::Open(container, platform::OpenMode::kRead);
  platform::File out = platform::File::Open(workingCopy, platform::OpenMode::kCreatePrivate);
  if (!in.ok() || !out.ok()) {
    if (out.ok()) {
      out.Close();
      platform::DeleteFile(workingCopy);
    }
    return false;
  }
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
  ok = out.Close() && ok;
  if (!ok) platform::DeleteFile(workingCopy);
  return ok;
}

bool RunEngine(crypto::Cipher cipher, bool encrypt, const std::string& input,
               const std::string& output, std::string_view password, bool privateOutput) {
  if (cipher == crypto::Cipher::kRc4) {
    return crypto::RC4_Crypt_File(
               input, output, password,
               privateOutput ? crypto::OutputAccess::kPrivate : crypto::OutputAccess::kShared) == 1;
  }
  if (encrypt) return crypto::AES_Encrypt_File(input, output, password) == 1;
  // The engine writes every restored file 0600; a user's own restored file
  // gets the usual mode, as RC4 gives it.
  if (crypto::AES_Decrypt_File(input, output, password) != 1) return false;
  if (!privateOutput) platform::SetSharedFileMode(output);
  return true;
}

void RemoveWorkingFiles(std::initializer_list<std::string> paths) {
  for (const std::string& path : paths) {
    if (!path.empty()) platform::DeleteFile(path);
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
