// The zip reader, the extraction of one entry, and what the directory of an
// archive declares.
#include "archive/zip_reader.h"

#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"
#include "platform/platform.h"

namespace archive::internal {
namespace {

// The DOS read-only bit of the external attributes.
constexpr uLong kDosReadOnly = 0x01;

// The end record of an archive without entries: signature, then zeros for
// disk numbers, entry counts, directory size and offset; then the comment
// length and the comment.
constexpr std::size_t kEndRecordBytes = 22;
constexpr std::size_t kLongestComment = 0xffff;

// minizip looks for the end record after offset 0 only, so it refuses an
// archive that holds nothing else. Returns true iff path is such an archive.
bool IsEmptyArchive(const std::string& path) {
  const auto bytes = platform::ReadWholeFile(path, kEndRecordBytes + kLongestComment);
  if (!bytes || bytes->size() < kEndRecordBytes) return false;
  static constexpr std::uint8_t kSignature[] = {'P', 'K', 5, 6};
  if (!std::equal(std::begin(kSignature), std::end(kSignature), bytes->begin())) return false;
  for (std::size_t i = 4; i < 20; ++i) {
    if ((*bytes)[i] != 0) return false;
  }
  const std::size_t commentBytes = (*bytes)[20] | (*bytes)[21] << 8;
  return bytes->size() == kEndRecordBytes + commentBytes;
}

// Restores what the entry says about the file once its data is complete: the
// time first, because read-only permissions come last. The file was created
// private (0600).
void RestoreTimeAndMode(const std::string& path, const unz_file_info64& info) {
  platform::LocalTime t;
  t.year = static_cast<int>(info.tmu_date.tm_year);
  t.month = static_cast<int>(info.tmu_date.tm_mon) + 1;
  t.day = static_cast<int>(info.tmu_date.tm_mday);
  t.hour = static_cast<int>(info.tmu_date.tm_hour);
  t.minute = static_cast<int>(info.tmu_date.tm_min);
  t.second = 0;
  // A time or mode the file system refuses leaves the data intact; the entry
  // still counts as extracted.
  platform::SetLastWriteTime(path, t);
  const uLong unixMode = info.external_fa >> 16;
  if (unixMode != 0) {
    // Permission bits only: set-id bits from an archive are not honoured.
    platform::SetFileMode(path, static_cast<std::uint32_t>(unixMode & 0777u));
    return;
  }
  // Without stored permissions the file gets the usual mode.
  platform::SetSharedFileMode(path);
  if ((info.external_fa & kDosReadOnly) != 0) {
    if (const auto mode = platform::FileMode(path)) platform::SetFileMode(path, *mode & ~0222u);
  }
}

int GoToFirstEntry(unzFile reader) {
  // minizip misreads the end record as a damaged entry when there is none.
  unz_global_info64 global;
  if (unzGetGlobalInfo64(reader, &global) == UNZ_OK && global.number_entry == 0) {
    return UNZ_END_OF_LIST_OF_FILE;
  }
  return unzGoToFirstFile(reader);
}

// minizip takes a count of 65,535 entries for one that overflowed 16 bits and
// reads on past the last record; there it finds the directory's end and
// reports a damaged directory. The count is exact with a zip64 end record,
// and an older writer left the same count without one for more entries.
// Either way, the list ends where a record of the end follows the last entry.
// Requires: the reader is on an entry.
int GoToNextEntry(unzFile reader, const std::string& archivePath) {
  unz_global_info64 global;
  unz64_file_pos at;
  unz_file_info64 info;
  const bool overflowHack =
      unzGetGlobalInfo64(reader, &global) == UNZ_OK && global.number_entry == kZip64Entries &&
      unzGetFilePos64(reader, &at) == UNZ_OK && at.num_of_file + 1 >= kZip64Entries &&
      unzGetCurrentFileInfo64(reader, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK;
  const int rc = unzGoToNextFile(reader);
  if (rc != UNZ_BADZIPFILE || !overflowHack) return rc;
  constexpr std::int64_t kRecordBytes = 46;  // a central record before its name
  const std::int64_t next =
      static_cast<std::int64_t>(at.pos_in_zip_directory) + kRecordBytes +
      static_cast<std::int64_t>(info.size_filename + info.size_file_extra + info.size_file_comment);
  platform::File file = platform::File::Open(archivePath, platform::OpenMode::kRead);
  std::uint8_t signature[4];
  if (!file.Seek(next) || file.Read(signature) != 4) return rc;
  const bool endFollows =
      signature[0] == 'P' && signature[1] == 'K' &&
      ((signature[2] == 6 && signature[3] == 6) || (signature[2] == 5 && signature[3] == 6));
  return endFollows ? UNZ_END_OF_LIST_OF_FILE : rc;
}

// Returns folder without trailing "/" ("/" stays), or "" for "".
std::string WithoutSlash(const std::string& folder) {
  std::string result = folder;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

// Reads the reader's current entry: its information and where it goes below
// the target. Sets *name for messages. Returns kZipOk, kZipRefused for a name
// that must not be written, or minizip's code.
int ReadCurrentEntry(unzFile reader, bool keepPaths, unz_file_info64* info,
                     std::optional<EntryPath>* path, std::string* name) {
  char stored[kNameLimitBytes];
  int rc = unzGetCurrentFileInfo64(reader, info, stored, sizeof stored, nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return rc;
  std::string extra(info->size_file_extra, '\0');
  if (!extra.empty()) {
    rc = unzGetCurrentFileInfo64(reader, info, nullptr, 0, extra.data(), extra.size(), nullptr, 0);
    if (rc != UNZ_OK) return rc;
  }
  const uLong host = info->version >> 8;
  RawEntryName raw{
      .stored = std::string_view(stored, std::min<uLong>(info->size_filename, sizeof stored)),
      .extraField = extra,
      .utf8 = (info->flag & kUtf8NameFlag) != 0,
      .madeOnUnix = host == kUnixHost || host == kDarwinHost};
  if (info->size_filename >= kNameLimitBytes) {
    raw.extraField = {};  // its checksum is of the whole name
    *name = DecodeName(raw) + "...";
    return kZipRefused;
  }
  *name = DecodeName(raw);
  *path = ResolveEntryName(raw, keepPaths);
  return *path ? kZipOk : kZipRefused;
}

// Reads the open entry's data to its end in pieces of buffer's size, hands
// each to keep (which returns kZipOk or its failure) and closes the entry.
// Counted here rather than trusted to minizip: the declared size is what a
// caller checked the free space against. Returns kZipOk, kZipTooLarge (more
// data than declared: reading stops there), UNZ_BADZIPFILE (less: that skips
// minizip's checksum test), UNZ_CRCERROR, another minizip code, or keep's.
template <typename Keep>
int ReadEntryData(unzFile reader, std::uint64_t declared, std::vector<std::uint8_t>& buffer,
                  Keep keep) {
  buffer.resize(kChunkBytes);
  int result = kZipOk;
  std::uint64_t read = 0;
  for (;;) {
    const int got = unzReadCurrentFile(reader, buffer.data(), static_cast<unsigned>(buffer.size()));
    if (got < 0) {
      result = got;
      break;
    }
    if (got == 0) break;
    if (static_cast<std::uint64_t>(got) > declared - read) {
      result = kZipTooLarge;
      break;
    }
    read += static_cast<std::uint64_t>(got);
    result = keep(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)));
    if (result != kZipOk) break;
  }
  if (result == kZipOk && read != declared) result = UNZ_BADZIPFILE;
  // Once all data is read, closing compares the CRC-32: damaged data must not
  // pass.
  const int closed = unzCloseCurrentFile(reader);
  if (result == kZipOk && closed != UNZ_OK) result = closed;
  return result;
}

int ExtractEntry(unzFile reader, std::vector<std::uint8_t>& buffer, const std::string& targetDir,
                 bool keepPaths, std::string* name, int* systemError) {
  name->clear();
  *systemError = 0;
  // The errno of the call that just failed, for the caller's message.
  const auto failed = [systemError] {
    *systemError = errno;
    return kZipFailed;
  };
  if (targetDir.empty()) return kZipRefused;
  const std::string target = WithoutSlash(targetDir);
  if (!platform::MakeFolders(target)) return failed();

  unz_file_info64 info;
  std::optional<EntryPath> path;
  int rc = ReadCurrentEntry(reader, keepPaths, &info, &path, name);
  if (rc != kZipOk) return rc;

  // Create the folder part level by level: an existing link on the way could
  // lead anywhere, so it stops the entry.
  std::string at = target == "/" ? "" : target;
  for (const std::string& folder : path->folders) {
    at += "/" + folder;
    if (platform::IsSymbolicLink(at)) return kZipRefused;
    if (!platform::MakeFolders(at)) return failed();
  }
  if (path->file.empty()) return kZipOk;
  const std::string outPath = at + "/" + path->file;
  // Files are only ever created. A file already there came from an earlier
  // entry of the same name (the target folder is new): the later entry wins,
  // as a new file. Anything else there is not ours to replace.
  switch (platform::KindOfPath(outPath)) {
    case platform::PathKind::kMissing:
      break;
    case platform::PathKind::kFile:
      if (!platform::DeleteFile(outPath)) return failed();
      break;
    case platform::PathKind::kLink:
      return kZipRefused;
    case platform::PathKind::kFolder:
    case platform::PathKind::kSpecial:
      return kZipFailed;
  }

  rc = unzOpenCurrentFile(reader);
  if (rc != UNZ_OK) return rc;
  // Private until the data is complete and the mode restored.
  platform::File out = platform::File::Open(outPath, platform::OpenMode::kCreateNew, true);
  if (!out.ok()) {
    const int openError = failed();
    unzCloseCurrentFile(reader);
    return openError;
  }
  int result = ReadEntryData(
      reader, info.uncompressed_size, buffer,
      [&](std::span<const std::uint8_t> data) { return out.Write(data) ? kZipOk : failed(); });
  if (!out.Close() && result == kZipOk) result = failed();
  if (result != kZipOk) return result;
  RestoreTimeAndMode(outPath, info);
  return kZipOk;
}

}  // namespace

ZipReader::~ZipReader() {
  Close();
}

bool ZipReader::Open(const std::string& path) {
  Close();
  zlib_filefunc64_def functions = PlatformFileFunctions();
  unz_ = unzOpen2_64(path.c_str(), &functions);
  path_ = path;
  if (unz_ == nullptr) onEmpty_ = IsEmptyArchive(path);
  return unz_ != nullptr || onEmpty_;
}

void ZipReader::Close() {
  onEmpty_ = false;
  if (unz_ == nullptr) return;
  unzClose(unz_);
  unz_ = nullptr;
}

int ZipReader::First() {
  if (onEmpty_) return UNZ_END_OF_LIST_OF_FILE;
  if (unz_ == nullptr) return kZipFailed;
  return GoToFirstEntry(unz_);
}

int ZipReader::Next() {
  if (onEmpty_) return UNZ_END_OF_LIST_OF_FILE;
  if (unz_ == nullptr) return kZipFailed;
  return GoToNextEntry(unz_, path_);
}

int ZipReader::ExtractCurrent(const std::string& targetDir, bool keepPaths, std::string* name,
                              int* systemError) {
  name->clear();
  *systemError = 0;
  if (unz_ == nullptr) return kZipFailed;
  return ExtractEntry(unz_, buffer_, targetDir, keepPaths, name, systemError);
}

int ZipReader::CheckCurrent(std::string* name) {
  name->clear();
  if (unz_ == nullptr) return kZipFailed;
  unz_file_info64 info;
  std::optional<EntryPath> path;
  const int rc = ReadCurrentEntry(unz_, true, &info, &path, name);
  if (rc != kZipOk && rc != kZipRefused) return rc;
  const int opened = unzOpenCurrentFile(unz_);
  if (opened != UNZ_OK) return opened;
  return ReadEntryData(unz_, info.uncompressed_size, buffer_,
                       [](std::span<const std::uint8_t>) { return kZipOk; });
}

int ExtractEntryAt(const std::string& archivePath, int index, const std::string& targetDir,
                   bool keepPaths, std::string* name, int* systemError) {
  name->clear();
  *systemError = 0;
  if (index < 0) return kZipFailed;
  ZipReader reader;
  if (!reader.Open(archivePath)) return kZipFailed;
  int rc = reader.First();
  for (int i = 0; i < index && rc == UNZ_OK; ++i) rc = reader.Next();
  if (rc != UNZ_OK) return rc;
  return reader.ExtractCurrent(targetDir, keepPaths, name, systemError);
}

}  // namespace archive::internal

namespace archive {

std::optional<std::uint64_t> DeclaredTotalBytes(const std::string& archivePath) {
  zlib_filefunc64_def functions = internal::PlatformFileFunctions();
  unzFile reader = unzOpen2_64(archivePath.c_str(), &functions);
  if (reader == nullptr) {
    if (internal::IsEmptyArchive(archivePath)) return 0;
    return std::nullopt;
  }
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total = 0;
  int rc = internal::GoToFirstEntry(reader);
  while (rc == UNZ_OK) {
    unz_file_info64 info;
    rc = unzGetCurrentFileInfo64(reader, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    if (rc != UNZ_OK) break;
    total = info.uncompressed_size > kMost - total ? kMost : total + info.uncompressed_size;
    rc = internal::GoToNextEntry(reader, archivePath);
  }
  unzClose(reader);
  if (rc != UNZ_END_OF_LIST_OF_FILE) return std::nullopt;
  return total;
}

std::optional<std::string> EntryTargetPath(const std::string& archivePath, int index,
                                           const std::string& targetDir, bool keepPaths) {
  if (index < 0 || targetDir.empty()) return std::nullopt;
  zlib_filefunc64_def functions = internal::PlatformFileFunctions();
  unzFile reader = unzOpen2_64(archivePath.c_str(), &functions);
  if (reader == nullptr) return std::nullopt;
  int rc = internal::GoToFirstEntry(reader);
  for (int i = 0; i < index && rc == UNZ_OK; ++i) rc = internal::GoToNextEntry(reader, archivePath);
  unz_file_info64 info;
  std::optional<internal::EntryPath> path;
  std::string name;
  if (rc == UNZ_OK) rc = internal::ReadCurrentEntry(reader, keepPaths, &info, &path, &name);
  unzClose(reader);
  if (rc != internal::kZipOk || !path || path->file.empty()) return std::nullopt;
  std::string at = internal::WithoutSlash(targetDir);
  if (at == "/") at.clear();
  for (const std::string& folder : path->folders) at += "/" + folder;
  return at + "/" + path->file;
}

}  // namespace archive
