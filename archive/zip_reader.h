// The zip reader: one archive at a time, walked entry by entry, each entry
// extracted below a target folder or read through to test its checksum.
// Each reader is an object of its own; nothing is shared between readers,
// so two may run on two threads. A reader is not thread-safe itself.
#ifndef TRESOLIN_ARCHIVE_ZIP_READER_H_
#define TRESOLIN_ARCHIVE_ZIP_READER_H_

#include <minizip/unzip.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"

namespace archive::internal {

class ZipReader {
 public:
  ZipReader() = default;
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Closes an archive still open, then opens path. Returns true when it is
  // open (an archive without entries too), false when it cannot be opened
  // or is no zip archive.
  [[nodiscard]] bool Open(const std::string& path);
  void Close();

  // Make the first or the next entry current. Return kZipOk,
  // UNZ_END_OF_LIST_OF_FILE at the end of the list, another nonzero minizip
  // code on a damaged directory, or kZipFailed when no archive is open.
  int First();
  int Next();

  // Extracts the current entry below targetDir (created with its parents),
  // with its folder part when keepPaths is set, else under its file-name
  // part. The file is created new: a regular file of that name (an earlier
  // entry of the same name) is removed first; a link there refuses the
  // entry, a folder or special file fails it. The time (seconds set to 0) and
  // then the permissions are restored. Returns kZipOk, kZipFailed,
  // kZipRefused, kZipTooLarge, or minizip's code (UNZ_CRCERROR when the data
  // does not match its checksum, UNZ_BADZIPFILE when it ends short of its
  // declared size). A failed copy leaves the partly written file in place.
  // *name gets the entry's name for messages and, after kZipFailed,
  // *systemError the errno of the failed call (0 when none told).
  int ExtractCurrent(const std::string& targetDir, bool keepPaths, std::string* name,
                     int* systemError);

  // Reads the current entry's data to its end and drops it. Returns kZipOk
  // when it matches its declared size and CRC-32, kZipTooLarge, kZipFailed
  // (no archive open) or minizip's code, as ExtractCurrent does. A name
  // ExtractCurrent would refuse does not matter here. *name gets the entry's
  // name.
  int CheckCurrent(std::string* name);

 private:
  unzFile unz_ = nullptr;
  std::string path_;
  // Open on an archive without entries, which minizip cannot open.
  bool onEmpty_ = false;
  std::vector<std::uint8_t> buffer_;
};

// Extracts the entry at index (from 0, in archive order) of archivePath with
// a reader of its own, as ZipReader::ExtractCurrent does. Returns kZipFailed
// also when the archive cannot be opened (*name empty, *systemError 0), and
// the reader's code when its entry list ends before index.
int ExtractEntryAt(const std::string& archivePath, int index, const std::string& targetDir,
                   bool keepPaths, std::string* name, int* systemError);

}  // namespace archive::internal

#endif  // TRESOLIN_ARCHIVE_ZIP_READER_H_
