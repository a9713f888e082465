// The folder walk, folder archives and single-file packing: the procedures
// the flows call, over the writer and the reader.
#include <minizip/unzip.h>

#include <zlib.h>

#include <cerrno>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"
#include "archive/zip_reader.h"
#include "archive/zip_writer.h"
#include "platform/platform.h"

namespace archive {
namespace {

using internal::ZipReader;
using internal::ZipWriter;
using platform::Cause;
using platform::Check;
using platform::Status;

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

void Walk(const std::string& folder, FolderFileList& list) {
  const auto entries = platform::ListFolder(folder);
  if (!entries) {
    list.unreadable.push_back(folder);
    return;
  }
  for (const platform::FolderEntry& entry : *entries) {
    const std::string path = Join(folder, entry.name);
    if (entry.type == platform::EntryType::kFolder) {
      // A linked folder could lead out of the tree or back into it. Another
      // run's private working folder holds its plaintext, not the user's.
      const bool workFolder = entry.name.rfind(platform::kWorkFolderPrefix, 0) == 0;
      if (!entry.isLink && !workFolder) Walk(path, list);
    } else if (entry.type == platform::EntryType::kFile) {
      list.files.push_back(path);
    }
    // FIFOs, sockets, devices and dangling links are not data.
  }
}

// Why the writer could not create path: errno is the create's.
Status CreateFailure(const std::string& path) {
  const int systemError = errno;
  if (systemError == EEXIST || platform::KindOfPath(path) != platform::PathKind::kMissing) {
    return Status::Of(Cause::kNameTaken, path);
  }
  return Status::Of(Cause::kWriteFailed, path, systemError);
}

// Why adding the file at path to writer's archivePath gave rc; errno is the
// add's.
Status AddFailure(int rc, const std::string& path, const ZipWriter& writer,
                  const std::string& archivePath) {
  const int systemError = errno;
  if (rc == internal::kZipRefused) return Status::Of(Cause::kNameRefused, path);
  // A full disk shows in the archive's stream, whatever minizip made of it.
  if (const int writeError = writer.SystemError(); writeError != 0) {
    return Status::Of(Cause::kWriteFailed, archivePath, writeError);
  }
  Status readable = platform::ExamineFileToRead(path);
  if (!readable.ok()) return readable;
  if (rc == internal::kZipFailed) return Status::Of(Cause::kReadFailed, path, systemError);
  return Status::Of(Cause::kWriteFailed, archivePath);
}

// Finishes a failed write into the archive this call created: it is
// incomplete and must not pass for the protected folder or file.
Status AbandonArchive(ZipWriter& writer, const std::string& archivePath, Status why) {
  (void)writer.Close();
  platform::DeleteFile(archivePath);
  return why;
}

// Completes the writer's archive at archivePath, or removes it.
Status CompleteArchive(ZipWriter& writer, const std::string& archivePath) {
  if (writer.Close() == internal::kZipOk) return Status::Ok();
  const int writeError = writer.SystemError();
  platform::DeleteFile(archivePath);
  return Status::Of(Cause::kWriteFailed, archivePath, writeError);
}

// Why the extraction of the entry name gave rc, with the errno it told.
Status EntryFailure(int rc, const std::string& name, int systemError) {
  switch (rc) {
    case internal::kZipRefused:
      return Status::Of(Cause::kNameRefused, name);
    case internal::kZipFailed:
      // minizip's own I/O error has the same code and tells no errno.
      return Status::Of(systemError != 0 ? Cause::kWriteFailed : Cause::kFailed, name, systemError);
    case Z_MEM_ERROR:
      return Status::Of(Cause::kNoMemory, name);
    default:
      // A CRC that does not match, data that ends short or runs long,
      // a local header or deflate stream that does not read.
      return Status::DamagedAt(Check::kZipChecksum, name);
  }
}

// Why archivePath does not open as a zip archive.
Status OpenFailure(const std::string& archivePath) {
  Status readable = platform::ExamineFileToRead(archivePath);
  if (!readable.ok()) return readable;
  return Status::DamagedAt(Check::kArchive, archivePath);
}

}  // namespace

bool CollectFolderFiles(const std::string& folder, FolderFileList& list) {
  list.files.clear();
  list.unreadable.clear();
  // The root folder comes without its "/" when a caller cuts the last
  // character off a folder path.
  Walk(folder.empty() ? "/" : folder, list);
  return list.unreadable.empty();
}

Status BuildFolderArchive(const std::string& folder, const std::string& archivePath, bool compress,
                          const FolderFileList& list, int pauseMilliseconds) {
  const std::string prefix = Join(folder, "");
  if (!list.unreadable.empty()) return Status::Of(Cause::kNoAccess, list.unreadable.front());
  for (const std::string& path : list.files) {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
      return Status::Of(Cause::kFailed, path);
    }
  }
  // What is at archivePath already is left alone: the writer creates only.
  ZipWriter writer;
  if (!writer.Create(archivePath)) return CreateFailure(archivePath);
  writer.SetMethod(compress ? Z_DEFLATED : 0);
  for (const std::string& path : list.files) {
    const int rc = writer.AddFileAs(path, path.substr(prefix.size()), pauseMilliseconds);
    if (rc != internal::kZipOk) {
      return AbandonArchive(writer, archivePath, AddFailure(rc, path, writer, archivePath));
    }
  }
  return CompleteArchive(writer, archivePath);
}

FolderExtractResult ExtractFolderArchive(const std::string& archivePath,
                                         const std::string& targetFolder) {
  FolderExtractResult result;
  // An empty target would put the entries in the root folder.
  if (targetFolder.empty()) {
    result.status = Status::Of(Cause::kFailed);
    return result;
  }
  ZipReader reader;
  if (!reader.Open(archivePath)) {
    result.status = OpenFailure(archivePath);
    return result;
  }
  if (!platform::MakeFolders(targetFolder)) {
    result.status = Status::Of(Cause::kWriteFailed, targetFolder, errno);
    return result;
  }
  result.opened = true;
  int rc = reader.First();
  while (rc == UNZ_OK) {
    std::string name;
    int systemError = 0;
    const int extracted = reader.ExtractCurrent(targetFolder, true, &name, &systemError);
    if (extracted == internal::kZipOk) {
      ++result.extracted;
    } else {
      if (result.status.ok()) result.status = EntryFailure(extracted, name, systemError);
      result.failedEntries.push_back(std::move(name));
    }
    rc = reader.Next();
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE) {
    result.complete = false;
    if (result.status.ok()) result.status = Status::DamagedAt(Check::kZipDirectory, archivePath);
  }
  return result;
}

Status CheckArchiveEntries(const std::string& archivePath, int* entries) {
  if (entries != nullptr) *entries = 0;
  ZipReader reader;
  if (!reader.Open(archivePath)) return OpenFailure(archivePath);
  int rc = reader.First();
  for (; rc == UNZ_OK; rc = reader.Next()) {
    std::string name;
    const int checked = reader.CheckCurrent(&name);
    if (entries != nullptr) ++*entries;
    if (checked == internal::kZipOk) continue;
    if (checked == Z_MEM_ERROR) return Status::Of(Cause::kNoMemory, name);
    return Status::DamagedAt(Check::kZipChecksum, name);
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE) return Status::DamagedAt(Check::kZipDirectory, archivePath);
  return Status::Ok();
}

Status PackFile(const std::string& source, const std::string& packed, int pauseMilliseconds) {
  ZipWriter writer;
  if (!writer.Create(packed)) return CreateFailure(packed);
  const int rc = writer.AddFile(source, false, pauseMilliseconds);
  if (rc != internal::kZipOk)
    return AbandonArchive(writer, packed, AddFailure(rc, source, writer, packed));
  return CompleteArchive(writer, packed);
}

Status UnpackFile(const std::string& packed, const std::string& targetFolder, bool keepPaths) {
  // An empty target (a cancelled folder question) would mean the root folder.
  if (targetFolder.empty()) return Status::Of(Cause::kFailed);
  std::string name;
  int systemError = 0;
  const int rc = internal::ExtractEntryAt(packed, 0, targetFolder, keepPaths, &name, &systemError);
  if (rc == internal::kZipOk) return Status::Ok();
  if (rc == internal::kZipFailed && name.empty() && systemError == 0) return OpenFailure(packed);
  // No first entry: an archive that holds nothing is no packed file.
  if (rc == UNZ_END_OF_LIST_OF_FILE) return Status::DamagedAt(Check::kArchive, packed);
  return EntryFailure(rc, name, systemError);
}

}  // namespace archive
