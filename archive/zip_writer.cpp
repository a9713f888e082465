// The zip writer: entry names, times and attributes as archive.h describes
// them, data in chunks or, for large deflated files, in blocks on every core.
#include "archive/zip_writer.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <thread>

#include "archive/archive.h"
#include "archive/internal.h"
#include "platform/platform.h"

namespace archive::internal {
namespace {

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

uLong ExternalAttributes(std::uint32_t mode, unsigned host) {
  uLong attributes = (static_cast<uLong>(mode) & 0xffffu) << 16 | kDosArchive;
  if ((mode & 0200u) == 0) attributes |= kDosReadOnly;
  if (host != kUnixHost) attributes |= kUnixModeMark;
  return attributes;
}

std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

ZipWriter::ZipWriter() : method_(Z_DEFLATED) {}

ZipWriter::~ZipWriter() {
  (void)Close();
}

bool ZipWriter::Create(const std::string& path) {
  (void)Close();
  status_ = {};
  zlib_filefunc64_def functions = PlatformFileFunctions(&status_);
  zip_ = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
  return zip_ != nullptr;
}

void ZipWriter::SetMethod(int method) {
  if (method == 0 || method == Z_DEFLATED) method_ = method;
}

int ZipWriter::AddFile(const std::string& path, bool keepPath, int pauseMilliseconds) {
  return AddFileAs(path, keepPath ? path : FileNamePart(path), pauseMilliseconds);
}

int ZipWriter::AddFileAs(const std::string& path, const std::string& entryName,
                         int pauseMilliseconds) {
  if (zip_ == nullptr) return kZipFailed;
  const auto name = EncodeEntryName(entryName);
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
  info.external_fa = ExternalAttributes(*mode, name->host);
  // Files past one block are deflated here, on every core, and handed to
  // minizip as raw data; smaller ones gain nothing from it.
  const bool inBlocks =
      method_ == Z_DEFLATED && size > static_cast<std::int64_t>(kDeflateBlockBytes);
  const auto extraBytes = static_cast<uInt>(name->extraField.size());
  int rc = zipOpenNewFileInZip4_64(zip_, name->bytes.c_str(), &info, name->extraField.data(),
                                   extraBytes, name->extraField.data(), extraBytes, nullptr,
                                   method_, kLevel, inBlocks ? 1 : 0, kWindowBits, DEF_MEM_LEVEL,
                                   Z_DEFAULT_STRATEGY, nullptr, 0, (name->host << 8) | kZipVersion,
                                   name->utf8 ? kUtf8NameFlag : 0, size >= kZip64Bytes ? 1 : 0);
  if (rc != ZIP_OK) return rc;
  ++status_.entries;
  int result = inBlocks ? WriteDeflatedInBlocks(file, pauseMilliseconds)
                        : WriteInChunks(file, pauseMilliseconds);
  if (result == kZipOk && status_.writeFailed) result = kZipFailed;
  return result;
}

int ZipWriter::Close() {
  if (zip_ == nullptr) return kZipOk;
  const int rc = zipClose(zip_, nullptr);
  zip_ = nullptr;
  return rc;
}

// Copies file into the open entry, which minizip deflates, chunk by chunk,
// and closes the entry. Returns kZipOk, kZipFailed or minizip's code.
int ZipWriter::WriteInChunks(platform::File& file, int pauseMilliseconds) {
  // One buffer for the writer's life: a fresh one per file costs more than
  // the data of a small file.
  buffer_.resize(kChunkBytes);
  int result = kZipOk;
  for (;;) {
    const std::int64_t got = file.Read(buffer_);
    if (got < 0) {
      result = kZipFailed;
      break;
    }
    if (got == 0) break;
    const int rc = zipWriteInFileInZip(zip_, buffer_.data(), static_cast<unsigned>(got));
    if (rc != ZIP_OK) {
      result = rc;
      break;
    }
    if (pauseMilliseconds > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
    }
    if (got < static_cast<std::int64_t>(buffer_.size())) break;  // short read: the end
  }
  // Closed even after a failure, so that the archive stays well-formed.
  const int rc = zipCloseFileInZip(zip_);
  return result == kZipOk ? rc : result;
}

// Deflates file in blocks into the open raw entry and closes it with the
// size and CRC-32 of the data. Returns kZipOk, kZipFailed or minizip's code.
int ZipWriter::WriteDeflatedInBlocks(platform::File& file, int pauseMilliseconds) {
  int writeRc = ZIP_OK;
  const BlockDeflateResult deflated = DeflateInBlocks(
      [&file](std::span<std::uint8_t> out) { return file.Read(out); },
      [this, &writeRc](std::span<const std::uint8_t> bytes) {
        writeRc = zipWriteInFileInZip(zip_, bytes.data(), static_cast<unsigned>(bytes.size()));
        // A full disk shows only in the stream's status: no use deflating on.
        return writeRc == ZIP_OK && !status_.writeFailed;
      },
      DeflateWorkers(), pauseMilliseconds);
  // Closed even after a failure, so that the archive stays well-formed.
  const int rc = zipCloseFileInZipRaw64(zip_, deflated.bytesIn, deflated.crc);
  if (deflated.status == BlockDeflateStatus::kOk) return rc;
  return writeRc != ZIP_OK ? writeRc : kZipFailed;
}

}  // namespace archive::internal
