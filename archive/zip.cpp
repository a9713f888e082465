// The process-wide zip writer and reader, and the extraction of one entry.
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"
#include "platform/platform.h"

namespace archive {
namespace {

constexpr int kMethodStored = 0;
constexpr int kMethodDeflate = Z_DEFLATED;
constexpr int kLevel = 9;
// Raw deflate data, as zip entries carry it.
constexpr int kWindowBits = -MAX_WBITS;
// "Version made by": the host (see StoredName) in the high byte, zip 2.0 in
// the low one.
constexpr uLong kZipVersion = 20;
// The DOS half of the external attributes.
constexpr uLong kDosReadOnly = 0x01;
constexpr uLong kDosArchive = 0x20;
// 7-Zip's mark that the high 16 bits hold a Unix mode although the host is
// not Unix.
constexpr uLong kUnixModeMark = 0x8000;
// Entries this large need zip64 fields in their local header.
constexpr std::int64_t kZip64Bytes = 0xffffffffLL;
// The DOS date counts years from 1980 in seven bits.
constexpr int kFirstDosYear = 1980;
constexpr int kLastDosYear = 2107;

zipFile g_writer = nullptr;
internal::StreamStatus g_writerStatus;
int g_method = kMethodDeflate;
unzFile g_reader = nullptr;
std::string g_readerPath;
// Open on an archive without entries, which minizip cannot open (below).
bool g_readerOnEmpty = false;

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

// The chunk buffer, one for the process: the writer and the reader run on one
// thread, one file at a time, and a fresh buffer per file costs more than the
// data of a small file.
std::span<std::uint8_t> ChunkBuffer() {
  static const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunkBytes]);
  return {buffer.get(), kChunkBytes};
}

tm_zip ToZipTime(const platform::LocalTime& t) {
  tm_zip z{};
  if (t.year < kFirstDosYear) {
    // Older times have no DOS date; minizip would wrap them into nonsense.
    z.tm_year = kFirstDosYear;
    z.tm_mday = 1;
    return z;
  }
  if (t.year > kLastDosYear) {
    z.tm_year = kLastDosYear;
    z.tm_mon = 11;
    z.tm_mday = 31;
    z.tm_hour = 23;
    z.tm_min = 59;
    z.tm_sec = 58;
    return z;
  }
  z.tm_year = static_cast<uInt>(t.year);
  z.tm_mon = static_cast<uInt>(t.month - 1);
  z.tm_mday = static_cast<uInt>(t.day);
  z.tm_hour = static_cast<uInt>(t.hour);
  z.tm_min = static_cast<uInt>(t.minute);
  z.tm_sec = static_cast<uInt>(t.second);
  return z;
}

uLong ExternalAttributes(std::uint32_t mode) {
  uLong attributes = (static_cast<uLong>(mode) & 0xffffu) << 16 | kDosArchive;
  if ((mode & 0200u) == 0) attributes |= kDosReadOnly;
  return attributes;
}

std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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
      unzGetGlobalInfo64(reader, &global) == UNZ_OK &&
      global.number_entry == internal::kZip64Entries && unzGetFilePos64(reader, &at) == UNZ_OK &&
      at.num_of_file + 1 >= internal::kZip64Entries &&
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
                     std::optional<internal::EntryPath>* path, std::string* name) {
  char stored[kNameLimitBytes];
  int rc = unzGetCurrentFileInfo64(reader, info, stored, sizeof stored, nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return rc;
  std::string extra(info->size_file_extra, '\0');
  if (!extra.empty()) {
    rc = unzGetCurrentFileInfo64(reader, info, nullptr, 0, extra.data(), extra.size(), nullptr, 0);
    if (rc != UNZ_OK) return rc;
  }
  const uLong host = info->version >> 8;
  internal::RawEntryName raw{
      .stored = std::string_view(stored, std::min<uLong>(info->size_filename, sizeof stored)),
      .extraField = extra,
      .utf8 = (info->flag & internal::kUtf8NameFlag) != 0,
      .madeOnUnix = host == internal::kUnixHost || host == internal::kDarwinHost};
  if (info->size_filename >= kNameLimitBytes) {
    raw.extraField = {};  // its checksum is of the whole name
    *name = internal::DecodeName(raw) + "...";
    return kZipRefused;
  }
  *name = internal::DecodeName(raw);
  *path = internal::ResolveEntryName(raw, keepPaths);
  return *path ? kZipOk : kZipRefused;
}

int ExtractEntry(unzFile reader, const std::string& targetDir, bool keepPaths, std::string* name,
                 int* systemError) {
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
  std::optional<internal::EntryPath> path;
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
  const std::span<std::uint8_t> buffer = ChunkBuffer();
  int result = kZipOk;
  // Counted here rather than trusted to minizip: the declared sizes are what
  // the caller checked the free space against.
  std::uint64_t written = 0;
  for (;;) {
    const int got = unzReadCurrentFile(reader, buffer.data(), static_cast<unsigned>(buffer.size()));
    if (got < 0) {
      result = got;
      break;
    }
    if (got == 0) break;
    if (static_cast<std::uint64_t>(got) > info.uncompressed_size - written) {
      result = kZipTooLarge;
      break;
    }
    written += static_cast<std::uint64_t>(got);
    if (!out.Write(std::span(buffer.data(), static_cast<std::size_t>(got)))) {
      result = failed();
      break;
    }
  }
  // Data that ends early skips minizip's checksum test.
  if (result == kZipOk && written != info.uncompressed_size) result = UNZ_BADZIPFILE;
  // Once all data is read, closing compares the CRC-32: damaged data must not
  // pass as a restored file.
  const int closed = unzCloseCurrentFile(reader);
  if (result == kZipOk && closed != UNZ_OK) result = closed;
  if (!out.Close() && result == kZipOk) result = failed();
  if (result != kZipOk) return result;
  RestoreTimeAndMode(outPath, info);
  return kZipOk;
}

// Copies file into the writer's open entry, which minizip deflates, chunk by
// chunk, and closes the entry. Returns kZipOk, kZipFailed or minizip's code.
int WriteInChunks(platform::File& file, int pauseMilliseconds) {
  const std::span<std::uint8_t> buffer = ChunkBuffer();
  int result = kZipOk;
  for (;;) {
    const std::int64_t got = file.Read(buffer);
    if (got < 0) {
      result = kZipFailed;
      break;
    }
    if (got == 0) break;
    const int rc = zipWriteInFileInZip(g_writer, buffer.data(), static_cast<unsigned>(got));
    if (rc != ZIP_OK) {
      result = rc;
      break;
    }
    if (pauseMilliseconds > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
    }
    if (got < static_cast<std::int64_t>(buffer.size())) break;  // short read: the end
  }
  // Closed even after a failure, so that the archive stays well-formed.
  const int rc = zipCloseFileInZip(g_writer);
  return result == kZipOk ? rc : result;
}

// Deflates file in blocks into the writer's open raw entry and closes it with
// the size and CRC-32 of the data. Returns kZipOk, kZipFailed or minizip's
// code.
int WriteDeflatedInBlocks(platform::File& file, int pauseMilliseconds) {
  int writeRc = ZIP_OK;
  const internal::BlockDeflateResult deflated = internal::DeflateInBlocks(
      [&file](std::span<std::uint8_t> out) { return file.Read(out); },
      [&writeRc](std::span<const std::uint8_t> bytes) {
        writeRc = zipWriteInFileInZip(g_writer, bytes.data(), static_cast<unsigned>(bytes.size()));
        // A full disk shows only in the stream's status: no use deflating on.
        return writeRc == ZIP_OK && !g_writerStatus.writeFailed;
      },
      internal::DeflateWorkers(), pauseMilliseconds);
  // Closed even after a failure, so that the archive stays well-formed.
  const int rc = zipCloseFileInZipRaw64(g_writer, deflated.bytesIn, deflated.crc);
  if (deflated.status == internal::BlockDeflateStatus::kOk) return rc;
  return writeRc != ZIP_OK ? writeRc : kZipFailed;
}

}  // namespace

namespace internal {

void CloseReader() {
  g_readerOnEmpty = false;
  if (g_reader == nullptr) return;
  unzClose(g_reader);
  g_reader = nullptr;
}

int CloseWriter() {
  if (g_writer == nullptr) return kZipOk;
  const int rc = zipClose(g_writer, nullptr);
  g_writer = nullptr;
  return rc;
}

int ExtractCurrentEntry(const std::string& targetDir, bool keepPaths, std::string* name,
                        int* systemError) {
  name->clear();
  *systemError = 0;
  if (g_reader == nullptr) return kZipFailed;
  return ExtractEntry(g_reader, targetDir, keepPaths, name, systemError);
}

int ExtractEntryAt(const std::string& archivePath, int index, const std::string& targetDir,
                   bool keepPaths, std::string* name, int* systemError) {
  name->clear();
  *systemError = 0;
  if (index < 0) return kZipFailed;
  zlib_filefunc64_def functions = PlatformFileFunctions();
  unzFile reader = unzOpen2_64(archivePath.c_str(), &functions);
  if (reader == nullptr) return kZipFailed;
  int rc = GoToFirstEntry(reader);
  for (int i = 0; i < index && rc == UNZ_OK; ++i) rc = GoToNextEntry(reader, archivePath);
  if (rc == UNZ_OK) rc = ExtractEntry(reader, targetDir, keepPaths, name, systemError);
  unzClose(reader);
  return rc;
}

int WriterSystemError() {
  return g_writerStatus.systemError;
}

}  // namespace internal

int Zip_CreateArchive(const std::string& path) {
  internal::CloseWriter();
  g_writerStatus = {};
  zlib_filefunc64_def functions = internal::PlatformFileFunctions(&g_writerStatus);
  g_writer = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
  return g_writer != nullptr ? 1 : 0;
}

void Zip_SetMethod(int method) {
  if (method == kMethodStored || method == kMethodDeflate) g_method = method;
}

int Zip_AddFile(const std::string& path, bool keepPath, int pauseMilliseconds) {
  return Zip_AddFileAs(path, keepPath ? path : FileNamePart(path), pauseMilliseconds);
}

int Zip_AddFileAs(const std::string& path, const std::string& entryName, int pauseMilliseconds) {
  if (g_writer == nullptr) return kZipFailed;
  const auto name = internal::EncodeEntryName(entryName);
  if (!name) return kZipRefused;
  // Only regular files are data; asking first keeps a FIFO from blocking the
  // open. The file is opened before its entry, so a file that cannot be read
  // leaves no entry behind.
  if (!platform::FileExists(path)) return kZipFailed;
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  const auto mode = platform::FileMode(path);
  const std::int64_t size = file.Size();
  if (!file.ok() || !mode || size < 0) return kZipFailed;

  zip_fileinfo info{};
  info.tmz_date = ToZipTime(platform::LastWriteTime(path).value_or(platform::LocalTime{}));
  info.dosDate = 0;
  info.internal_fa = 0;
  info.external_fa = ExternalAttributes(*mode);
  if (name->host != internal::kUnixHost) info.external_fa |= kUnixModeMark;
  // Files past one block are deflated here, on every core, and handed to
  // minizip as raw data; smaller ones gain nothing from it.
  const bool inBlocks =
      g_method == kMethodDeflate && size > static_cast<std::int64_t>(internal::kDeflateBlockBytes);
  const auto extraBytes = static_cast<uInt>(name->extraField.size());
  int rc = zipOpenNewFileInZip4_64(
      g_writer, name->bytes.c_str(), &info, name->extraField.data(), extraBytes,
      name->extraField.data(), extraBytes, nullptr, g_method, kLevel, inBlocks ? 1 : 0, kWindowBits,
      DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, (name->host << 8) | kZipVersion,
      name->utf8 ? internal::kUtf8NameFlag : 0, size >= kZip64Bytes ? 1 : 0);
  if (rc != ZIP_OK) return rc;
  ++g_writerStatus.entries;
  int result = inBlocks ? WriteDeflatedInBlocks(file, pauseMilliseconds)
                        : WriteInChunks(file, pauseMilliseconds);
  if (result == kZipOk && g_writerStatus.writeFailed) result = kZipFailed;
  return result;
}

int Zip_CloseArchive() {
  internal::CloseReader();
  return internal::CloseWriter();
}

int Zip_OpenArchive(const std::string& path) {
  internal::CloseReader();
  zlib_filefunc64_def functions = internal::PlatformFileFunctions();
  g_reader = unzOpen2_64(path.c_str(), &functions);
  g_readerPath = path;
  if (g_reader == nullptr) g_readerOnEmpty = IsEmptyArchive(path);
  return g_reader != nullptr || g_readerOnEmpty ? 1 : 0;
}

int Zip_FirstEntry() {
  if (g_readerOnEmpty) return UNZ_END_OF_LIST_OF_FILE;
  if (g_reader == nullptr) return kZipFailed;
  return GoToFirstEntry(g_reader);
}

int Zip_NextEntry() {
  if (g_readerOnEmpty) return UNZ_END_OF_LIST_OF_FILE;
  if (g_reader == nullptr) return kZipFailed;
  return GoToNextEntry(g_reader, g_readerPath);
}

int Zip_ExtractCurrent(const std::string& targetDir, bool keepPaths) {
  std::string name;
  int systemError = 0;
  return internal::ExtractCurrentEntry(targetDir, keepPaths, &name, &systemError);
}

int Zip_ExtractByIndex(const std::string& archivePath, int index, const std::string& targetDir,
                       bool keepPaths) {
  std::string name;
  int systemError = 0;
  return internal::ExtractEntryAt(archivePath, index, targetDir, keepPaths, &name, &systemError) ==
                 kZipOk
             ? 1
             : 0;
}

std::optional<std::uint64_t> DeclaredTotalBytes(const std::string& archivePath) {
  zlib_filefunc64_def functions = internal::PlatformFileFunctions();
  unzFile reader = unzOpen2_64(archivePath.c_str(), &functions);
  if (reader == nullptr) {
    if (IsEmptyArchive(archivePath)) return 0;
    return std::nullopt;
  }
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total = 0;
  int rc = GoToFirstEntry(reader);
  while (rc == UNZ_OK) {
    unz_file_info64 info;
    rc = unzGetCurrentFileInfo64(reader, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    if (rc != UNZ_OK) break;
    total = info.uncompressed_size > kMost - total ? kMost : total + info.uncompressed_size;
    rc = GoToNextEntry(reader, archivePath);
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
  int rc = GoToFirstEntry(reader);
  for (int i = 0; i < index && rc == UNZ_OK; ++i) rc = GoToNextEntry(reader, archivePath);
  unz_file_info64 info;
  std::optional<internal::EntryPath> path;
  std::string name;
  if (rc == UNZ_OK) rc = ReadCurrentEntry(reader, keepPaths, &info, &path, &name);
  unzClose(reader);
  if (rc != kZipOk || !path || path->file.empty()) return std::nullopt;
  std::string at = WithoutSlash(targetDir);
  if (at == "/") at.clear();
  for (const std::string& folder : path->folders) at += "/" + folder;
  return at + "/" + path->file;
}

}  // namespace archive
