// The folder walk, folder archives and single-file packing: the procedures
// the flows call, over the writer and reader in zip.cpp.
#include <minizip/unzip.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"
#include "platform/platform.h"

namespace archive {
namespace {

std::string g_problem;

void SetProblem(std::string what, const std::string& path) {
  g_problem = std::move(what);
  if (!path.empty()) g_problem += ": " + path;
}

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

// Finishes a failed write into the archive this call created: it is
// incomplete and must not pass for the protected folder or file.
int AbandonArchive(const std::string& archivePath) {
  internal::CloseWriter();
  platform::DeleteFile(archivePath);
  return 0;
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

int BuildFolderArchive(const std::string& folder, const std::string& archivePath, bool compress,
                       const FolderFileList& list, int pauseMilliseconds) {
  g_problem.clear();
  const std::string prefix = Join(folder, "");
  if (!list.unreadable.empty()) {
    SetProblem("cannot list folder", list.unreadable.front());
    return 0;
  }
  for (const std::string& path : list.files) {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
      SetProblem("file outside the folder", path);
      return 0;
    }
  }
  // What is at archivePath already is left alone: the writer creates only.
  if (Zip_CreateArchive(archivePath) == 0) {
    SetProblem("cannot create archive", archivePath);
    return 0;
  }
  Zip_SetMethod(compress ? 8 : 0);
  for (const std::string& path : list.files) {
    const int rc = Zip_AddFileAs(path, path.substr(prefix.size()), pauseMilliseconds);
    if (rc != kZipOk) {
      SetProblem(rc == kZipRefused ? "name cannot be stored" : "cannot read or store file", path);
      return AbandonArchive(archivePath);
    }
  }
  if (internal::CloseWriter() != kZipOk) {
    SetProblem("cannot complete archive", archivePath);
    platform::DeleteFile(archivePath);
    return 0;
  }
  return 1;
}

FolderExtractResult ExtractFolderArchive(const std::string& archivePath,
                                         const std::string& targetFolder) {
  g_problem.clear();
  FolderExtractResult result;
  // An empty target would put the entries in the root folder.
  if (targetFolder.empty()) {
    SetProblem("no target folder", "");
    return result;
  }
  if (Zip_OpenArchive(archivePath) == 0) {
    SetProblem("cannot open archive", archivePath);
    return result;
  }
  if (!platform::MakeFolders(targetFolder)) {
    internal::CloseReader();
    SetProblem("cannot create folder", targetFolder);
    return result;
  }
  result.opened = true;
  int rc = Zip_FirstEntry();
  while (rc == UNZ_OK) {
    std::string name;
    const int extracted = internal::ExtractCurrentEntry(targetFolder, true, &name);
    if (extracted == kZipOk) {
      ++result.extracted;
    } else {
      if (result.failedEntries.empty()) {
        SetProblem(
            extracted == kZipTooLarge ? "entry larger than declared" : "cannot extract entry",
            name);
      }
      result.failedEntries.push_back(std::move(name));
    }
    rc = Zip_NextEntry();
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE) {
    result.complete = false;
    if (g_problem.empty()) SetProblem("damaged archive directory", archivePath);
  }
  // Only the reader: a writer the caller has open is not ours to close.
  internal::CloseReader();
  return result;
}

int PackFile(const std::string& source, const std::string& packed, int pauseMilliseconds) {
  g_problem.clear();
  if (Zip_CreateArchive(packed) == 0) {
    SetProblem("cannot create archive", packed);
    return 0;
  }
  Zip_SetMethod(8);
  if (Zip_AddFile(source, false, pauseMilliseconds) != kZipOk) {
    SetProblem("cannot read or store file", source);
    return AbandonArchive(packed);
  }
  if (internal::CloseWriter() != kZipOk) {
    SetProblem("cannot complete archive", packed);
    platform::DeleteFile(packed);
    return 0;
  }
  return 1;
}

int UnpackFile(const std::string& packed, const std::string& targetFolder, bool keepPaths) {
  g_problem.clear();
  // An empty target (a cancelled folder question) would mean the root folder.
  if (targetFolder.empty()) {
    SetProblem("no target folder", "");
    return 0;
  }
  if (Zip_ExtractByIndex(packed, 0, targetFolder, keepPaths) != 1) {
    SetProblem("cannot unpack", packed);
    return 0;
  }
  return 1;
}

std::string LastArchiveProblem() {
  return g_problem;
}

}  // namespace archive
