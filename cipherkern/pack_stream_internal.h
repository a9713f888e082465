// Pack stream internals shared by the encoder, the decoder, their tests and
// the fuzz targets: the stream's format constants and the codec entry points
// that report why they failed. Nothing here is exported from the library.
//
// Stream layout, numbers little-endian:
//
//   signature        2 bytes   "JC"
//   unpacked length  4 bytes
//   checksum         4 bytes   of the unpacked data; 0 = none computed
//   coded data       32-bit little-endian words; bits are taken from each word
//                    most significant first, a k-bit field most significant
//                    bit first
//
// Codes, prefix bits first ("gamma" is the number 1 followed by pairs of a
// data bit and a continuation bit, the pair list ending with a 0 continuation;
// every gamma number is 2 or more):
//
//   1    literal-width bits x                literal (x + literal base) mod 256
//   01   gamma 2, gamma n                    copy n from the last offset
//   01   gamma g >= 3, index-bits bits low,  long match: offset (g - 3) << index
//        gamma n                             bits | low, length n + bonus(offset)
//   000  7 bits o != 0, 2 bits m             short match: offset o, length m + 2
//   000  7 bits 0, 2 bits 0                  end of stream
//   000  7 bits 0, 2 bits m = 1..3, m + 3    index bits = b
//        bits b
//   001  4 bits 1                            the byte 0x00
//   001  4 bits n = 2..15                    copy 1 byte from offset n - 1;
//                                            last offset unchanged
//   001  4 bits 0, 1, 256 x 8 bits, c        raw block; c = 1: another follows
//   001  4 bits 0, 0, w, (w = 0) 8 bits q    literal width 7 + w, base q (w = 0)
//                                            or 0 (w = 1)
#ifndef TRESOLIN_CIPHERKERN_PACK_STREAM_INTERNAL_H_
#define TRESOLIN_CIPHERKERN_PACK_STREAM_INTERNAL_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "cipherkern/pack_stream.h"

namespace cipherkern::pack {

// Header fields.
inline constexpr std::size_t kSignatureOffset = 0;
inline constexpr std::size_t kLengthOffset = 2;
inline constexpr std::size_t kChecksumOffset = 2 + 4;
inline constexpr std::uint8_t kSignature[2] = {'J', 'C'};
static_assert(kChecksumOffset + 4 == kPackHeaderSize);

// The header's length field is 32 bits: longer inputs cannot be packed.
inline constexpr std::uint64_t kMaxUnpackedLength = 0xffffffffu;

// Coder state at the start of every stream.
inline constexpr std::uint32_t kInitialLastOffset = 1;
inline constexpr unsigned kInitialIndexBits = 8;
// Index bits the decoder accepts; 0 would leave offsets without a low part
// and anything wider no longer fits a 32-bit offset.
inline constexpr unsigned kMinIndexBits = 1;
inline constexpr unsigned kMaxIndexBits = 31;

// Codes with a fixed bit pattern, written as (pattern, bit count).
inline constexpr std::uint32_t kZeroByteCode = 0b001'0001;  // 7 bits
inline constexpr unsigned kZeroByteBits = 7;
inline constexpr std::uint32_t kNearCopyPrefix = 0b001;       // then 4 bits: distance + 1
inline constexpr unsigned kNearCopyReach = 14;                // farthest distance, 4-bit field 15
inline constexpr std::uint32_t kRawBlockCode = 0b001'0000'1;  // 8 bits
inline constexpr unsigned kRawBlockCodeBits = 8;
inline constexpr std::size_t kRawBlockSize = 256;
inline constexpr std::uint32_t kFormatCode = 0b001'0000'0;  // 8 bits, then w [, 8 bits q]
inline constexpr unsigned kFormatCodeBits = 8;
inline constexpr std::uint32_t kEndCode = 0b000'0000000'00;  // 12 bits
inline constexpr unsigned kEndCodeBits = 12;
inline constexpr std::uint32_t kIndexBitsCode = 0b000'0000000'01;  // 12 bits, then 4 bits
inline constexpr unsigned kIndexBitsCodeBits = 12;
inline constexpr unsigned kShortMatchMaxOffset = 127;
inline constexpr std::uint32_t kShortMatchMinLength = 2;
inline constexpr std::uint32_t kShortMatchMaxLength = 5;

// Length bonus of a long match, by its offset: the decoder adds it to the
// coded length.
constexpr std::uint32_t LengthBonus(std::uint64_t offset) {
  // Counted, not branched: the encoder asks for every offset it rates.
  const std::uint32_t far = static_cast<std::uint32_t>(offset >= 639) +
                            static_cast<std::uint32_t>(offset >= 14335) +
                            static_cast<std::uint32_t>(offset >= 65536);
  return offset < 128 ? 4 : far;
}

// The encoder's tuning, part of the format in the sense that the engine's
// streams come out byte for byte the same only with these values.
inline constexpr std::uint32_t kMinWindow = 1024;
inline constexpr std::size_t kLiteralFormatSpan = 1024;  // bytes a format is chosen over
inline constexpr std::uint32_t kIndexBits9Above = 49152;
inline constexpr std::uint32_t kIndexBits10Above = 65536;
inline constexpr std::size_t kHeadTableSize = 65536;  // one entry per two-byte value
inline constexpr std::uint32_t kNextPositionPenalty = 3;
inline constexpr std::uint32_t kDistanceOneStopLength = 64;  // search ends above this

// Returns the checksum of data: over its 32-bit little-endian words w,
// c = (c + w) mod 2^32, then c ^= (2w + 1 + (w >> 31)) mod 2^32. When the
// length is not a multiple of 4 the last word is the data's last four bytes,
// overlapping the one before. Data shorter than 4 bytes has checksum 0.
[[nodiscard]] std::uint32_t Checksum(std::span<const std::uint8_t> data);

// The same checksum over data that comes in pieces: Add every piece in
// order, then Value() is Checksum() of them all.
class ChecksumAccumulator {
 public:
  void Add(std::span<const std::uint8_t> piece) {
    std::size_t i = 0;
    const std::size_t n = piece.size();
    // Byte by byte up to a word boundary of the whole data, then whole words.
    for (; i < n && count_ % 4 != 0; ++i) AddByte(piece[i]);
    if (i + 4 <= n) {
      // In locals, so that the loop keeps them in registers.
      std::uint32_t sum = sum_;
      std::uint32_t word = last_;
      const std::size_t words = (n - i) / 4;
      for (std::size_t k = 0; k < words; ++k, i += 4) {
        std::memcpy(&word, piece.data() + i, 4);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        sum += word;
        sum ^= std::rotl(word, 1) + 1;
      }
      sum_ = sum;
      last_ = word;
      count_ += 4 * words;
    }
    for (; i < n; ++i) AddByte(piece[i]);
  }
  std::uint32_t Value() const {
    if (count_ < 4) return 0;
    std::uint32_t c = sum_;
    if (count_ % 4 != 0) {
      c += last_;
      c ^= ((last_ << 1) | (last_ >> 31)) + 1;
    }
    return c;
  }

 private:
  void AddByte(std::uint8_t b) {
    // The last four bytes seen, for the overlapping final word.
    last_ = (last_ >> 8) | (std::uint32_t{b} << 24);
    if (++count_ % 4 == 0) Mix(last_);
  }
  void Mix(std::uint32_t w) {
    sum_ += w;
    sum_ ^= ((w << 1) | (w >> 31)) + 1;  // (2w + 1 + (w >> 31)) mod 2^32
  }

  std::uint64_t count_ = 0;
  std::uint32_t last_ = 0;
  std::uint32_t sum_ = 0;
};

enum class DecodeStatus : std::uint8_t {
  kOk,
  kNoHeader,          // shorter than a header or no "JC"
  kOutputTooSmall,    // output cannot hold the unpacked length
  kOutOfWords,        // a code runs past the last whole word
  kNoLiteralFormat,   // a literal comes before any literal-format code
  kPastEnd,           // a code would write past the unpacked length
  kBadOffset,         // a copy from offset 0 or from before the output
  kBadIndexBits,      // index bits set outside kMinIndexBits..kMaxIndexBits
  kGammaTooLong,      // a gamma number above 2^32
  kEndsEarly,         // the end code comes before the unpacked length
  kChecksumMismatch,  // the header's checksum is not 0 and differs
  kInputFailed,       // streaming: the stream could not be read
  kOutputFailed,      // streaming: the output could not be written or read back
  kNoMemory,          // streaming: the window could not be allocated
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kOk;
  std::size_t written = 0;  // bytes of output written, also on failure

  bool ok() const { return status == DecodeStatus::kOk; }
};

// Decodes stream into output. On success written is the header's unpacked
// length. Never reads or writes outside the two spans, whatever the bytes.
[[nodiscard]] DecodeResult Decode(std::span<const std::uint8_t> stream,
                                  std::span<std::uint8_t> output);

enum class EncodeStatus : std::uint8_t {
  kOk,
  kInputTooLong,  // above kMaxUnpackedLength
  kGrew,          // the output grew past the growth limit
  kOutputFull,    // the stream does not fit output
  kNoMemory,      // work memory could not be allocated
  kInputFailed,   // streaming: the input could not be read
  kOutputFailed,  // streaming: the sink refused bytes
};

struct EncodeResult {
  EncodeStatus status = EncodeStatus::kOk;
  std::size_t size = 0;  // stream length, header included, when ok

  bool ok() const { return status == EncodeStatus::kOk; }
};

enum class SearchMode : std::uint8_t {
  kFast,   // skips the positions that cannot change a search's outcome
  kPlain,  // walks every position of the two-byte chain: the reference
};

// Writes the stream of input into output. The encode fails with kGrew as soon
// as, after a code, the words written (header included) pass growthLimit;
// Pack_Compress passes the input length. A larger limit gives the same stream
// wherever the smaller one does not fail. Both modes give the same stream.
[[nodiscard]] EncodeResult Encode(std::span<const std::uint8_t> input,
                                  std::span<std::uint8_t> output, std::uint32_t window,
                                  bool withChecksum, std::size_t growthLimit,
                                  SearchMode mode = SearchMode::kFast);

// Returns an output size that Encode with no growth limit always fits into.
[[nodiscard]] constexpr std::size_t EncodeBound(std::size_t inputSize) {
  // Raw blocks cap the growth at a few bits per 256 input bytes; the rest
  // covers the codes after the last checkpoint and the end code.
  return kPackHeaderSize + inputSize + inputSize / 32 + 1024;
}

}  // namespace cipherkern::pack

#endif  // TRESOLIN_CIPHERKERN_PACK_STREAM_INTERNAL_H_
