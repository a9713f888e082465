// The streaming pack stream decoder with its buffer sizes open, so that the
// tests and the fuzz targets can shrink them until every code crosses a
// window or read boundary. DecodeStream (pack_stream_io.h) is this decoder
// with the default sizes. Nothing here is exported from the library.
#ifndef TRESOLIN_CIPHERKERN_PACK_STREAM_DECODER_H_
#define TRESOLIN_CIPHERKERN_PACK_STREAM_DECODER_H_

#include <cstddef>
#include <cstdint>

#include "cipherkern/pack_stream_io.h"

namespace cipherkern::pack {

// Output bytes the decoder holds. A quarter of it stays behind as history
// whenever it is handed on, so copies from up to 2 MiB back never read the
// output back; only streams with farther offsets pay for ReadBack.
inline constexpr std::size_t kDecodeWindow = std::size_t{8} << 20;
// Stream bytes asked of StreamInput::Read at a time.
inline constexpr std::size_t kDecodeReadSize = std::size_t{256} << 10;
static_assert(kDecodeWindow + kDecodeReadSize <= kStreamMemoryLimit);

// Smaller sizes are raised to these: a window of at least one word's worth
// of history and room, a read buffer of at least one word.
inline constexpr std::size_t kMinDecodeWindow = 16;
inline constexpr std::size_t kMinDecodeReadSize = 4;

// Output bytes at least between two Progress reports, which come as the
// window is handed on.
inline constexpr std::uint64_t kDecodeProgressStep = std::uint64_t{4} << 20;

struct StreamDecodeBuffers {
  std::size_t window = kDecodeWindow;
  std::size_t readSize = kDecodeReadSize;
};

// DecodeStream with the given buffer sizes: the same bytes and status
// whatever the sizes. Both buffers are allocated once per call; when they
// cannot be had the result is kNoMemory with nothing written.
//
// On failure the output holds every byte decoded before it, which are the
// bytes Decode's written counts, and written is the same; after
// kOutputFailed it holds what it took before refusing. Once a read has
// failed the result is kInputFailed, even if the codes read before it
// ended the stream. Reading stops at the end code, give or take a buffer:
// the bytes after it are not asked for.
[[nodiscard]] DecodeResult DecodeStreamBuffered(StreamInput& stream, DecodeOutput& output,
                                                const Progress& progress,
                                                const StreamDecodeBuffers& buffers);

}  // namespace cipherkern::pack

#endif  // TRESOLIN_CIPHERKERN_PACK_STREAM_DECODER_H_
