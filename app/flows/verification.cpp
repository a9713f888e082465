// Checking a container without restoring it: the body is decrypted into a
// private working folder beside the container (in the temporary folder when
// the container's folder is read-only) and checked there.
#include <cerrno>

#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "app/flows/texts.h"
#include "crypto/working_names.h"
#include "platform/platform.h"

namespace flows {

platform::Status VerifyBody(const std::string& container, const crypto::ContainerKind& kind,
                            std::string_view password, FrontEnd& ui, int* zipEntries) {
  using platform::Cause;
  using platform::Status;
  *zipEntries = 0;
  const std::string beside(crypto::FolderPart(container));
  platform::WorkFolder work = platform::WorkFolder::CreateForScratch(beside);
  if (!work.ok()) return Status::Of(Cause::kWriteFailed, beside, errno);
  const std::string body = work / "body";
  const std::string plain = work / "plain";
  Status status = internal::CopyBody(container, body);
  if (status.ok()) {
    const std::string_view step = kind.folder ? text::kDecryptingFolder : text::kDecryptingFile;
    status = internal::RunEngine(kind.cipher, internal::Direction::kDecrypt, body, plain, password,
                                 &ui, step);
  }
  // Its room is needed for the archive check.
  platform::DeleteFile(body);
  if (status.ok() && (kind.packed || kind.folder)) {
    status = archive::CheckArchiveEntries(plain, zipEntries);
  }
  if (!status.ok()) {
    // Damage is the container's; any other failure is the working folder's.
    status.path = status.cause == Cause::kDamaged ? container : work.path();
  }
  return status;
}

}  // namespace flows
