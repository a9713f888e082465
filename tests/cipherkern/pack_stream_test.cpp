// Pack stream codec: hand-built streams for the decoder, the encoder's
// decisions read back code by code, round trips, and the refusals of
// damaged streams.
#include "cipherkern/pack_stream.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cipherkern/pack_stream_internal.h"
#include "tests/cipherkern/stream_builder.h"
#include "tests/support/temp_folder.h"

namespace cipherkern {
namespace {

using Bytes = std::vector<std::uint8_t>;
using pack::DecodeStatus;
using ::testing_support::RandomBytes;
using testing_support::StreamBuilder;

pack::DecodeResult DecodeInto(const Bytes& stream, Bytes* out) {
  out->assign(Pack_UnpackedLength(stream), 0);
  return pack::Decode(stream, *out);
}

// Returns the decoded bytes; fails the test when the stream does not decode.
Bytes MustDecode(const Bytes& stream) {
  Bytes out;
  const pack::DecodeResult r = DecodeInto(stream, &out);
  EXPECT_TRUE(r.ok()) << "status " << static_cast<int>(r.status);
  return out;
}

// Returns the stream Pack_Compress writes as the engine calls it; fails the
// test when it refuses the input.
Bytes MustCompress(const Bytes& input) {
  Bytes out(input.size());
  const std::size_t n = Pack_Compress(input, out, 65536, true);
  EXPECT_GT(n, 0u) << "refused";
  out.resize(n);
  return out;
}

DecodeStatus StatusOf(const Bytes& stream) {
  Bytes out;
  return DecodeInto(stream, &out).status;
}

Bytes Encode(const Bytes& in, std::uint32_t window = 65536, bool checksum = true,
             pack::SearchMode mode = pack::SearchMode::kFast) {
  Bytes out(pack::EncodeBound(in.size()));
  const pack::EncodeResult r = pack::Encode(in, out, window, checksum, SIZE_MAX, mode);
  EXPECT_TRUE(r.ok()) << "status " << static_cast<int>(r.status);
  out.resize(r.size);
  return out;
}

// One code of a stream, as an independent reading of the format sees it.
struct Code {
  enum Kind { kFormat, kLiteral, kRepeat, kLong, kShort, kIndexBits, kZero, kNear, kRaw, kEnd };
  Kind kind;
  std::uint32_t a = 0;  // format width, literal byte, offset, index bits, raw blocks
  std::uint32_t b = 0;  // format base, match length (bonus included)

  bool operator==(const Code&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Code& c) {
  static const char* kNames[] = {"Format", "Literal", "Repeat", "Long", "Short",
                                 "Index",  "Zero",    "Near",   "Raw",  "End"};
  return os << kNames[c.kind] << "(" << c.a << "," << c.b << ")";
}

// Lists the codes of a well-formed stream.
std::vector<Code> Codes(const Bytes& stream) {
  std::vector<Code> codes;
  std::size_t bit = 0;
  auto read = [&](unsigned count) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < count; ++i, ++bit) {
      const std::size_t word = pack::kChecksumOffset + 4 + 4 * (bit / 32);
      if (word + 4 > stream.size()) {
        ADD_FAILURE() << "stream ends inside a code";
        return v;
      }
      const std::uint32_t w = stream[word] | (stream[word + 1] << 8) | (stream[word + 2] << 16) |
                              (std::uint32_t{stream[word + 3]} << 24);
      v = (v << 1) | ((w >> (31 - bit % 32)) & 1);
    }
    return v;
  };
  auto gamma = [&] {
    std::uint64_t v = 1;
    do v = 2 * v + read(1);
    while (read(1) == 1);
    return v;
  };
  unsigned width = 8;
  std::uint32_t base = 0;
  unsigned indexBits = 8;
  while (!::testing::Test::HasFailure()) {
    if (read(1) == 1) {
      codes.push_back({Code::kLiteral, (static_cast<std::uint32_t>(read(width)) + base) & 0xff});
    } else if (read(1) == 1) {
      const std::uint64_t g = gamma();
      if (g == 2) {
        codes.push_back({Code::kRepeat, 0, static_cast<std::uint32_t>(gamma())});
      } else {
        const std::uint64_t offset = ((g - 3) << indexBits) | read(indexBits);
        const std::uint64_t n = gamma() + pack::LengthBonus(offset);
        codes.push_back(
            {Code::kLong, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(n)});
      }
    } else if (read(1) == 0) {
      const std::uint32_t o = static_cast<std::uint32_t>(read(7));
      const std::uint32_t m = static_cast<std::uint32_t>(read(2));
      if (o != 0) {
        codes.push_back({Code::kShort, o, m + 2});
      } else if (m == 0) {
        codes.push_back({Code::kEnd});
        break;
      } else {
        indexBits = static_cast<unsigned>(read(m + 3));
        codes.push_back({Code::kIndexBits, indexBits});
      }
    } else {
      const std::uint32_t f = static_cast<std::uint32_t>(read(4));
      if (f == 1) {
        codes.push_back({Code::kZero});
      } else if (f >= 2) {
        codes.push_back({Code::kNear, f - 1});
      } else if (read(1) == 1) {
        std::uint32_t blocks = 0;
        do {
          for (int i = 0; i < 64; ++i) read(32);
          ++blocks;
        } while (read(1) == 1);
        codes.push_back({Code::kRaw, blocks});
      } else {
        width = read(1) == 1 ? 8 : 7;
        base = width == 7 ? static_cast<std::uint32_t>(read(8)) : 0;
        codes.push_back({Code::kFormat, width, base});
      }
    }
  }
  return codes;
}

std::size_t CountOf(const std::vector<Code>& codes, Code::Kind kind) {
  return static_cast<std::size_t>(
      std::count_if(codes.begin(), codes.end(), [&](const Code& c) { return c.kind == kind; }));
}

// Prose and C-like lines with indentation, aligned columns and repeats.
Bytes Text(std::size_t n, std::uint32_t seed) {
  static const char* kWords[] = {"the",    "engine", "packs",   "every",  "file",   "into",
                                 "stream", "window", "match",   "offset", "length", "of",
                                 "a",      "and",    "literal", "code",   "raw",    "block"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    switch (rng() % 4) {
      case 0:
        s += std::string(rng() % 5 * 4, ' ') + "if (" + kWords[rng() % 18] +
             " == " + std::to_string(rng() % 1000) + ") {\n";
        break;
      case 1:
        s += "#define " + std::string(kWords[rng() % 18]) + "_" + kWords[rng() % 18] +
             std::string(4 + rng() % 30, ' ') + "0x" + std::to_string(rng() % 90000) + "\n";
        break;
      default:
        for (int w = 0; w < 12; ++w) s += std::string(kWords[rng() % 18]) + " ";
        s += ".\n";
    }
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

// Fixed-size records of small numbers, like a table in a binary file.
Bytes Records(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  std::uint32_t id = 1000;
  while (out.size() < n) {
    id += 1 + rng() % 3;
    const std::uint32_t fields[4] = {id, static_cast<std::uint32_t>(rng() % 16), 0,
                                     static_cast<std::uint32_t>(0x3f800000u + (rng() % 8 << 20))};
    for (std::uint32_t f : fields) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(f >> (8 * i)));
    }
  }
  out.resize(n);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Iota256() {
  Bytes out(256);
  for (int i = 0; i < 256; ++i) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

// --- The decoder on hand-built streams -------------------------------------

TEST(PackStream, FormatAndEndCodesAloneDecodeToNoBytes) {
  const Bytes stream = StreamBuilder().Format8().End().Build(0);
  Bytes out;
  const pack::DecodeResult r = DecodeInto(stream, &out);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.written, 0u);
}

TEST(PackStream, DecodesOffsetOneLengthTenAfterLiteral) {
  // Long code: offset 1 has the bonus 4, so a coded 6 copies 10.
  EXPECT_EQ(MustDecode(StreamBuilder().Format8().Literal('A').Long(1, 6).End().Build(11)),
            Bytes(11, 'A'));
  // The last offset starts at 1, so the repeat code does the same.
  EXPECT_EQ(MustDecode(StreamBuilder().Format8().Literal('A').Repeat(10).End().Build(11)),
            Bytes(11, 'A'));
}

TEST(PackStream, ShortMatchSetsLastOffsetForRepeatCode) {
  const Bytes stream = StreamBuilder()
                           .Format8()
                           .Literal('a')
                           .Literal('b')
                           .Literal('c')
                           .Literal('d')
                           .Literal('e')
                           .Short(5, 3)
                           .Repeat(2)
                           .End()
                           .Build(10);
  const std::string s = "abcdeabcde";
  EXPECT_EQ(MustDecode(stream), Bytes(s.begin(), s.end()));
}

TEST(PackStream, DecodesLongMatchWithLengthBonus) {
  const Bytes blocks = Iota256();
  Bytes expected = blocks;
  for (int i = 0; i < 6; ++i) expected.push_back(expected[expected.size() - 100]);
  for (int i = 0; i < 2; ++i) expected.push_back(expected[expected.size() - 200]);
  const Bytes stream =
      StreamBuilder().Format8().Raw(blocks).Long(100, 2).Long(200, 2).End().Build(264);
  EXPECT_EQ(MustDecode(stream), expected);
}

TEST(PackStream, LengthBonusChangesAtEachOffsetBoundary) {
  struct Case {
    std::uint32_t offset;
    std::uint32_t bonus;
  };
  for (const Case& c : {Case{127, 4}, Case{128, 0}, Case{638, 0}, Case{639, 1}, Case{14334, 1},
                        Case{14335, 2}, Case{65535, 2}, Case{65536, 3}}) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(pack::LengthBonus(c.offset), c.bonus);
    Bytes blocks;
    while (blocks.size() < c.offset) {
      const Bytes more = RandomBytes(256, c.offset + static_cast<std::uint32_t>(blocks.size()));
      blocks.insert(blocks.end(), more.begin(), more.end());
    }
    const std::uint32_t length = static_cast<std::uint32_t>(blocks.size()) + 2 + c.bonus;
    const Bytes out =
        MustDecode(StreamBuilder().Format8().Raw(blocks).Long(c.offset, 2).End().Build(length));
    ASSERT_EQ(out.size(), length);
    for (std::size_t i = blocks.size(); i < out.size(); ++i) EXPECT_EQ(out[i], out[i - c.offset]);
  }
}

TEST(PackStream, ZeroByteCodeIgnoresLiteralBase) {
  const Bytes stream = StreamBuilder().Format7(0x41).Literal(1, 7).Zero().End().Build(2);
  EXPECT_EQ(MustDecode(stream), (Bytes{0x42, 0x00}));
}

TEST(PackStream, SevenBitLiteralsWrapAroundTheBase) {
  const StreamBuilder codes = StreamBuilder().Format7(0xf0).Literal(0x20, 7).Literal(0x0f, 7).End();
  EXPECT_EQ(MustDecode(codes.Build(2)), (Bytes{0x10, 0xff}));
}

TEST(PackStream, NearCopyKeepsTheLastOffset) {
  // 001 with 4 (offset 3) copies 'x'; the repeat code still uses offset 1.
  const Bytes stream = StreamBuilder()
                           .Format8()
                           .Literal('x')
                           .Literal('y')
                           .Literal('z')
                           .Near(3)
                           .Repeat(2)
                           .End()
                           .Build(6);
  const std::string s = "xyzxxx";
  EXPECT_EQ(MustDecode(stream), Bytes(s.begin(), s.end()));
}

TEST(PackStream, RawBlocksChainThroughContinuationBits) {
  const Bytes blocks = Concat({RandomBytes(256, 1), RandomBytes(256, 2), RandomBytes(256, 3)});
  EXPECT_EQ(MustDecode(StreamBuilder().Format8().Raw(blocks).End().Build(768)), blocks);
}

TEST(PackStream, IndexBitsCodeWidensTheLowPart) {
  const Bytes blocks = Concat({RandomBytes(1024, 4), RandomBytes(512, 5)});
  Bytes expected = blocks;
  for (int i = 0; i < 3; ++i) expected.push_back(expected[expected.size() - 1500]);
  for (unsigned m : {1u, 2u, 3u}) {
    SCOPED_TRACE(m);
    // Offset 1500 is above 638: bonus 1, so a coded 2 copies 3.
    const StreamBuilder codes =
        StreamBuilder().Format8().Raw(blocks).IndexBits(10, m).Long(1500, 2, 10).End();
    EXPECT_EQ(MustDecode(codes.Build(static_cast<std::uint32_t>(expected.size()))), expected);
  }
}

TEST(PackStream, ZeroChecksumSkipsTheCheck) {
  const std::string s = "hello world";
  StreamBuilder codes;
  codes.Format8();
  for (char c : s) codes.Literal(static_cast<std::uint8_t>(c));
  codes.End();
  const std::uint32_t sum = pack::Checksum(Bytes(s.begin(), s.end()));
  EXPECT_EQ(MustDecode(codes.Build(11, 0)), Bytes(s.begin(), s.end()));
  EXPECT_EQ(MustDecode(codes.Build(11, sum)), Bytes(s.begin(), s.end()));
  EXPECT_EQ(StatusOf(codes.Build(11, sum + 1)), DecodeStatus::kChecksumMismatch);
}

TEST(PackStream, ChecksumTakesTheLastWordOverlapping) {
  // Worked by hand from the rule: c = (c + w) ^ (2w + 1 + (w >> 31)).
  EXPECT_EQ(pack::Checksum(Bytes{1, 2, 3}), 0u);
  EXPECT_EQ(pack::Checksum(Bytes{1, 0, 0, 0}), 2u);
  EXPECT_EQ(pack::Checksum(Bytes{1, 0, 0, 0, 0x80}), 0x80000000u);
  const std::string s = "hello world";
  EXPECT_EQ(pack::Checksum(Bytes(s.begin(), s.end())), 0x97eae7b9u);
}

TEST(PackStream, UnpackedLengthNeedsTheSignature) {
  EXPECT_EQ(Pack_UnpackedLength(StreamBuilder().Format8().End().Build(1234)), 1234u);
  Bytes stream = StreamBuilder().Format8().End().Build(1234);
  stream[1] = 'D';
  EXPECT_EQ(Pack_UnpackedLength(stream), 0u);
  EXPECT_EQ(Pack_UnpackedLength(Bytes{'J', 'C', 1, 0, 0}), 0u);
}

// --- Damaged streams --------------------------------------------------------

TEST(PackStream, RejectsStreamsWithoutHeader) {
  EXPECT_EQ(StatusOf(Bytes{'J', 'C', 0, 0, 0, 0, 0, 0, 0}), DecodeStatus::kNoHeader);
  Bytes stream = StreamBuilder().Format8().Literal('a').End().Build(1);
  stream[0] = 'j';
  EXPECT_EQ(StatusOf(stream), DecodeStatus::kNoHeader);
  Bytes one(1);
  EXPECT_EQ(Pack_Decompress(stream, one), 0u);
}

TEST(PackStream, RejectsCodesThatWritePastTheUnpackedLength) {
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').Literal('b').End().Build(1)),
            DecodeStatus::kPastEnd);
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').Repeat(5).End().Build(5)),
            DecodeStatus::kPastEnd);
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').Zero().End().Build(1)),
            DecodeStatus::kPastEnd);
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Raw(Iota256()).End().Build(255)),
            DecodeStatus::kPastEnd);
}

TEST(PackStream, RejectsCopiesFromBeforeTheOutput) {
  // The initial last offset 1 reaches before an empty output.
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Repeat(2).End().Build(2)), DecodeStatus::kBadOffset);
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').Short(2, 2).End().Build(3)),
            DecodeStatus::kBadOffset);
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').Near(2).End().Build(2)),
            DecodeStatus::kBadOffset);
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').Long(300, 2).End().Build(3)),
            DecodeStatus::kBadOffset);
  // Offset 0 (g = 3, low part 0) would copy bytes not yet written.
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').Long(0, 2).End().Build(7)),
            DecodeStatus::kBadOffset);
}

TEST(PackStream, RejectsStreamsThatRunOutOfWords) {
  const Bytes blocks = Iota256();
  Bytes stream = StreamBuilder().Format8().Raw(blocks).Literal('a').End().Build(257);
  ASSERT_EQ(MustDecode(stream).size(), 257u);
  for (std::size_t cut = 4; cut <= 16; cut += 4) {
    const Bytes shorter(stream.begin(), stream.end() - static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(StatusOf(shorter), DecodeStatus::kOutOfWords) << cut;
  }
  // A trailing part of a word is never read.
  Bytes ragged(stream.begin(), stream.end() - 1);
  EXPECT_EQ(StatusOf(ragged), DecodeStatus::kOutOfWords);
}

TEST(PackStream, AcceptsIndexBitsFromOneToThirtyOne) {
  const Bytes blocks = Iota256();
  for (unsigned bits : {1u, 31u}) {
    const StreamBuilder codes =
        StreamBuilder().Format8().Raw(blocks).IndexBits(bits, 3).Long(200, 2, bits).End();
    EXPECT_EQ(MustDecode(codes.Build(258)).size(), 258u) << bits;
  }
  for (unsigned bits : {0u, 32u, 63u}) {
    const Bytes stream = StreamBuilder().Format8().IndexBits(bits, 3).End().Build(0);
    EXPECT_EQ(StatusOf(stream), DecodeStatus::kBadIndexBits) << bits;
  }
}

TEST(PackStream, RejectsLiteralBeforeAnyFormat) {
  EXPECT_EQ(StatusOf(StreamBuilder().Literal('a').End().Build(1)), DecodeStatus::kNoLiteralFormat);
}

TEST(PackStream, RejectsEndBeforeTheUnpackedLength) {
  EXPECT_EQ(StatusOf(StreamBuilder().Format8().Literal('a').End().Build(2)),
            DecodeStatus::kEndsEarly);
}

TEST(PackStream, RejectsGammaNumbersBeyondThirtyTwoBits) {
  StreamBuilder codes;
  codes.Format8().Literal('a').Bits(0b01, 2);
  for (int i = 0; i < 40; ++i) codes.Bits(0b11, 2);
  EXPECT_EQ(StatusOf(codes.Bits(0, 64).End().Build(100)), DecodeStatus::kGammaTooLong);
}

TEST(PackStream, RejectsOutputSmallerThanTheUnpackedLength) {
  const Bytes stream = StreamBuilder().Format8().Literal('a').Literal('b').End().Build(2);
  Bytes out(1);
  EXPECT_EQ(pack::Decode(stream, out).status, DecodeStatus::kOutputTooSmall);
  EXPECT_EQ(Pack_Decompress(stream, out), 0u);
}

TEST(PackStream, DecoderSurvivesDamagedStreams) {
  // Whatever the bytes, the decoder stays inside its buffers (the sanitizer
  // build checks that) and reports success only with the whole length.
  const Bytes input = Concat({Text(3000, 7), RandomBytes(600, 8), Text(3000, 9)});
  const Bytes stream = Encode(input);
  std::mt19937 rng(10);
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = stream;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
      damaged[kPackHeaderSize + rng() % (damaged.size() - kPackHeaderSize)] ^=
          static_cast<std::uint8_t>(1 << (rng() % 8));
    }
    if (round % 3 == 0) damaged.resize(damaged.size() - rng() % 64);
    Bytes out(input.size());
    const pack::DecodeResult r = pack::Decode(damaged, out);
    if (r.ok()) {
      EXPECT_EQ(r.written, input.size());
    }
  }
}

// --- The encoder's decisions ------------------------------------------------

TEST(PackStream, HeaderCarriesLengthAndOptionalChecksum) {
  const Bytes input = Text(5000, 11);
  const Bytes with = Encode(input, 65536, true);
  const Bytes without = Encode(input, 65536, false);
  ASSERT_GE(with.size(), kPackHeaderSize);
  EXPECT_EQ(with[0], 'J');
  EXPECT_EQ(with[1], 'C');
  EXPECT_EQ(Pack_UnpackedLength(with), 5000u);
  std::uint32_t sum;
  std::memcpy(&sum, with.data() + pack::kChecksumOffset, 4);
  EXPECT_EQ(sum, pack::Checksum(input));
  std::memcpy(&sum, without.data() + pack::kChecksumOffset, 4);
  EXPECT_EQ(sum, 0u);
  // Only the header differs.
  EXPECT_TRUE(
      std::equal(with.begin() + kPackHeaderSize, with.end(), without.begin() + kPackHeaderSize));
}

TEST(PackStream, FirstCodeChoosesTheLiteralFormat) {
  const std::string text = "abcabcabcabc";
  EXPECT_EQ(Codes(Encode(Bytes(text.begin(), text.end()))).front(), (Code{Code::kFormat, 7, 'a'}));
  EXPECT_EQ(Codes(Encode(Bytes(10, 'a'))).front(), (Code{Code::kFormat, 8, 0}));
  EXPECT_EQ(Codes(Encode(Bytes{0x10, 0x90, 0x10, 0x90})).front(), (Code{Code::kFormat, 8, 0}));
  EXPECT_EQ(Codes(Encode(Bytes{0x10, 0x8f, 0x10, 0x8f})).front(), (Code{Code::kFormat, 7, 0x10}));
  EXPECT_EQ(Codes(Encode(Bytes{})), (std::vector<Code>{{Code::kFormat, 8, 0}, {Code::kEnd}}));
}

TEST(PackStream, RepeatsFromTheInitialLastOffset) {
  // At position 1 the best candidate is offset 1, length 9: the last
  // offset's repeat code, which beats the next position's offer.
  const std::vector<Code> expected = {
      {Code::kFormat, 8, 0}, {Code::kLiteral, 'a'}, {Code::kRepeat, 0, 9}, {Code::kEnd}};
  EXPECT_EQ(Codes(Encode(Bytes(10, 'a'))), expected);
}

TEST(PackStream, HeldOverNextPositionCandidateIsCodedAfterTheByte) {
  // Positions 1 and 2 have no candidate; the next-position candidate of
  // position 2 (offset 3, length 9) is held over and coded at position 3.
  const std::string text = "abcabcabcabc";
  const std::vector<Code> expected = {{Code::kFormat, 7, 'a'}, {Code::kLiteral, 'a'},
                                      {Code::kLiteral, 'b'},   {Code::kLiteral, 'c'},
                                      {Code::kLong, 3, 9},     {Code::kEnd}};
  EXPECT_EQ(Codes(Encode(Bytes(text.begin(), text.end()))), expected);
}

TEST(PackStream, PrefersByteWhenNextPositionGainsMore) {
  // At the last "a" only "abc" (3 bytes) matches, while from the "b" after
  // it nine bytes match: the byte is coded first, then the long match.
  const std::string text = "bcdefghij-abc+abcdefghij";
  const std::vector<Code> codes = Codes(Encode(Bytes(text.begin(), text.end())));
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(codes[codes.size() - 2], (Code{Code::kLong, 15, 9}));
  EXPECT_NE(codes[codes.size() - 3].kind, Code::kShort);
  EXPECT_EQ(MustDecode(Encode(Bytes(text.begin(), text.end()))), Bytes(text.begin(), text.end()));
}

TEST(PackStream, DistanceOneMatchAbove64EndsTheSearch) {
  // "abab..." leaves the last offset at 2, then a run of c. At the second c
  // the best is offset 1; at the third, offset 1 matches as far as the last
  // offset 2 does, and the repeat code is cheaper. With 58 bytes the search
  // finds the repeat and the next position wins (a byte, then the repeat);
  // with 78, offset 1 ends the search, and the match is coded at once.
  auto codesFor = [](int run) {
    std::string s;
    for (int i = 0; i < 8; ++i) s += "ab";
    s += std::string(static_cast<std::size_t>(run), 'c') + "xyz";
    return Codes(Encode(Bytes(s.begin(), s.end())));
  };
  const std::vector<Code> head = {{Code::kFormat, 7, 'a'},
                                  {Code::kLiteral, 'a'},
                                  {Code::kLiteral, 'b'},
                                  {Code::kLong, 2, 14},
                                  {Code::kLiteral, 'c'}};
  const std::vector<Code> tail = {
      {Code::kLiteral, 'x'}, {Code::kLiteral, 'y'}, {Code::kLiteral, 'z'}, {Code::kEnd}};
  std::vector<Code> expected = head;
  expected.push_back({Code::kNear, 1});
  expected.push_back({Code::kRepeat, 0, 58});
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(codesFor(60), expected);
  expected = head;
  expected.push_back({Code::kLong, 1, 79});
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(codesFor(80), expected);
}

TEST(PackStream, ByteRuleCopiesFromUpToFourteenBack) {
  // 'q' 14 back is copied; 15 back it is a literal.
  Bytes near(15, 0);
  for (int i = 0; i < 15; ++i) near[i] = static_cast<std::uint8_t>('A' + i);
  Bytes in = Concat({Bytes{'q'}, Bytes(near.begin(), near.begin() + 13), Bytes{'q'}});
  std::vector<Code> codes = Codes(Encode(in));
  EXPECT_EQ(codes[codes.size() - 2], (Code{Code::kNear, 14}));
  in = Concat({Bytes{'q'}, Bytes(near.begin(), near.begin() + 14), Bytes{'q'}});
  codes = Codes(Encode(in));
  EXPECT_EQ(codes[codes.size() - 2], (Code{Code::kLiteral, 'q'}));
  // 0x00 has its own code whatever precedes it.
  codes = Codes(Encode(Bytes{0, 0}));
  EXPECT_EQ(codes[1], (Code{Code::kZero}));
  EXPECT_EQ(codes[2], (Code{Code::kZero}));
}

TEST(PackStream, IndexBitsRiseAbove49152CodedBytes) {
  const Bytes input = Text(80000, 12);
  std::vector<Code> codes = Codes(Encode(input, 65536));
  EXPECT_EQ(CountOf(codes, Code::kIndexBits), 1u);
  EXPECT_NE(std::find(codes.begin(), codes.end(), Code{Code::kIndexBits, 9}), codes.end());
  EXPECT_EQ(MustDecode(Encode(input, 65536)), input);
  // r is capped by the window: 10 needs a window above 65536.
  codes = Codes(Encode(input, 131072));
  EXPECT_NE(std::find(codes.begin(), codes.end(), Code{Code::kIndexBits, 10}), codes.end());
  EXPECT_EQ(MustDecode(Encode(input, 131072)), input);
  // A window of 49152 or less keeps 8.
  EXPECT_EQ(CountOf(Codes(Encode(input, 49152)), Code::kIndexBits), 0u);
}

TEST(PackStream, LiteralFormatFollowsTheDataEvery1024Bytes) {
  // Blocks of 1024 bytes of 100 values each, the bases 28 apart, so that
  // any 1024 bytes span at most 128 values: always 7-bit, new base as the
  // blocks go by.
  static const std::uint8_t kBases[] = {0, 28, 56, 84, 112, 140, 112, 84, 56, 28, 0, 28};
  Bytes input;
  for (std::size_t block = 0; block < std::size(kBases); ++block) {
    const Bytes words = Text(1024, 14 + static_cast<std::uint32_t>(block));
    for (std::uint8_t w : words)
      input.push_back(static_cast<std::uint8_t>(kBases[block] + w % 100));
  }
  const Bytes stream = Encode(input);
  const std::vector<Code> codes = Codes(stream);
  std::size_t sevenBit = 0;
  for (const Code& c : codes) sevenBit += c.kind == Code::kFormat && c.a == 7;
  EXPECT_GE(sevenBit, 6u);
  EXPECT_EQ(MustDecode(stream), input);
  EXPECT_EQ(MustDecode(MustCompress(input)), input);
}

TEST(PackStream, LiteralOutsideAStaleFormatChoosesItAnew) {
  // After a long match the last three bytes are coded by the byte rule with
  // no re-choice on the way; 0xff lies outside the text's 7-bit format.
  const Bytes text = Text(3000, 15);
  const Bytes input =
      Concat({text, Bytes(text.begin(), text.begin() + 2000), Bytes{0xff, 0xfe, 0xfd}});
  const Bytes stream = Encode(input);
  const std::vector<Code> codes = Codes(stream);
  const auto ff = std::find(codes.begin(), codes.end(), Code{Code::kLiteral, 0xff});
  ASSERT_NE(ff, codes.end());
  // Chosen by the rule over the bytes left: FF FE FD span 3 values.
  EXPECT_EQ(*(ff - 1), (Code{Code::kFormat, 7, 0xfd}));
  EXPECT_EQ(MustDecode(stream), input);
  EXPECT_EQ(MustDecode(MustCompress(input)), input);
}

TEST(PackStream, IncompressibleDataFallsBackToRawBlocks) {
  const Bytes input = RandomBytes(4096, 16);
  const Bytes stream = Encode(input);
  const std::vector<Code> codes = Codes(stream);
  // Back-to-back blocks form one raw code with continuation bits.
  ASSERT_GE(CountOf(codes, Code::kRaw), 1u);
  const auto raw =
      std::find_if(codes.begin(), codes.end(), [](const Code& c) { return c.kind == Code::kRaw; });
  EXPECT_GE(raw->a, 2u);
  EXPECT_EQ(MustDecode(stream), input);
  // Raw blocks bound the growth.
  EXPECT_LE(stream.size(), input.size() + input.size() / 64 + 64);
  Bytes out(input.size());
  EXPECT_EQ(Pack_Compress(input, out, 65536, true), 0u);
}

TEST(PackStream, MixedDataRoundTripsWithRawBlocksInside) {
  const Bytes input = Concat({Text(20000, 17), RandomBytes(3000, 18), Text(20000, 19),
                              RandomBytes(300, 20), Records(9000, 21)});
  const Bytes out = MustCompress(input);
  EXPECT_GE(CountOf(Codes(out), Code::kRaw), 2u);
  Bytes back(input.size());
  EXPECT_EQ(Pack_Decompress(out, back), input.size());
  EXPECT_EQ(back, input);
}

TEST(PackStream, WindowIsRaisedTo1024AndLoweredToTheInput) {
  const Bytes input = Text(30000, 22);
  EXPECT_EQ(Encode(input, 0), Encode(input, pack::kMinWindow));
  EXPECT_EQ(Encode(input, 1), Encode(input, pack::kMinWindow));
  EXPECT_EQ(Encode(input, 1 << 30), Encode(input, 30000));
  EXPECT_NE(Encode(input, 1024), Encode(input, 30000));
}

TEST(PackStream, FastSearchTakesThePlainWalksDecisions) {
  // The finder's shortcuts (longer chains, bounds, runs) must not change a
  // single code. Inputs with long chains, runs and hash collisions.
  struct Case {
    Bytes input;
    std::uint32_t window;
  };
  std::vector<Case> cases = {
      {Text(60000, 23), 65536},
      {Concat({Text(20000, 24), Records(20000, 25), Text(10000, 26)}), 65536},
      {Records(30000, 27), 65536},
      {Text(40000, 28), 2000},
      {Concat({Text(70000, 29), Text(10000, 29)}), 200000},  // 32-bit links
  };
  Bytes columns;  // aligned columns: runs of spaces of every length
  std::mt19937 rng(30);
  while (columns.size() < 50000) {
    const std::string name = "NAME_" + std::to_string(rng() % 5000);
    const std::string line =
        "#define " + name + std::string(40 - name.size() % 40, ' ') + std::to_string(rng()) + "\n";
    columns.insert(columns.end(), line.begin(), line.end());
  }
  cases.push_back({columns, 65536});
  Bytes runs;  // runs of one byte between short pieces
  while (runs.size() < 40000) {
    const Bytes run(1 + rng() % 300, static_cast<std::uint8_t>("ab \0"[rng() % 4]));
    runs.insert(runs.end(), run.begin(), run.end());
    runs.push_back(static_cast<std::uint8_t>(rng() % 4));
  }
  cases.push_back({runs, 65536});
  // Text and noise by turns: the finder's choice of chains goes on and off.
  Bytes turns;
  for (std::uint32_t i = 0; i < 8; ++i) {
    const Bytes part = i % 2 == 0 ? Text(6000, 40 + i) : RandomBytes(3000, 50 + i);
    turns.insert(turns.end(), part.begin(), part.end());
  }
  cases.push_back({turns, 65536});
  cases.push_back({columns, 1024});
  // Machine code and tables: this program's own first 160 KiB, with runs of
  // zeros of every length between short structures.
  std::ifstream self("/proc/self/exe", std::ios::binary);
  Bytes program(160 * 1024);
  self.read(reinterpret_cast<char*>(program.data()), static_cast<std::streamsize>(program.size()));
  program.resize(static_cast<std::size_t>(self.gcount()));
  cases.push_back({program, 65536});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes fast = Encode(cases[i].input, cases[i].window, true, pack::SearchMode::kFast);
    const Bytes plain = Encode(cases[i].input, cases[i].window, true, pack::SearchMode::kPlain);
    EXPECT_EQ(fast, plain);
    EXPECT_EQ(MustDecode(fast), cases[i].input);
  }
}

// --- Round trips -------------------------------------------------------------

void ExpectRoundTrip(const Bytes& input) {
  // Without the growth limit every input gives a stream that decodes.
  EXPECT_EQ(MustDecode(Encode(input)), input);
  // With it, either the stream is shorter or the caller stores the data.
  Bytes out(input.size());
  const std::size_t n = Pack_Compress(input, out, 65536, true);
  if (n == 0) return;
  EXPECT_LT(n, input.size());
  out.resize(n);
  Bytes back(input.size());
  EXPECT_EQ(Pack_Decompress(out, back), input.size());
  EXPECT_EQ(back, input);
}

TEST(PackStream, RoundTripsEveryLengthUpTo40) {
  for (std::size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    ExpectRoundTrip(Text(n, static_cast<std::uint32_t>(n)));
    ExpectRoundTrip(RandomBytes(n, static_cast<std::uint32_t>(n)));
    ExpectRoundTrip(Bytes(n, 0));
  }
}

TEST(PackStream, RoundTripsTypicalInputs) {
  const Bytes inputs[] = {
      Text(100000, 31),       Records(50000, 32),
      Bytes(100000, 0),       Bytes(70000, 0x5a),
      RandomBytes(30000, 33), Concat({Bytes(1000, 'x'), RandomBytes(1000, 34), Bytes(1000, 'x')}),
  };
  for (const Bytes& input : inputs) {
    SCOPED_TRACE(input.size());
    ExpectRoundTrip(input);
  }
}

TEST(PackStream, CompressesRepetitiveDataWell) {
  Bytes out(100000);
  EXPECT_LT(Pack_Compress(Bytes(100000, 0), out, 65536, true), 100u);
  EXPECT_LT(Pack_Compress(Text(100000, 35), out, 65536, true), 40000u);
}

TEST(PackStream, CompressFitsAnOutputTheSizeOfTheInput) {
  // The engine passes an output exactly as long as the input; a stream that
  // would not be shorter is refused, and nothing is written past the end.
  for (std::size_t n :
       {std::size_t{0}, std::size_t{5}, std::size_t{14}, std::size_t{300}, std::size_t{5000}}) {
    SCOPED_TRACE(n);
    for (const Bytes& input : {RandomBytes(n, 36), Text(n, 37)}) {
      std::vector<std::uint8_t> heap(input.size());
      const std::size_t size = Pack_Compress(input, heap, 65536, true);
      if (size == 0) continue;
      heap.resize(size);
      EXPECT_EQ(MustDecode(heap), input);
    }
  }
}

TEST(PackStream, EncodeRefusesAnOutputTooSmallForTheStream) {
  const Bytes input = RandomBytes(2000, 38);
  // The output is the front of a larger buffer: the words that no longer
  // fit must not land behind it.
  Bytes buffer(1000 + 64, 0xa5);
  const pack::EncodeResult r =
      pack::Encode(input, std::span<std::uint8_t>(buffer.data(), 1000), 65536, true, SIZE_MAX);
  EXPECT_EQ(r.status, pack::EncodeStatus::kOutputFull);
  EXPECT_EQ(Bytes(buffer.begin() + 1000, buffer.end()), Bytes(64, 0xa5));
  Bytes tiny(kPackHeaderSize - 1);
  EXPECT_EQ(pack::Encode(input, tiny, 65536, true, SIZE_MAX).status,
            pack::EncodeStatus::kOutputFull);
}

TEST(PackStream, RefusesInputsBeyondTheLengthField) {
  // A 4 GiB span that is reserved but never touched: the refusal comes
  // before any byte is read.
  const std::size_t size = std::size_t{pack::kMaxUnpackedLength} + 1;
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  const std::span<const std::uint8_t> huge(static_cast<const std::uint8_t*>(p), size);
  Bytes out(64);
  EXPECT_EQ(pack::Encode(huge, out, 65536, true, SIZE_MAX).status,
            pack::EncodeStatus::kInputTooLong);
  EXPECT_EQ(Pack_Compress(huge, out, 65536, true), 0u);
  munmap(p, size);
}

}  // namespace
}  // namespace cipherkern
