// minizip's file access over platform::File. Reads go through a small buffer:
// minizip reads header fields a byte or two at a time, and platform files are
// unbuffered.
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

constexpr std::size_t kReadAheadBytes = 65536;

struct Stream {
  platform::File file;
  bool reading = false;
  bool failed = false;
  // Read mode only: the logical position and the bytes buffered from
  // bufferStart on.
  std::int64_t position = 0;
  std::int64_t bufferStart = 0;
  std::vector<std::uint8_t> buffer;
};

voidpf ZCALLBACK OpenStream(voidpf, const void* filename, int mode) {
  if (filename == nullptr) return nullptr;
  const std::string path(static_cast<const char*>(filename));
  auto* stream = new Stream;
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ) {
    stream->file = platform::File::Open(path, platform::OpenMode::kRead);
    stream->reading = true;
  } else if ((mode & ZLIB_FILEFUNC_MODE_CREATE) != 0) {
    // A new archive holds plaintext until the flow has encrypted it; a link
    // planted at its name in a shared temporary folder must not redirect it.
    stream->file = platform::File::Open(path, platform::OpenMode::kCreatePrivate, true);
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
    if (!s->file.Seek(s->position)) {
      s->failed = true;
      break;
    }
    if (size - done >= kReadAheadBytes) {
      // Large reads (entry data) bypass the buffer.
      const std::int64_t got = s->file.Read(std::span(dest + done, size - done));
      if (got < 0) s->failed = true;
      if (got > 0) {
        done += static_cast<uLong>(got);
        s->position += got;
      }
      break;
    }
    s->buffer.resize(kReadAheadBytes);
    const std::int64_t got = s->file.Read(s->buffer);
    s->buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    s->bufferStart = s->position;
    if (got < 0) s->failed = true;
    if (got <= 0) break;
  }
  return done;
}

uLong ZCALLBACK WriteStream(voidpf, voidpf handle, const void* data, uLong size) {
  auto* s = static_cast<Stream*>(handle);
  if (s->reading || !s->file.Write(std::span(static_cast<const std::uint8_t*>(data),
                                             static_cast<std::size_t>(size)))) {
    s->failed = true;
    return 0;
  }
  return size;
}

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf handle) {
  auto* s = static_cast<Stream*>(handle);
  const std::int64_t at = s->reading ? s->position : s->file.Position();
  if (at < 0) {
    s->failed = true;
    return static_cast<ZPOS64_T>(-1);
  }
  return static_cast<ZPOS64_T>(at);
}

long ZCALLBACK SeekStream(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
  auto* s = static_cast<Stream*>(handle);
  std::int64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = s->reading ? s->position : s->file.Position();
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = s->file.Size();
      break;
    default:
      return -1;
  }
  const std::int64_t target = base + static_cast<std::int64_t>(offset);
  if (base < 0 || target < 0) return -1;
  if (s->reading) {
    s->position = target;
    return 0;
  }
  return s->file.Seek(target) ? 0 : -1;
}

int ZCALLBACK CloseStream(voidpf, voidpf handle) {
  auto* s = static_cast<Stream*>(handle);
  // A delayed write error shows only here; minizip turns it into its result.
  const bool closed = s->file.Close();
  const bool failed = s->failed;
  delete s;
  return closed && !failed ? 0 : -1;
}

int ZCALLBACK StreamError(voidpf, voidpf handle) {
  return static_cast<Stream*>(handle)->failed ? 1 : 0;
}

}  // namespace

zlib_filefunc64_def PlatformFileFunctions() {
  zlib_filefunc64_def functions{};
  functions.zopen64_file = OpenStream;
  functions.zread_file = ReadStream;
  functions.zwrite_file = WriteStream;
  functions.ztell64_file = TellStream;
  functions.zseek64_file = SeekStream;
  functions.zclose_file = CloseStream;
  functions.zerror_file = StreamError;
  functions.opaque = nullptr;
  return functions;
}

}  // namespace archive::internal
