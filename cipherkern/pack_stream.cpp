// Pack stream decoder, checksum and the public entry points. The encoder is
// in pack_stream_encoder.cpp.
//
// Decode and DecodeStream run one decoder core, a template over where the
// coded words come from and where the bytes go, so that the two cannot
// disagree on any stream, valid or damaged. Decode writes straight into the
// caller's buffer; DecodeStream writes into a window that it hands on to
// the output whenever it fills.
#include "cipherkern/pack_stream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "cipherkern/pack_stream_decoder.h"
#include "cipherkern/pack_stream_internal.h"
#include "cipherkern/pack_stream_io.h"

namespace cipherkern {
namespace pack {
namespace {

// Code fields without a name in pack_stream_internal.h. The decoder tells the
// codes apart by their first three bits: 1xx literal, 01x repeat or long
// match, 000 short match and the codes sharing its layout, 001 the byte
// codes (zero byte, near copy, raw blocks, literal format).
constexpr unsigned kPrefixBits = 3;
constexpr std::uint32_t kLiteralPrefixMin = 0b100;
constexpr std::uint32_t kMatchPrefixMin = 0b010;
constexpr std::uint32_t kShortMatchPrefix = 0b000;
constexpr unsigned kLiteralPrefixBits = 1;
constexpr unsigned kMatchPrefixBits = 2;
constexpr unsigned kShortOffsetBits = 7;
constexpr unsigned kShortLengthBits = 2;
constexpr unsigned kNearFieldBits = 4;
constexpr std::uint32_t kNearFieldMask = (1u << kNearFieldBits) - 1;
constexpr std::uint32_t kZeroByteField = kZeroByteCode & kNearFieldMask;
// The index-bits code's m picks a field of m + 3 bits.
constexpr unsigned kIndexBitsFieldBase = 3;
// Gamma 2 after the match prefix is a repeat; 3 and up carry a long match's
// high offset part plus 3.
constexpr std::uint64_t kRepeatGamma = 2;
constexpr std::uint64_t kLongMatchGammaBase = 3;
// The flag bits after a byte-code field 0 (raw blocks or a format), after a
// raw block (another follows) and after a format code (8-bit literals).
constexpr unsigned kFlagBits = 1;
// Literal widths and the 7-bit form's base field.
constexpr unsigned kWideLiteralBits = 8;
constexpr unsigned kNarrowLiteralBits = 7;
constexpr unsigned kLiteralBaseBits = 8;

static_assert(kEndCodeBits == kPrefixBits + kShortOffsetBits + kShortLengthBits);
static_assert(kIndexBitsCodeBits == kEndCodeBits);
static_assert(kShortMatchMaxOffset == (1u << kShortOffsetBits) - 1);
static_assert(kShortMatchMaxLength == kShortMatchMinLength + (1u << kShortLengthBits) - 1);
static_assert(kZeroByteBits == kPrefixBits + kNearFieldBits);
static_assert(kZeroByteCode >> kNearFieldBits == kNearCopyPrefix);
static_assert(kNearCopyReach == kNearFieldMask - 1);
static_assert(kRawBlockCodeBits == kZeroByteBits + 1 && kFormatCodeBits == kRawBlockCodeBits);
static_assert(kRawBlockSize % 4 == 0);

std::uint32_t LoadLe32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

void StoreBe32(std::uint8_t* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

void MixChecksum(std::uint32_t& c, std::uint32_t w) {
  c += w;
  c ^= std::rotl(w, 1) + 1;  // (2w + 1 + (w >> 31)) mod 2^32
}

// Returns c with the words at p mixed in.
std::uint32_t MixWords(std::uint32_t c, const std::uint8_t* p, std::size_t words) {
  for (std::size_t i = 0; i < words; ++i) MixChecksum(c, LoadLe32(p + 4 * i));
  return c;
}

// Gamma numbers above this only come from damage: no length or offset of a
// stream with a 32-bit unpacked length needs more.
constexpr std::uint64_t kMaxGamma = std::uint64_t{1} << 32;

// Gamma numbers of up to four pairs, by the next 8 bits: most lengths and
// offsets of a stream. bits 0: the number is longer.
struct GammaEntry {
  std::uint8_t value;
  std::uint8_t bits;
};
constexpr unsigned kGammaTableBits = 8;
constexpr std::array<GammaEntry, 1u << kGammaTableBits> kGammaTable = [] {
  std::array<GammaEntry, 1u << kGammaTableBits> table{};
  for (unsigned x = 0; x < table.size(); ++x) {
    unsigned v = 1;
    for (unsigned pair = 0; pair < 4; ++pair) {
      v = 2 * v + ((x >> (7 - 2 * pair)) & 1);
      if (((x >> (6 - 2 * pair)) & 1) == 0) {
        table[x] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(2 * pair + 2)};
        break;
      }
    }
  }
  return table;
}();

// Zero words that stand in for the words past the end of a stream; enough
// of them that a raw block read past the end takes its usual path.
constexpr std::size_t kZeroWordCount = kRawBlockSize / 4 + 1;
alignas(4) constexpr std::uint8_t kZeroWords[4 * kZeroWordCount] = {};

// Coded words of a stream that is all in memory: one run.
class SpanWords {
 public:
  explicit SpanWords(std::span<const std::uint8_t> words) : words_(words) {}

  // Returns the next run of whole words, empty once there are no more.
  std::span<const std::uint8_t> Next() {
    const std::span<const std::uint8_t> run = words_.first(words_.size() / 4 * 4);
    words_ = {};
    return run;
  }
  static constexpr bool Failed() { return false; }

 private:
  std::span<const std::uint8_t> words_;
};

// Coded words pulled from a StreamInput through a buffer. Only when Read
// reports the end does the last word become known, so the bytes of a word
// cut off by a read wait at the front of the buffer for the next one.
class StreamWords {
 public:
  StreamWords(StreamInput& input, std::uint8_t* buffer, std::size_t size)
      : input_(input), buffer_(buffer), size_(size) {}

  std::span<const std::uint8_t> Next() {
    if (ended_) return {};
    std::memmove(buffer_, buffer_ + handedOut_, cutOff_);
    std::size_t have = cutOff_;
    while (have < size_) {
      const std::size_t want = size_ - have;
      const std::int64_t n = input_.Read(buffer_ + have, want);
      if (n < 0 || static_cast<std::uint64_t>(n) > want) {
        // A read that claims more than it was given room for is as broken
        // as one that fails.
        failed_ = true;
        ended_ = true;
        return {};
      }
      if (n == 0) {
        ended_ = true;
        break;
      }
      have += static_cast<std::size_t>(n);
    }
    handedOut_ = have / 4 * 4;
    cutOff_ = have - handedOut_;
    return {buffer_, handedOut_};
  }
  bool Failed() const { return failed_; }

 private:
  StreamInput& input_;
  std::uint8_t* buffer_;
  std::size_t size_;
  std::size_t handedOut_ = 0;
  std::size_t cutOff_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// Where a BitReader stands in its source's runs of words.
struct WordRun {
  static constexpr std::uint64_t kUnknownLength = ~std::uint64_t{0};

  const std::uint8_t* words = kZeroWords;
  std::size_t count = 0;     // words of the current run
  std::size_t next = 0;      // next word of the current run to load
  std::uint64_t before = 0;  // words of the runs before it
  std::uint64_t streamBits = kUnknownLength;
};

// Returns the run after run: the source's next one, or zero words for good.
// Out of line and by value, so that the reader calling it stays in
// registers: a reader whose address escaped would be reloaded after every
// byte the decoder stores.
template <typename Words>
[[gnu::noinline]] WordRun NextRun(Words& source, WordRun run) {
  run.before += run.count;
  run.next = 0;
  const std::span<const std::uint8_t> words = source.Next();
  if (!words.empty()) {
    run.words = words.data();
    run.count = words.size() / 4;
    return run;
  }
  if (run.streamBits == WordRun::kUnknownLength) run.streamBits = run.before * 32;
  run.words = kZeroWords;
  run.count = kZeroWordCount;
  return run;
}

// Reads the coded words most significant bit first. Past the last whole word
// it feeds zero bits instead of failing at once: zero bits decode as the end
// code within 12 bits, and Overran() then tells the truth. That keeps the
// hot path free of end checks.
//
// The decoder spends its time in these calls; they are forced inline for the
// same reason NextRun is kept out of line.
template <typename Words>
class BitReader {
 public:
  explicit BitReader(Words& source) : source_(source) {}

  // Makes at least 33 bits available.
  [[gnu::always_inline]] void Refill() {
    if (avail_ <= 32) {
      if (run_.next == run_.count) [[unlikely]]
        run_ = NextRun(source_, run_);
      const std::uint64_t w = LoadLe32(run_.words + 4 * run_.next);
      ++run_.next;
      bits_ |= w << (32 - avail_);
      avail_ += 32;
    }
  }

  bool Overran() const { return (run_.before + run_.next) * 32 - avail_ > run_.streamBits; }

  // Requires: 1 <= k <= available bits (33 after Refill).
  [[gnu::always_inline]] std::uint32_t Peek(unsigned k) const {
    return static_cast<std::uint32_t>(bits_ >> (64 - k));
  }
  [[gnu::always_inline]] void Skip(unsigned k) {
    bits_ <<= k;
    avail_ -= k;
  }
  [[gnu::always_inline]] std::uint32_t Read(unsigned k) {
    std::uint32_t v = Peek(k);
    Skip(k);
    return v;
  }

  // Reads 256 fields of 8 bits into out. A raw block spans 64 words at a
  // fixed bit offset, so each 4 bytes come from two words by one shift.
  [[gnu::always_inline]] void ReadRawBlock(std::uint8_t* out) {
    constexpr std::size_t kWords = kRawBlockSize / 4;
    // The bits at hand may come from the run before this one; then, and
    // when the block runs past this run, bit by bit.
    const std::size_t runBits = run_.next * 32;
    if (runBits < avail_ || (runBits - avail_) / 32 + kWords + 1 > run_.count) {
      for (std::size_t i = 0; i < kRawBlockSize; i += 4) {
        Refill();
        StoreBe32(out + i, Read(32));
      }
      return;
    }
    const std::size_t bit = runBits - avail_;
    const std::size_t word = bit / 32;
    const unsigned shift = bit % 32;
    const std::uint8_t* w = run_.words + 4 * word;
    if (shift == 0) {
      for (std::size_t i = 0; i < kWords; ++i) StoreBe32(out + 4 * i, LoadLe32(w + 4 * i));
    } else {
      std::uint32_t prev = LoadLe32(w);
      for (std::size_t i = 0; i < kWords; ++i) {
        const std::uint32_t next = LoadLe32(w + 4 * (i + 1));
        StoreBe32(out + 4 * i, (prev << shift) | (next >> (32 - shift)));
        prev = next;
      }
    }
    // Continue right after the block.
    run_.next = word + kWords;
    bits_ = 0;
    avail_ = 0;
    Refill();
    Skip(shift);
  }

  // Reads a gamma number. Returns 0 when it exceeds kMaxGamma.
  [[gnu::always_inline]] std::uint64_t ReadGamma() {
    Refill();
    const GammaEntry e = kGammaTable[Peek(kGammaTableBits)];
    if (e.bits != 0) {
      Skip(e.bits);
      return e.value;
    }
    return ReadLongGamma();
  }

 private:
  [[gnu::always_inline]] std::uint64_t ReadLongGamma() {
    std::uint64_t v = 1;
    for (;;) {
      Refill();
      // Up to 16 pairs from the bits at hand before the next refill.
      for (int pair = 0; pair < 16; ++pair) {
        std::uint32_t two = Read(2);
        v = 2 * v + (two >> 1);
        if ((two & 1) == 0) return v;
        if (v > kMaxGamma) return 0;
      }
    }
  }

  Words& source_;
  WordRun run_;
  std::uint64_t bits_ = 0;  // next bit in bit 63
  unsigned avail_ = 0;
};

// Copies n bytes from offset bytes back, byte by byte semantics: with an
// offset below n the copy repeats its own output.
// Requires: 1 <= offset <= pos, pos + n <= outEnd.
[[gnu::always_inline]] inline void CopyMatch(std::uint8_t* out, std::size_t pos, std::size_t offset,
                                             std::size_t n, std::size_t outEnd) {
  std::uint8_t* dst = out + pos;
  const std::uint8_t* src = dst - offset;
  if (offset >= 8 && pos + n + 8 <= outEnd) {
    // 8-byte steps never read bytes this copy has yet to write; they may
    // spill up to 7 bytes past the match, which later codes overwrite.
    for (std::size_t i = 0; i < n; i += 8) std::memcpy(dst + i, src + i, 8);
    return;
  }
  if (offset == 1) {
    std::memset(dst, *src, n);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
}

// Where the decoder core stands in its output buffer after the buffer moved
// on: the next byte at, the first byte it may not write at stop, and the
// stream position of the buffer's first byte.
struct BufferState {
  DecodeStatus status = DecodeStatus::kOk;
  std::size_t at = 0;
  std::size_t stop = 0;
  std::uint64_t base = 0;
};

// Output of Decode: the caller's buffer, cut to the unpacked length.
class WholeOutput {
 public:
  static constexpr bool kMovesOn = false;

  WholeOutput(std::span<std::uint8_t> output, std::uint32_t checksum)
      : output_(output), checksum_(checksum) {}

  std::uint8_t* Buffer() const { return output_.data(); }

  DecodeResult Fail(DecodeStatus status, std::size_t at) const { return {status, at}; }
  DecodeResult Finish(std::size_t at) const {
    if (checksum_ != 0 && Checksum(output_) != checksum_) {
      return {DecodeStatus::kChecksumMismatch, at};
    }
    return {DecodeStatus::kOk, at};
  }

  // Never called: the buffer holds the whole unpacked length.
  BufferState MoveOn(std::size_t at) const { return {DecodeStatus::kPastEnd, at, at, 0}; }
  BufferState CopyFar(std::uint64_t, std::uint64_t, std::size_t at) const { return MoveOn(at); }
  BufferState Put(const std::uint8_t*, std::size_t, std::size_t at) const { return MoveOn(at); }

 private:
  std::span<std::uint8_t> output_;
  std::uint32_t checksum_;
};

// Output of DecodeStream: a window of the unpacked data, handed on to a
// DecodeOutput each time it fills, keeping its last quarter as history for
// the copies that follow. Copies from farther back read the output back.
class WindowOutput {
 public:
  static constexpr bool kMovesOn = true;

  WindowOutput(std::uint8_t* window, std::size_t size, DecodeOutput& output, std::uint64_t length,
               std::uint32_t checksum, const Progress& progress)
      : window_(window),
        size_(size),
        history_(size / 4),
        output_(output),
        length_(length),
        checksum_(checksum),
        progress_(progress) {}

  std::uint8_t* Buffer() const { return window_; }
  std::size_t FirstStop() const { return StopFor(0); }

  DecodeResult Fail(DecodeStatus status, std::size_t at) {
    // What is decoded goes on, so the output shows how far the stream made
    // sense; an output that refused bytes is not asked again.
    if (status != DecodeStatus::kOutputFailed) (void)HandOn(at);
    return {status, static_cast<std::size_t>(written_)};
  }
  DecodeResult Finish(std::size_t at) {
    if (!HandOn(at)) return {DecodeStatus::kOutputFailed, static_cast<std::size_t>(written_)};
    if (checksum_ != 0 && summed_.Value() != checksum_) {
      return {DecodeStatus::kChecksumMismatch, static_cast<std::size_t>(written_)};
    }
    return {DecodeStatus::kOk, static_cast<std::size_t>(written_)};
  }

  // Hands the window on and keeps its history. Requires: at == the stop the
  // core was given, below the unpacked length.
  BufferState MoveOn(std::size_t at) {
    if (!HandOn(at)) return {DecodeStatus::kOutputFailed, at, at, base_};
    const std::size_t keep = std::min(at, history_);
    std::memmove(window_, window_ + at - keep, keep);
    base_ += at - keep;
    handedOn_ = keep;
    return {DecodeStatus::kOk, keep, StopFor(base_), base_};
  }

  // Copies n bytes from offset back, crossing window moves, reading back
  // whatever the window no longer holds. Requires: offset <= the stream
  // position, n <= the bytes left to the unpacked length.
  BufferState CopyFar(std::uint64_t offset, std::uint64_t n, std::size_t at) {
    std::size_t stop = StopFor(base_);
    while (n > 0) {
      if (at == stop) {
        const BufferState moved = MoveOn(at);
        if (moved.status != DecodeStatus::kOk) return moved;
        at = moved.at;
        stop = moved.stop;
      }
      std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, stop - at));
      if (offset <= at) {
        CopyMatch(window_, at, static_cast<std::size_t>(offset), step, size_);
      } else {
        // Everything before the window has been handed on, so the source
        // is in the output up to where it enters the window.
        step = static_cast<std::size_t>(std::min<std::uint64_t>(step, offset - at));
        if (!output_.ReadBack(base_ + at - offset, window_ + at, step)) {
          return {DecodeStatus::kOutputFailed, at, stop, base_};
        }
      }
      at += step;
      n -= step;
    }
    return {DecodeStatus::kOk, at, stop, base_};
  }

  // Appends n decoded bytes. Requires: n <= the bytes left to the unpacked
  // length.
  BufferState Put(const std::uint8_t* data, std::size_t n, std::size_t at) {
    std::size_t stop = StopFor(base_);
    while (n > 0) {
      if (at == stop) {
        const BufferState moved = MoveOn(at);
        if (moved.status != DecodeStatus::kOk) return moved;
        at = moved.at;
        stop = moved.stop;
      }
      const std::size_t step = std::min(n, stop - at);
      std::memcpy(window_ + at, data, step);
      data += step;
      at += step;
      n -= step;
    }
    return {DecodeStatus::kOk, at, stop, base_};
  }

 private:
  std::size_t StopFor(std::uint64_t base) const {
    return static_cast<std::size_t>(std::min<std::uint64_t>(size_, length_ - base));
  }

  // Writes the window's bytes up to at that the output does not have yet.
  bool HandOn(std::size_t at) {
    const std::size_t n = at - handedOn_;
    if (n == 0) return true;
    const std::uint8_t* data = window_ + handedOn_;
    if (!output_.Write(data, n)) return false;
    if (checksum_ != 0) summed_.Add({data, n});
    written_ += n;
    handedOn_ = at;
    if (written_ >= nextReport_) {
      progress_(written_);
      nextReport_ = (written_ / kDecodeProgressStep + 1) * kDecodeProgressStep;
    }
    return true;
  }

  std::uint8_t* window_;
  std::size_t size_;
  std::size_t history_;
  DecodeOutput& output_;
  std::uint64_t length_;
  std::uint32_t checksum_;
  const Progress& progress_;
  ChecksumAccumulator summed_;  // of every byte handed on
  std::uint64_t base_ = 0;      // stream position of window_[0]
  std::size_t handedOn_ = 0;    // window bytes before this are in the output
  std::uint64_t written_ = 0;   // bytes the output has taken
  std::uint64_t nextReport_ = kDecodeProgressStep;
};

// The decoder proper, from the first coded word to the checks after the end
// code. Bytes go to sink's buffer at local positions; the sink is asked to
// move on only when a code does not fit before stop, which for Decode is
// the unpacked length and so is damage.
template <typename Words, typename Sink>
DecodeResult DecodeCodes(Words& words, Sink& sink, std::uint64_t length, std::size_t firstStop) {
  BitReader<Words> in(words);
  std::uint8_t* const out = sink.Buffer();
  std::size_t at = 0;
  std::size_t stop = firstStop;
  std::uint64_t base = 0;  // stream position of out[0]; always 0 for Decode
  std::uint64_t lastOffset = kInitialLastOffset;
  unsigned indexBits = kInitialIndexBits;
  // 0 until the first literal-format code. Reading: a literal before it is
  // taken as damage, not as a literal of some default width, because the
  // encoder always starts with that code.
  unsigned literalWidth = 0;
  std::uint8_t literalBase = 0;

  // Takes at by value: a helper that held it by reference out of line would
  // keep it out of a register. The helpers that change at, stop and base are
  // forced inline for the same reason.
  auto fail = [&words, &sink](DecodeStatus status, std::size_t at) {
    // Once a read has failed, the bits after it were stand-in zeros, so
    // whatever went wrong is the input's fault.
    if (words.Failed()) status = DecodeStatus::kInputFailed;
    return sink.Fail(status, at);
  };
  auto moveTo = [&](const BufferState& state) __attribute__((always_inline)) {
    at = state.at;
    stop = state.stop;
    base = state.base;
    return state.status;
  };
  // Makes room for one byte. Requires: at == stop.
  auto room = [&]() __attribute__((always_inline)) {
    if constexpr (Sink::kMovesOn) {
      if (base + at != length) return moveTo(sink.MoveOn(at));
    }
    return DecodeStatus::kPastEnd;
  };
  // Checks and performs one copy.
  auto copy = [&](std::uint64_t offset, std::uint64_t n) __attribute__((always_inline)) {
    // Offset 1..at and room for n: the source and the copy are in the
    // buffer. Anything else is checked in Decode's order.
    if (offset - 1 < at && n <= stop - at) [[likely]] {
      CopyMatch(out, at, static_cast<std::size_t>(offset), static_cast<std::size_t>(n), stop);
      at += static_cast<std::size_t>(n);
      return DecodeStatus::kOk;
    }
    if (offset == 0 || offset > base + at) return DecodeStatus::kBadOffset;
    if (n > length - (base + at)) return DecodeStatus::kPastEnd;
    if constexpr (Sink::kMovesOn) return moveTo(sink.CopyFar(offset, n, at));
    return DecodeStatus::kPastEnd;  // not reached: Decode's buffer holds everything
  };

  for (;;) {
    in.Refill();
    const std::uint32_t prefix = in.Peek(kPrefixBits);
    if (prefix >= kLiteralPrefixMin) {  // usually several literals in a row
      if (literalWidth == 0) return fail(DecodeStatus::kNoLiteralFormat, at);
      const unsigned codeBits = 1 + literalWidth;
      const std::uint32_t mask = (1u << literalWidth) - 1;
      do {
        if (at == stop) {
          const DecodeStatus s = room();
          if (s != DecodeStatus::kOk) return fail(s, at);
        }
        out[at++] = static_cast<std::uint8_t>((in.Read(codeBits) & mask) + literalBase);
        in.Refill();
      } while (in.Peek(kLiteralPrefixBits) == 1);
      continue;
    }
    if (prefix >= kMatchPrefixMin) {  // repeat or long match
      in.Skip(kMatchPrefixBits);
      const std::uint64_t g = in.ReadGamma();
      if (g == 0) return fail(DecodeStatus::kGammaTooLong, at);
      std::uint64_t offset;
      std::uint64_t n;
      if (g == kRepeatGamma) {
        offset = lastOffset;
        n = in.ReadGamma();
        if (n == 0) return fail(DecodeStatus::kGammaTooLong, at);
      } else {
        in.Refill();
        offset = ((g - kLongMatchGammaBase) << indexBits) | in.Read(indexBits);
        n = in.ReadGamma();
        if (n == 0) return fail(DecodeStatus::kGammaTooLong, at);
        n += LengthBonus(offset);
        lastOffset = offset;
      }
      const DecodeStatus s = copy(offset, n);
      if (s != DecodeStatus::kOk) return fail(s, at);
      continue;
    }
    if (prefix == kShortMatchPrefix) {
      const std::uint32_t code = in.Read(kEndCodeBits);
      const std::uint32_t o = (code >> kShortLengthBits) & kShortMatchMaxOffset;
      const std::uint32_t m = code & ((1u << kShortLengthBits) - 1);
      if (o != 0) {
        lastOffset = o;
        const DecodeStatus s = copy(o, m + kShortMatchMinLength);
        if (s != DecodeStatus::kOk) return fail(s, at);
        continue;
      }
      if (code == kEndCode) break;
      const unsigned bits = in.Read(m + kIndexBitsFieldBase);
      if (bits < kMinIndexBits || bits > kMaxIndexBits)
        return fail(DecodeStatus::kBadIndexBits, at);
      indexBits = bits;
      continue;
    }
    // The byte codes.
    const std::uint32_t field = in.Read(kZeroByteBits) & kNearFieldMask;
    if (field == kZeroByteField) {
      if (at == stop) {
        const DecodeStatus s = room();
        if (s != DecodeStatus::kOk) return fail(s, at);
      }
      out[at++] = 0;
      continue;
    }
    if (field > kZeroByteField) {  // near copy
      const DecodeStatus s = copy(field - 1, 1);
      if (s != DecodeStatus::kOk) return fail(s, at);
      continue;
    }
    if (in.Read(kFlagBits) == 1) {  // raw blocks
      do {
        if (kRawBlockSize <= stop - at) {
          in.ReadRawBlock(out + at);
          at += kRawBlockSize;
        } else {
          if (kRawBlockSize > length - (base + at)) return fail(DecodeStatus::kPastEnd, at);
          if constexpr (Sink::kMovesOn) {
            std::uint8_t block[kRawBlockSize];
            in.ReadRawBlock(block);
            const DecodeStatus s = moveTo(sink.Put(block, kRawBlockSize, at));
            if (s != DecodeStatus::kOk) return fail(s, at);
          }
        }
        in.Refill();
        // Zero bits past the end stop this loop; Overran() reports them.
      } while (in.Read(kFlagBits) == 1);
      continue;
    }
    in.Refill();
    if (in.Read(kFlagBits) == 1) {
      literalWidth = kWideLiteralBits;
      literalBase = 0;
    } else {
      literalWidth = kNarrowLiteralBits;
      literalBase = static_cast<std::uint8_t>(in.Read(kLiteralBaseBits));
    }
  }

  if (in.Overran()) return fail(DecodeStatus::kOutOfWords, at);
  // Reading: an end code before the unpacked length is taken as damage, not
  // as a shorter result, because the header's length is what the caller
  // sized and checks the output by.
  if (base + at != length) return fail(DecodeStatus::kEndsEarly, at);
  // A read that failed after the last code was needed still fails the
  // decode: the stream was not had whole.
  if (words.Failed()) return fail(DecodeStatus::kInputFailed, at);
  return sink.Finish(at);
}

struct Header {
  std::uint32_t length = 0;
  std::uint32_t checksum = 0;
};

// Returns false when header is no stream header.
bool ParseHeader(std::span<const std::uint8_t> header, Header* out) {
  if (header.size() < kPackHeaderSize || header[kSignatureOffset] != kSignature[0] ||
      header[kSignatureOffset + 1] != kSignature[1]) {
    return false;
  }
  out->length = LoadLe32(header.data() + kLengthOffset);
  out->checksum = LoadLe32(header.data() + kChecksumOffset);
  return true;
}

// Reads up to n bytes, fewer only at the end of the stream. Returns how
// many, or -1 when a read failed.
std::int64_t ReadFully(StreamInput& input, std::uint8_t* data, std::size_t n) {
  std::size_t have = 0;
  while (have < n) {
    const std::int64_t got = input.Read(data + have, n - have);
    if (got < 0 || static_cast<std::uint64_t>(got) > n - have) return -1;
    if (got == 0) break;
    have += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(have);
}

}  // namespace

std::uint32_t Checksum(std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  if (n < 4) return 0;
  std::uint32_t c = MixWords(0, data.data(), n / 4);
  // A cut last word is the data's last four bytes, overlapping the one before.
  if (n % 4 != 0) MixChecksum(c, LoadLe32(data.data() + n - 4));
  return c;
}

DecodeResult Decode(std::span<const std::uint8_t> stream, std::span<std::uint8_t> output) {
  Header header;
  if (!ParseHeader(stream, &header)) return {DecodeStatus::kNoHeader, 0};
  if (output.size() < header.length) return {DecodeStatus::kOutputTooSmall, 0};

  // Reading: a trailing part of a word is never read, because the encoder
  // writes whole words and a part can only be damage; whatever follows the
  // end code is ignored, so that a stream may sit in a larger buffer.
  SpanWords words(stream.subspan(kPackHeaderSize));
  WholeOutput sink(output.first(header.length), header.checksum);
  return DecodeCodes(words, sink, header.length, header.length);
}

DecodeResult DecodeStreamBuffered(StreamInput& stream, DecodeOutput& output,
                                  const Progress& progress, const StreamDecodeBuffers& buffers) {
  std::uint8_t headerBytes[kPackHeaderSize];
  const std::int64_t got = ReadFully(stream, headerBytes, kPackHeaderSize);
  if (got < 0) return {DecodeStatus::kInputFailed, 0};
  Header header;
  if (!ParseHeader({headerBytes, static_cast<std::size_t>(got)}, &header)) {
    return {DecodeStatus::kNoHeader, 0};
  }

  // No window larger than the output needs: small files cost small memory.
  const std::size_t window = std::max(
      kMinDecodeWindow, static_cast<std::size_t>(std::min<std::uint64_t>(
                            buffers.window, std::uint64_t{header.length} + kMinDecodeWindow)));
  const std::size_t readSize = std::max(kMinDecodeReadSize, buffers.readSize);
  const std::unique_ptr<std::uint8_t[]> memory(new (std::nothrow) std::uint8_t[window + readSize]);
  if (memory == nullptr) return {DecodeStatus::kNoMemory, 0};

  StreamWords words(stream, memory.get() + window, readSize);
  WindowOutput sink(memory.get(), window, output, header.length, header.checksum, progress);
  return DecodeCodes(words, sink, header.length, sink.FirstStop());
}

DecodeResult DecodeStream(StreamInput& stream, DecodeOutput& output, const Progress& progress) {
  return DecodeStreamBuffered(stream, output, progress, StreamDecodeBuffers{});
}

}  // namespace pack

std::size_t Pack_Compress(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                          std::uint32_t window, bool withChecksum) {
  const pack::EncodeResult r = pack::Encode(input, output, window, withChecksum, input.size());
  // A stream that is not shorter than the input is worth less than storing it.
  if (!r.ok() || r.size >= input.size()) return 0;
  return r.size;
}

std::size_t Pack_Decompress(std::span<const std::uint8_t> stream, std::span<std::uint8_t> output) {
  const pack::DecodeResult r = pack::Decode(stream, output);
  return r.ok() ? r.written : 0;
}

std::uint32_t Pack_UnpackedLength(std::span<const std::uint8_t> stream) {
  pack::Header header;
  return pack::ParseHeader(stream, &header) ? header.length : 0;
}

}  // namespace cipherkern
