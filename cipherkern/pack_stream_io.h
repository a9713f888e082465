// Streaming forms of the pack stream codec, for files of any length up to the
// header's 32-bit limit in bounded memory. They write and read exactly the
// streams of Encode and Decode (pack_stream_internal.h): the same input gives
// the same bytes, the same stream the same output, the same damage the same
// failure. Nothing here is exported from the library.
//
// The codec talks to files only through the small interfaces below, which
// the engine implements over its descriptors and the tests over memory.
// Every interface reports failure as false (or -1) and keeps its cause
// (errno) to itself; the codec passes such a failure on as kInputFailed or
// kOutputFailed and stops.
#ifndef TRESOLIN_CIPHERKERN_PACK_STREAM_IO_H_
#define TRESOLIN_CIPHERKERN_PACK_STREAM_IO_H_

#include <cstddef>
#include <cstdint>

#include "cipherkern/pack_stream_internal.h"

namespace cipherkern::pack {

// The most memory either streaming codec holds at once, whatever the input
// length: windows, work tables and buffers together.
inline constexpr std::size_t kStreamMemoryLimit = std::size_t{24} << 20;

// Input of known length with positional reads: the file being packed.
// ReadAt may be called from several threads at once.
class EncodeInput {
 public:
  virtual ~EncodeInput() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads exactly n bytes from offset into data. Returns false when they
  // cannot be had (read error, file shorter than Size()).
  [[nodiscard]] virtual bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t n) = 0;
};

// Output written front to back.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends n bytes. Returns false when they could not all be written.
  [[nodiscard]] virtual bool Write(const std::uint8_t* data, std::size_t n) = 0;
};

// Output that can read back what it already holds: the decoder's restored
// file, whose far back references lie beyond the decoder's window.
class DecodeOutput : public ByteSink {
 public:
  // Reads n bytes from offset, all of them already written, into data.
  [[nodiscard]] virtual bool ReadBack(std::uint64_t offset, std::uint8_t* data, std::size_t n) = 0;
};

// A stream read front to back, whose end is the end of the stream.
class StreamInput {
 public:
  virtual ~StreamInput() = default;
  // Reads up to n (> 0) bytes into data. Returns how many were read, 0 at
  // the end of the stream, -1 on failure.
  [[nodiscard]] virtual std::int64_t Read(std::uint8_t* data, std::size_t n) = 0;
};

// Called now and then, on the thread that called the codec, with how far it
// got: the encoder counts input bytes, the decoder output bytes.
struct Progress {
  void (*report)(void* context, std::uint64_t done) = nullptr;
  void* context = nullptr;

  void operator()(std::uint64_t done) const {
    if (report != nullptr) report(context, done);
  }
};

struct StreamEncodeOptions {
  std::uint32_t window = 65536;  // as Encode: raised to 1024, lowered to the length
  bool withChecksum = true;
  // As Encode: the encode fails with kGrew once the stream passes this many
  // bytes. The engine passes the input length.
  std::uint64_t growthLimit = ~std::uint64_t{0};
  SearchMode mode = SearchMode::kFast;
  Progress progress;
};

struct StreamEncodeResult {
  EncodeStatus status = EncodeStatus::kOk;
  std::uint64_t size = 0;  // stream bytes written to the sink, header included
  // The header's checksum field. The header goes to the sink first, before
  // the checksum is known, with 0 in that field; when withChecksum the
  // caller writes these 4 bytes, little-endian, at kChecksumOffset of the
  // stream.
  std::uint32_t checksum = 0;

  bool ok() const { return status == EncodeStatus::kOk; }
};

// Writes the stream of input's bytes to sink, exactly the stream that Encode
// gives for them. On failure the sink holds an unfinished stream; the caller
// discards it.
[[nodiscard]] StreamEncodeResult EncodeStream(EncodeInput& input, ByteSink& sink,
                                              const StreamEncodeOptions& options);

// Decodes the stream read from stream into output: exactly the bytes, and
// the status, that Decode gives for the same stream with an output of the
// header's unpacked length (kOutputTooSmall never comes). written counts
// the bytes passed to output, also on failure.
[[nodiscard]] DecodeResult DecodeStream(StreamInput& stream, DecodeOutput& output,
                                        const Progress& progress = {});

}  // namespace cipherkern::pack

#endif  // TRESOLIN_CIPHERKERN_PACK_STREAM_IO_H_
