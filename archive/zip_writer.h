// The zip writer: one archive at a time, created new, with entries added one
// file at a time. Each writer is an object of its own; nothing is shared
// between writers, so two may run on two threads. A writer is not
// thread-safe itself.
#ifndef TRESOLIN_ARCHIVE_ZIP_WRITER_H_
#define TRESOLIN_ARCHIVE_ZIP_WRITER_H_

#include <minizip/zip.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"
#include "platform/platform.h"

namespace archive::internal {

class ZipWriter {
 public:
  ZipWriter();
  // Completes an archive still open.
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Completes an archive still open, then creates path as a new file (mode
  // 0600, since it holds plaintext while a flow runs). Returns true on
  // success; false when the file cannot be created, also when anything
  // (file, link, folder) exists at path: that is left untouched.
  [[nodiscard]] bool Create(const std::string& path);

  // Sets the method for later entries: 0 (stored) or 8 (deflate at level 9).
  // Other values are ignored. The method is 8 at first and persists across
  // the archives of this writer.
  void SetMethod(int method);

  // Adds the regular file at path as a new entry named path (keepPath;
  // without a leading "/" or "." parts) or its file-name part. Returns kZipOk,
  // kZipFailed (no archive open, the file cannot be opened or read: nothing
  // is added when it cannot be opened), kZipRefused (the name, see
  // EncodeEntryName), or minizip's code. Sleeps pauseMilliseconds after each
  // chunk.
  int AddFile(const std::string& path, bool keepPath, int pauseMilliseconds);

  // Like AddFile, but the entry is named entryName whatever the path is.
  int AddFileAs(const std::string& path, const std::string& entryName, int pauseMilliseconds);

  // Closes the archive (central directory, no comment), if one is open.
  // Returns kZipOk, or minizip's code when it could not be completed (it is
  // then damaged; SystemError tells why).
  int Close();

  // Returns the errno of the first write into the current (or last) archive
  // that failed, 0 when none failed or the system told nothing.
  [[nodiscard]] int SystemError() const { return status_.systemError; }

 private:
  int WriteInChunks(platform::File& file, int pauseMilliseconds);
  int WriteDeflatedInBlocks(platform::File& file, int pauseMilliseconds);

  zipFile zip_ = nullptr;
  // The archive stream reports into this; its address is handed to minizip.
  StreamStatus status_;
  int method_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace archive::internal

#endif  // TRESOLIN_ARCHIVE_ZIP_WRITER_H_
