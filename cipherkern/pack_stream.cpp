// Pack stream decoder, checksum and the public entry points. The encoder is
// in pack_stream_encoder.cpp.
#include "cipherkern/pack_stream.h"

#include <array>
#include <bit>
#include <cstring>

#include "cipherkern/pack_stream_internal.h"

namespace cipherkern {
namespace pack {
namespace {

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

// Gamma numbers above this only come from damage: no length or offset of a
// stream with a 32-bit unpacked length needs more.
constexpr std::uint64_t kMaxGamma = std::uint64_t{1} << 32;

// Gamma numbers of up to four pairs, by the next 8 bits: most lengths and
// offsets of a stream. bits 0: the number is longer.
struct GammaEntry {
  std::uint8_t value;
  std::uint8_t bits;
};
constexpr std::array<GammaEntry, 256> kGammaTable = [] {
  std::array<GammaEntry, 256> table{};
  for (unsigned x = 0; x < 256; ++x) {
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

// Reads the coded words most significant bit first. Past the last whole word
// it feeds zero bits instead of failing at once: zero bits decode as the end
// code within 12 bits, and Overran() then tells the truth. That keeps the
// hot path free of end checks.
class BitReader {
 public:
  BitReader(const std::uint8_t* words, std::size_t wordCount)
      : words_(words), wordCount_(wordCount) {}

  // Makes at least 33 bits available.
  void Refill() {
    if (avail_ <= 32) {
      std::uint64_t w = next_ < wordCount_ ? LoadLe32(words_ + 4 * next_) : 0;
      ++next_;
      bits_ |= w << (32 - avail_);
      avail_ += 32;
    }
  }

  bool Overran() const { return next_ * 32 - avail_ > wordCount_ * 32; }

  // Requires: 1 <= k <= available bits (33 after Refill).
  std::uint32_t Peek(unsigned k) const { return static_cast<std::uint32_t>(bits_ >> (64 - k)); }
  void Skip(unsigned k) {
    bits_ <<= k;
    avail_ -= k;
  }
  std::uint32_t Read(unsigned k) {
    std::uint32_t v = Peek(k);
    Skip(k);
    return v;
  }

  // Reads 256 fields of 8 bits into out. A raw block spans 64 words at a
  // fixed bit offset, so each 4 bytes come from two words by one shift.
  void ReadRawBlock(std::uint8_t* out) {
    const std::size_t bit = next_ * 32 - avail_;
    const std::size_t word = bit / 32;
    const unsigned shift = bit % 32;
    constexpr std::size_t kWords = kRawBlockSize / 4;
    if (word + kWords + 1 > wordCount_) {  // near the end: bit by bit, zeros past it
      for (std::size_t i = 0; i < kRawBlockSize; i += 4) {
        Refill();
        StoreBe32(out + i, Read(32));
      }
      return;
    }
    const std::uint8_t* w = words_ + 4 * word;
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
    next_ = word + kWords;
    bits_ = 0;
    avail_ = 0;
    Refill();
    Skip(shift);
  }

  // Reads a gamma number. Returns 0 when it exceeds kMaxGamma.
  std::uint64_t ReadGamma() {
    Refill();
    const GammaEntry e = kGammaTable[Peek(8)];
    if (e.bits != 0) {
      Skip(e.bits);
      return e.value;
    }
    return ReadLongGamma();
  }

 private:
  std::uint64_t ReadLongGamma() {
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

  const std::uint8_t* words_;
  std::size_t wordCount_;
  std::size_t next_ = 0;
  std::uint64_t bits_ = 0;  // next bit in bit 63
  unsigned avail_ = 0;
};

// Copies n bytes from offset bytes back, byte by byte semantics: with an
// offset below n the copy repeats its own output.
// Requires: 1 <= offset <= pos, pos + n <= end of out.
void CopyMatch(std::uint8_t* out, std::size_t pos, std::size_t offset, std::size_t n,
               std::size_t outEnd) {
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

}  // namespace

std::uint32_t Checksum(std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  if (n < 4) return 0;
  std::uint32_t c = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) MixChecksum(c, LoadLe32(data.data() + i));
  if (i < n) MixChecksum(c, LoadLe32(data.data() + n - 4));
  return c;
}

DecodeResult Decode(std::span<const std::uint8_t> stream, std::span<std::uint8_t> output) {
  DecodeResult result;
  if (stream.size() < kPackHeaderSize || stream[kSignatureOffset] != kSignature[0] ||
      stream[kSignatureOffset + 1] != kSignature[1]) {
    result.status = DecodeStatus::kNoHeader;
    return result;
  }
  const std::size_t length = LoadLe32(stream.data() + kLengthOffset);
  const std::uint32_t checksum = LoadLe32(stream.data() + kChecksumOffset);
  if (output.size() < length) {
    result.status = DecodeStatus::kOutputTooSmall;
    return result;
  }

  // Reading: a trailing part of a word is never read (the encoder writes
  // whole words), and whatever follows the end code is ignored.
  BitReader in(stream.data() + kPackHeaderSize, (stream.size() - kPackHeaderSize) / 4);
  std::uint8_t* out = output.data();
  std::size_t pos = 0;
  std::uint64_t lastOffset = kInitialLastOffset;
  unsigned indexBits = kInitialIndexBits;
  // 0 until the first literal-format code. Reading: a literal before it is
  // damage (the encoder always starts with that code).
  unsigned literalWidth = 0;
  std::uint8_t literalBase = 0;

  auto fail = [&](DecodeStatus status) {
    result.status = status;
    result.written = pos;
    return result;
  };
  // Checks and performs one copy; returns false with result set on damage.
  auto copy = [&](std::uint64_t offset, std::uint64_t n) {
    if (offset == 0 || offset > pos) {
      result.status = DecodeStatus::kBadOffset;
      return false;
    }
    if (n > length - pos) {
      result.status = DecodeStatus::kPastEnd;
      return false;
    }
    CopyMatch(out, pos, offset, n, length);
    pos += n;
    return true;
  };

  for (;;) {
    in.Refill();
    const std::uint32_t prefix = in.Peek(3);
    if (prefix >= 0b100) {  // 1: literal, usually several in a row
      if (literalWidth == 0) return fail(DecodeStatus::kNoLiteralFormat);
      const unsigned codeBits = 1 + literalWidth;
      const std::uint32_t mask = (1u << literalWidth) - 1;
      do {
        if (pos == length) return fail(DecodeStatus::kPastEnd);
        out[pos++] = static_cast<std::uint8_t>((in.Read(codeBits) & mask) + literalBase);
        in.Refill();
      } while (in.Peek(1) == 1);
      continue;
    }
    if (prefix >= 0b010) {  // 01: repeat or long match
      in.Skip(2);
      const std::uint64_t g = in.ReadGamma();
      if (g == 0) return fail(DecodeStatus::kGammaTooLong);
      std::uint64_t offset;
      std::uint64_t n;
      if (g == 2) {
        offset = lastOffset;
        n = in.ReadGamma();
        if (n == 0) return fail(DecodeStatus::kGammaTooLong);
      } else {
        in.Refill();
        offset = ((g - 3) << indexBits) | in.Read(indexBits);
        n = in.ReadGamma();
        if (n == 0) return fail(DecodeStatus::kGammaTooLong);
        n += LengthBonus(offset);
        lastOffset = offset;
      }
      if (!copy(offset, n)) return fail(result.status);
      continue;
    }
    if (prefix == 0b000) {
      const std::uint32_t code = in.Read(12);
      const std::uint32_t o = (code >> 2) & 0x7f;
      const std::uint32_t m = code & 3;
      if (o != 0) {  // short match
        lastOffset = o;
        if (!copy(o, m + 2)) return fail(result.status);
        continue;
      }
      if (m == 0) break;  // end code
      const unsigned bits = in.Read(m + 3);
      if (bits < kMinIndexBits || bits > kMaxIndexBits) return fail(DecodeStatus::kBadIndexBits);
      indexBits = bits;
      continue;
    }
    // 001
    const std::uint32_t field = in.Read(7) & 0xf;
    if (field == 1) {
      if (pos == length) return fail(DecodeStatus::kPastEnd);
      out[pos++] = 0;
      continue;
    }
    if (field >= 2) {
      if (!copy(field - 1, 1)) return fail(result.status);
      continue;
    }
    if (in.Read(1) == 1) {  // raw blocks
      do {
        if (kRawBlockSize > length - pos) return fail(DecodeStatus::kPastEnd);
        in.ReadRawBlock(out + pos);
        pos += kRawBlockSize;
        in.Refill();
        // Zero bits past the end stop this loop; Overran() reports them.
      } while (in.Read(1) == 1);
      continue;
    }
    in.Refill();
    if (in.Read(1) == 1) {
      literalWidth = 8;
      literalBase = 0;
    } else {
      literalWidth = 7;
      literalBase = static_cast<std::uint8_t>(in.Read(8));
    }
  }

  if (in.Overran()) return fail(DecodeStatus::kOutOfWords);
  // Reading: an end code before the unpacked length is damage, not a
  // shorter result.
  if (pos != length) return fail(DecodeStatus::kEndsEarly);
  if (checksum != 0 && Checksum(output.first(length)) != checksum) {
    return fail(DecodeStatus::kChecksumMismatch);
  }
  result.written = pos;
  return result;
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
  if (stream.size() < kPackHeaderSize || stream[pack::kSignatureOffset] != pack::kSignature[0] ||
      stream[pack::kSignatureOffset + 1] != pack::kSignature[1]) {
    return 0;
  }
  return pack::LoadLe32(stream.data() + pack::kLengthOffset);
}

}  // namespace cipherkern
