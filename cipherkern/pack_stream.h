// Pack stream codec: the LZ77-style compressed form of one entry of the
// engine's pack container. A stream is a 10-byte header ("JC", unpacked
// length, checksum) followed by coded 32-bit words; the layout and the codes
// are in pack_stream_internal.h.
//
// All calls work on caller-owned buffers; the encoder allocates its work
// memory once per call, the decoder none. They keep no state between calls
// and are safe to call from several threads at once.
#ifndef TRESOLIN_CIPHERKERN_PACK_STREAM_H_
#define TRESOLIN_CIPHERKERN_PACK_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace cipherkern {

// Size of the stream header: signature, unpacked length, checksum.
inline constexpr std::size_t kPackHeaderSize = 2 + 4 + 4;

// Compresses input into output with the given window (the engine passes
// 65536; it is raised to at least 1024 and lowered to at most the input
// length) and, when withChecksum, the checksum of the input in the header.
// Returns the stream length (header included), or 0 when the stream would
// not be shorter than the input, does not fit output, the input is longer
// than 2^32 - 1 bytes or the work memory cannot be had. Nothing is written
// past output.size(); on 0 the contents of output are undefined.
// Requires: output.size() >= input.size() for a stream to fit.
[[nodiscard]] std::size_t Pack_Compress(std::span<const std::uint8_t> input,
                                        std::span<std::uint8_t> output, std::uint32_t window,
                                        bool withChecksum);

// Decodes stream into output. Returns the number of bytes written, which is
// the header's unpacked length, or 0 when the stream is damaged in any way:
// no "JC", a code that writes past the unpacked length or copies from
// before the output, index bits outside 1..31, codes running past the last
// whole word, an end before the unpacked length, a checksum (when not 0)
// that differs. A stream of length 0 also returns 0; the header tells the
// length. Never reads or writes outside the two spans, and not past the
// unpacked length in output.
// Requires: output.size() >= the header's unpacked length (else 0).
[[nodiscard]] std::size_t Pack_Decompress(std::span<const std::uint8_t> stream,
                                          std::span<std::uint8_t> output);

// Returns the unpacked length recorded in the header, or 0 when stream is
// shorter than a header or lacks the "JC" signature.
[[nodiscard]] std::uint32_t Pack_UnpackedLength(std::span<const std::uint8_t> stream);

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_PACK_STREAM_H_
