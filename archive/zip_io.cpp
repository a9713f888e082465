// minizip's file access over platform::File. Platform files are unbuffered,
// and minizip moves header fields a few bytes at a time, so both directions
// go through a buffer here.
#include <minizip/ioapi.h>

#include <algorithm>
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

struct Stream {
  platform::File file;
  StreamStatus* status = nullptr;
  bool reading = false;
  bool failed = false;
  // The logical position, which the buffer may be ahead of (reading) or
  // behind (writing).
  std::int64_t position = 0;
  // Reading: the bytes of the file from bufferStart on. Writing: bytes not
  // yet written, which belong at position - buffer.size().
  std::int64_t bufferStart = 0;
  std::vector<std::uint8_t> buffer;
  // Reading: where a read found the end of the file, -1 before. The archive
  // does not grow while it is read, and a damaged directory makes the reader
  // ask for the bytes past its end one at a time: each would cost a seek and
  // a read.
  std::int64_t end = -1;
};

void MarkWriteFailed(Stream* s) {
  s->failed = true;
  if (s->status != nullptr) s->status->writeFailed = true;
}

// Writes what is pending. Once a write has failed, nothing more is written:
// the archive is lost anyway (see StreamStatus).
void Flush(Stream* s) {
  if (!s->failed && !s->buffer.empty() && !s->file.Write(s->buffer)) MarkWriteFailed(s);
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
    // A new archive holds plaintext until the flow has encrypted it; a link
    // planted at its name in a shared temporary folder must not redirect it.
    stream->file = platform::File::Open(path, platform::OpenMode::kCreatePrivate, true);
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
    const std::int64_t offset = s->position - s->bufferStart;
    if (offset >= 0 && offset < static_cast<std::int64_t>(s->buffer.size())) {
      const std::size_t n = std::min<std::size_t>(s->buffer.size() - offset, size - done);
      std::memcpy(dest + done, s->buffer.data() + offset, n);
      done += n;
      s->position += static_cast<std::int64_t>(n);
      continue;
    }
    if (s->end >= 0 && s->position >= s->end) break;
    if (!s->file.Seek(s->position)) {
      s->failed = true;
      break;
    }
    if (size - done >= kBufferBytes) {
      // Large reads (entry data) bypass the buffer.
      const std::int64_t got = s->file.Read(std::span(dest + done, size - done));
      if (got < 0) s->failed = true;
      if (got == 0) s->end = s->position;
      if (got > 0) {
        done += static_cast<uLong>(got);
        s->position += got;
      }
      break;
    }
    s->buffer.resize(kBufferBytes);
    const std::int64_t got = s->file.Read(s->buffer);
    s->buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    s->bufferStart = s->position;
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
  s->buffer.insert(s->buffer.end(), bytes, bytes + size);
  s->position += static_cast<std::int64_t>(size);
  if (s->buffer.size() >= kBufferBytes) Flush(s);
  return size;
}

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf handle) {
  return static_cast<ZPOS64_T>(static_cast<Stream*>(handle)->position);
}

long ZCALLBACK SeekStream(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
  auto* s = static_cast<Stream*>(handle);
  if (!s->reading) Flush(s);
  std::int64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = s->position;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = s->file.Size();
      break;
    default:
      return -1;
  }
  const std::int64_t target = base + static_cast<std::int64_t>(offset);
  if (base < 0 || target < 0) return -1;
  if (!s->reading && !s->failed && !s->file.Seek(target)) return -1;
  s->position = target;
  return 0;
}

int ZCALLBACK CloseStream(voidpf, voidpf handle) {
  auto* s = static_cast<Stream*>(handle);
  if (!s->reading) Flush(s);
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
