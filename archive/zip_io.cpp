// minizip's file access over platform::File. Platform files are unbuffered,
// and minizip moves header fields a few bytes at a time, so both directions
// go through a buffer here.
#include <minizip/ioapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "archive/internal.h"
#include "platform/platform.h"

namespace archive::internal {
namespace {

constexpr std::size_t kBufferBytes = 65536;

// The end of an archive as minizip writes it, comment-free:
//   zip64 end record   4 + 8 + 2 + 2 + 4 + 4 + 8 + 8 + 8 + 8 = 56  signature, size of the
//                      rest, made by, needed, disk, directory's disk, entries on the disk,
//                      entries, directory size, directory offset
//   zip64 locator      4 + 4 + 8 + 4 = 20  signature, disk, record offset, disks
//   end record         4 + 2 + 2 + 2 + 2 + 4 + 4 + 2 = 22  signature, disk, directory's
//                      disk, entries on the disk, entries, directory size and offset, comment
constexpr std::size_t kZip64RecordBytes = 56;
constexpr std::size_t kZip64LocatorBytes = 20;
constexpr std::size_t kEndRecordBytes = 22;
constexpr std::uint32_t kZip64RecordSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
// Made by a Unix host (3), like the entries; zip 4.5 is the version that
// knows zip64.
constexpr std::uint16_t kZip64MadeBy = (3u << 8) | 45u;
constexpr std::uint16_t kZip64Needed = 45;

// A stretch of the file held in memory for reading.
struct Window {
  std::int64_t start = 0;
  std::vector<std::uint8_t> bytes;
  std::uint64_t lastUse = 0;
};

struct Stream {
  platform::File file;
  StreamStatus* status = nullptr;
  bool reading = false;
  bool failed = false;
  // The logical position, which the file may be ahead of (reading) or
  // behind (writing).
  std::int64_t position = 0;
  // Reading: two stretches of the file. Extraction takes turns between the
  // central directory at the end and each entry's local header at the front;
  // with one buffer, every turn would read it anew.
  Window windows[2];
  std::uint64_t uses = 0;
  // Writing: bytes not yet written, which belong at pendingAt. minizip seeks
  // back after each entry to fill in its local header; for a small entry that
  // lies in here, and patching it here saves two writes and two seeks.
  std::vector<std::uint8_t> buffer;
  std::int64_t pendingAt = 0;
  // Writing: where the file's own offset is.
  std::int64_t fileAt = 0;
  // Writing: the last bytes written since the last seek elsewhere, at most
  // the end records' worth; the close reads the end record minizip wrote here.
  std::vector<std::uint8_t> tail;
  // Reading: where a read found the end of the file, -1 before. The archive
  // does not grow while it is read, and a damaged directory makes the reader
  // ask for the bytes past its end one at a time: each would cost a seek and
  // a read.
  std::int64_t end = -1;
};

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void MarkWriteFailed(Stream* s) {
  const int systemError = errno;
  s->failed = true;
  if (s->status != nullptr && !s->status->writeFailed) {
    s->status->writeFailed = true;
    s->status->systemError = systemError;
  }
}

// Writes what is pending. Once a write has failed, nothing more is written:
// the archive is lost anyway (see StreamStatus).
void Flush(Stream* s) {
  if (!s->failed && !s->buffer.empty()) {
    if ((s->fileAt != s->pendingAt && !s->file.Seek(s->pendingAt)) || !s->file.Write(s->buffer)) {
      MarkWriteFailed(s);
    } else {
      s->fileAt = s->pendingAt + static_cast<std::int64_t>(s->buffer.size());
    }
  }
  s->pendingAt += static_cast<std::int64_t>(s->buffer.size());
  s->buffer.clear();
}

voidpf ZCALLBACK OpenStream(voidpf opaque, const void* filename, int mode) {
  if (filename == nullptr) return nullptr;
  const std::string path(static_cast<const char*>(filename));
  auto* stream = new Stream;
  stream->status = static_cast<StreamStatus*>(opaque);
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ) {
    stream->file = platform::File::Open(path, platform::OpenMode::kRead);
    stream->reading = true;
  } else if ((mode & ZLIB_FILEFUNC_MODE_CREATE) != 0) {
    // A new archive holds plaintext until the flow has encrypted it. Only a
    // new file will do: whatever is at the name (a link planted there, an
    // older file of somebody else's) is not ours to write.
    stream->file = platform::File::Open(path, platform::OpenMode::kCreateNew, true);
    stream->buffer.reserve(kBufferBytes);
  }
  // Appending to an existing archive is never asked for.
  if (!stream->file.ok()) {
    delete stream;
    return nullptr;
  }
  return stream;
}

uLong ZCALLBACK ReadStream(voidpf, voidpf handle, void* out, uLong size) {
  auto* s = static_cast<Stream*>(handle);
  if (!s->reading) return 0;
  auto* dest = static_cast<std::uint8_t*>(out);
  uLong done = 0;
  while (done < size) {
    bool copied = false;
    for (Window& w : s->windows) {
      const std::int64_t offset = s->position - w.start;
      if (offset < 0 || offset >= static_cast<std::int64_t>(w.bytes.size())) continue;
      const std::size_t n = std::min<std::size_t>(w.bytes.size() - offset, size - done);
      std::memcpy(dest + done, w.bytes.data() + offset, n);
      done += n;
      s->position += static_cast<std::int64_t>(n);
      w.lastUse = ++s->uses;
      copied = true;
      break;
    }
    if (copied) continue;
    if (s->end >= 0 && s->position >= s->end) break;
    if (!s->file.Seek(s->position)) {
      s->failed = true;
      break;
    }
    if (size - done >= kBufferBytes) {
      // Large reads (entry data) bypass the windows.
      const std::int64_t got = s->file.Read(std::span(dest + done, size - done));
      if (got < 0) s->failed = true;
      if (got == 0) s->end = s->position;
      if (got > 0) {
        done += static_cast<uLong>(got);
        s->position += got;
      }
      break;
    }
    Window& w = s->windows[0].lastUse <= s->windows[1].lastUse ? s->windows[0] : s->windows[1];
    w.bytes.resize(kBufferBytes);
    const std::int64_t got = s->file.Read(w.bytes);
    w.bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    w.start = s->position;
    if (got < 0) s->failed = true;
    if (got == 0) s->end = s->position;
    if (got <= 0) break;
  }
  return done;
}

// Reports every write as done: minizip leaks the entry it is opening when a
// header write fails. The failure is kept and reported by the close instead.
uLong ZCALLBACK WriteStream(voidpf, voidpf handle, const void* data, uLong size) {
  auto* s = static_cast<Stream*>(handle);
  if (s->reading) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::int64_t pendingEnd = s->pendingAt + static_cast<std::int64_t>(s->buffer.size());
  if (s->position < s->pendingAt || s->position > pendingEnd) {
    Flush(s);
    s->pendingAt = s->position;
  }
  // Over what is pending, then on at its end.
  const auto offset = static_cast<std::size_t>(s->position - s->pendingAt);
  const std::size_t over = std::min<std::size_t>(size, s->buffer.size() - offset);
  std::memcpy(s->buffer.data() + offset, bytes, over);
  s->buffer.insert(s->buffer.end(), bytes + over, bytes + size);
  s->tail.insert(s->tail.end(), bytes, bytes + size);
  constexpr std::size_t kTailBytes = kZip64RecordBytes + kZip64LocatorBytes + kEndRecordBytes;
  if (s->tail.size() > kTailBytes) s->tail.erase(s->tail.begin(), s->tail.end() - kTailBytes);
  s->position += static_cast<std::int64_t>(size);
  if (s->buffer.size() >= kBufferBytes) Flush(s);
  return size;
}

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf handle) {
  return static_cast<ZPOS64_T>(static_cast<Stream*>(handle)->position);
}

long ZCALLBACK SeekStream(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
  auto* s = static_cast<Stream*>(handle);
  std::int64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = s->position;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      if (!s->reading) Flush(s);
      base = s->file.Size();
      break;
    default:
      return -1;
  }
  const std::int64_t target = base + static_cast<std::int64_t>(offset);
  if (base < 0 || target < 0) return -1;
  // Writing, the file moves when pending bytes go out (Flush).
  if (!s->reading && target != s->position) s->tail.clear();
  s->position = target;
  return 0;
}

// Puts the zip64 end record and its locator in front of the end record that
// minizip wrote last, and sets that record's entry counts to "see zip64".
// Returns true iff the archive ends with them.
bool AddZip64End(Stream* s, std::uint64_t entries) {
  const std::vector<std::uint8_t>& t = s->tail;
  if (t.size() < kEndRecordBytes) return false;
  const std::uint8_t* endRecord = t.data() + t.size() - kEndRecordBytes;
  const std::size_t commentBytes = endRecord[20] | endRecord[21] << 8;
  if (Le32(endRecord) != kEndRecordSignature || commentBytes != 0) return false;
  // Past 4 GiB minizip writes them itself.
  if (t.size() >= kEndRecordBytes + kZip64LocatorBytes &&
      Le32(endRecord - kZip64LocatorBytes) == kZip64LocatorSignature) {
    return true;
  }
  const std::int64_t recordAt = s->position - static_cast<std::int64_t>(kEndRecordBytes);
  std::vector<std::uint8_t> out;
  PutLe(out, kZip64RecordSignature, 4);
  PutLe(out, kZip64RecordBytes - 12, 8);  // what follows the size field
  PutLe(out, kZip64MadeBy, 2);
  PutLe(out, kZip64Needed, 2);
  PutLe(out, 0, 4);
  PutLe(out, 0, 4);
  PutLe(out, entries, 8);
  PutLe(out, entries, 8);
  PutLe(out, Le32(endRecord + 12), 8);
  PutLe(out, Le32(endRecord + 16), 8);
  PutLe(out, kZip64LocatorSignature, 4);
  PutLe(out, 0, 4);
  PutLe(out, static_cast<std::uint64_t>(recordAt), 8);
  PutLe(out, 1, 4);
  // The end record follows unchanged but for its two entry counts.
  PutLe(out, kEndRecordSignature, 4);
  PutLe(out, 0, 2);
  PutLe(out, 0, 2);
  PutLe(out, kZip64Entries, 2);
  PutLe(out, kZip64Entries, 2);
  out.insert(out.end(), endRecord + 12, endRecord + kEndRecordBytes);
  if (!s->file.Seek(recordAt) || !s->file.Write(out)) return false;
  s->position = recordAt + static_cast<std::int64_t>(out.size());
  s->fileAt = s->pendingAt = s->position;
  return true;
}

int ZCALLBACK CloseStream(voidpf, voidpf handle) {
  auto* s = static_cast<Stream*>(handle);
  if (!s->reading) {
    Flush(s);
    if (!s->failed && s->status != nullptr && s->status->entries >= kZip64Entries &&
        !AddZip64End(s, s->status->entries)) {
      MarkWriteFailed(s);
    }
  }
  // A delayed write error shows only here; minizip turns it into its result.
  const bool closed = s->file.Close();
  if (!closed && !s->reading) MarkWriteFailed(s);
  const bool failed = s->failed;
  delete s;
  return closed && !failed ? 0 : -1;
}

int ZCALLBACK StreamError(voidpf, voidpf handle) {
  return static_cast<Stream*>(handle)->failed ? 1 : 0;
}

}  // namespace

zlib_filefunc64_def PlatformFileFunctions(StreamStatus* status) {
  zlib_filefunc64_def functions{};
  functions.zopen64_file = OpenStream;
  functions.zread_file = ReadStream;
  functions.zwrite_file = WriteStream;
  functions.ztell64_file = TellStream;
  functions.zseek64_file = SeekStream;
  functions.zclose_file = CloseStream;
  functions.zerror_file = StreamError;
  functions.opaque = status;
  return functions;
}

}  // namespace archive::internal
