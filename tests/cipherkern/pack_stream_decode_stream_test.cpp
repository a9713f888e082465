// The streaming pack stream decoder next to Decode: the same bytes, status
// and written count for every stream, valid or damaged, whatever the window
// and however the input arrives; copies from beyond the window; failures of
// the input and of the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_decoder.h"
#include "cipherkern/pack_stream_internal.h"
#include "cipherkern/pack_stream_io.h"
#include "tests/cipherkern/stream_builder.h"
#include "tests/support/temp_folder.h"

namespace cipherkern::pack {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing_support::RandomBytes;
using testing_support::StreamBuilder;

// A stream in memory, handed out at most maxRead bytes per Read (cycling
// through 1..maxRead; 0: all that is asked), failing from failAt on.
class MemoryInput : public StreamInput {
 public:
  MemoryInput(const Bytes& data, std::size_t maxRead, std::size_t failAt = SIZE_MAX)
      : data_(data), maxRead_(maxRead), failAt_(failAt) {}

  std::int64_t Read(std::uint8_t* out, std::size_t n) override {
    if (pos_ >= failAt_) return -1;
    std::size_t take = std::min({n, data_.size() - pos_, failAt_ - pos_});
    if (maxRead_ != 0) take = std::min(take, 1 + reads_++ % maxRead_);
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), take, out);
    pos_ += take;
    return static_cast<std::int64_t>(take);
  }

 private:
  const Bytes& data_;
  std::size_t maxRead_;
  std::size_t failAt_;
  std::size_t pos_ = 0;
  std::size_t reads_ = 0;
};

// Output in memory that refuses writes past writeLimit bytes and, when
// told, every read back.
class MemoryOutput : public DecodeOutput {
 public:
  bool Write(const std::uint8_t* data, std::size_t n) override {
    if (bytes.size() + n > writeLimit) return false;
    bytes.insert(bytes.end(), data, data + n);
    return true;
  }
  bool ReadBack(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    ++readBacks;
    // The decoder may only ask for what it has written.
    EXPECT_LE(offset + n, bytes.size());
    if (refuseReadBack || offset + n > bytes.size()) return false;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, data);
    return true;
  }

  Bytes bytes;
  std::size_t writeLimit = SIZE_MAX;
  bool refuseReadBack = false;
  int readBacks = 0;
};

struct Setup {
  std::size_t window;
  std::size_t readSize;
  std::size_t maxRead;
};

// From the smallest window, where nearly every code crosses a window move
// and every word a read, to the defaults.
const Setup kSetups[] = {
    {16, 4, 7}, {64, 7, 3}, {100, 64, 0}, {4096, 4096, 5}, {kDecodeWindow, kDecodeReadSize, 0},
};

DecodeResult RunStream(const Bytes& stream, const Setup& setup, MemoryOutput* output) {
  MemoryInput input(stream, setup.maxRead);
  return DecodeStreamBuffered(input, *output, {}, {setup.window, setup.readSize});
}

// Expects the streaming decode of stream to give Decode's bytes, status and
// written count under every setup. Returns Decode's status.
DecodeStatus ExpectSameAsDecode(const Bytes& stream) {
  Bytes whole(Pack_UnpackedLength(stream));
  const DecodeResult want = Decode(stream, whole);
  whole.resize(want.written);
  for (const Setup& setup : kSetups) {
    SCOPED_TRACE("window " + std::to_string(setup.window) + ", reads of " +
                 std::to_string(setup.readSize) + " capped at " + std::to_string(setup.maxRead));
    MemoryOutput output;
    const DecodeResult got = RunStream(stream, setup, &output);
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.written, want.written);
    EXPECT_EQ(output.bytes, whole);
  }
  return want.status;
}

Bytes EncodeAll(const Bytes& input, std::uint32_t window = 65536) {
  Bytes out(EncodeBound(input.size()));
  const EncodeResult r = Encode(input, out, window, true, SIZE_MAX);
  EXPECT_TRUE(r.ok());
  out.resize(r.size);
  return out;
}

Bytes ReadFile(const std::filesystem::path& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

// Header files under /usr/include in name order, cut to n bytes.
Bytes HeaderText(std::size_t n) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/usr/include", ec)) {
    if (e.path().extension() == ".h") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  Bytes text;
  for (const auto& f : files) {
    if (text.size() >= n) break;
    const Bytes part = ReadFile(f, n - text.size());
    text.insert(text.end(), part.begin(), part.end());
  }
  return text;
}

void SetLe32(Bytes* bytes, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// 200 distinct bytes, then a copy of 300 from 200 back: with a small window
// the source lies before it, and the copy runs into its own output.
constexpr std::size_t kFarPrefix = 200;
constexpr std::size_t kFarCopy = 300;

Bytes FarCopyStream(unsigned indexBits) {
  StreamBuilder codes;
  codes.Format8().IndexBits(indexBits, 3);  // a 6-bit field, wide enough for 31
  for (std::size_t i = 0; i < kFarPrefix; ++i) codes.Literal(static_cast<std::uint8_t>(i));
  // Offsets from 128 on have no length bonus below 639.
  codes.Long(kFarPrefix, kFarCopy, indexBits).End();
  return codes.Build(kFarPrefix + kFarCopy);
}

TEST(PackDecodeStream, MatchesDecodeOnEncodedInputs) {
  const Bytes text = HeaderText(300000);
  const Bytes code = ReadFile("/proc/self/exe", 200000);
  ASSERT_FALSE(code.empty());
  Bytes mixed = text;
  mixed.resize(std::min<std::size_t>(mixed.size(), 20000));
  const Bytes noise = RandomBytes(5000, 2);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  mixed.insert(mixed.end(), code.begin(), code.begin() + 20000);

  const Bytes inputs[] = {text, code, RandomBytes(70000, 1), Bytes(300000, 0), mixed, {}, {'x'}};
  for (const Bytes& input : inputs) {
    SCOPED_TRACE("input of " + std::to_string(input.size()) + " bytes");
    EXPECT_EQ(ExpectSameAsDecode(EncodeAll(input)), DecodeStatus::kOk);
  }
  // A small encoder window gives other offsets and matches.
  EXPECT_EQ(ExpectSameAsDecode(EncodeAll(text, 1024)), DecodeStatus::kOk);
}

TEST(PackDecodeStream, MatchesDecodeAtLengthsAroundWordAndWindowBoundaries) {
  const Bytes text = HeaderText(5000);
  const Bytes noise = RandomBytes(5000, 3);
  for (std::size_t n : {2,  3,   4,   5,   7,   8,   9,   15,  16,  17,   63,   64,  65,
                        99, 100, 101, 255, 256, 257, 511, 512, 513, 4095, 4096, 4097}) {
    SCOPED_TRACE("length " + std::to_string(n));
    ExpectSameAsDecode(EncodeAll(Bytes(text.begin(), text.begin() + n)));
    ExpectSameAsDecode(EncodeAll(Bytes(noise.begin(), noise.begin() + n)));
  }
}

TEST(PackDecodeStream, CopiesFromBeyondTheWindowByReadingBack) {
  Bytes want(kFarPrefix + kFarCopy);
  for (std::size_t i = 0; i < want.size(); ++i) want[i] = static_cast<std::uint8_t>(i % kFarPrefix);
  // Index bits 8 and 31, the widest: the offset is the same, its coding not.
  for (unsigned indexBits : {8u, kMaxIndexBits}) {
    const Bytes stream = FarCopyStream(indexBits);
    EXPECT_EQ(ExpectSameAsDecode(stream), DecodeStatus::kOk);
    MemoryOutput output;
    ASSERT_TRUE(RunStream(stream, {64, 16, 0}, &output).ok());
    EXPECT_EQ(output.bytes, want);
    EXPECT_GT(output.readBacks, 0);
  }
}

TEST(PackDecodeStream, ReportsEachDamageAsDecodeDoes) {
  const Bytes valid = EncodeAll(HeaderText(20000));
  const std::uint32_t length = Pack_UnpackedLength(valid);

  Bytes noSignature = valid;
  noSignature[1] = 'X';
  EXPECT_EQ(ExpectSameAsDecode(noSignature), DecodeStatus::kNoHeader);
  EXPECT_EQ(ExpectSameAsDecode(Bytes(valid.begin(), valid.begin() + kPackHeaderSize - 1)),
            DecodeStatus::kNoHeader);

  // A trailing part of a word is never read; words after the end code are
  // ignored. Cutting into the last word leaves a code without its bits.
  for (std::size_t extra = 1; extra < 8; ++extra) {
    Bytes longer = valid;
    longer.insert(longer.end(), extra, 0xff);
    EXPECT_EQ(ExpectSameAsDecode(longer), DecodeStatus::kOk);
  }
  for (std::size_t cut = 1; cut <= 4; ++cut) {
    EXPECT_EQ(ExpectSameAsDecode(Bytes(valid.begin(), valid.end() - cut)),
              DecodeStatus::kOutOfWords);
  }

  Bytes badChecksum = valid;
  badChecksum[kChecksumOffset] ^= 1;
  EXPECT_EQ(ExpectSameAsDecode(badChecksum), DecodeStatus::kChecksumMismatch);

  // The header's length cut short, or raised, with the checksum off.
  Bytes shorter = valid;
  SetLe32(&shorter, kLengthOffset, length - 300);
  SetLe32(&shorter, kChecksumOffset, 0);
  EXPECT_EQ(ExpectSameAsDecode(shorter), DecodeStatus::kPastEnd);
  Bytes longer = shorter;
  SetLe32(&longer, kLengthOffset, length + 300);
  EXPECT_EQ(ExpectSameAsDecode(longer), DecodeStatus::kEndsEarly);

  EXPECT_EQ(ExpectSameAsDecode(StreamBuilder().Literal('a').End().Build(1)),
            DecodeStatus::kNoLiteralFormat);
  // Far enough back to leave the small windows, one byte before the output.
  StreamBuilder beforeOutput;
  beforeOutput.Format8();
  for (int i = 0; i < 150; ++i) beforeOutput.Literal('a');
  beforeOutput.Long(151, 2, 8).End();
  EXPECT_EQ(ExpectSameAsDecode(beforeOutput.Build(152)), DecodeStatus::kBadOffset);
  EXPECT_EQ(ExpectSameAsDecode(StreamBuilder().Format8().IndexBits(0, 3).End().Build(0)),
            DecodeStatus::kBadIndexBits);
  EXPECT_EQ(ExpectSameAsDecode(StreamBuilder().Format8().IndexBits(32, 3).End().Build(0)),
            DecodeStatus::kBadIndexBits);
  EXPECT_EQ(ExpectSameAsDecode(StreamBuilder()
                                   .Format8()
                                   .Literal('a')
                                   .Bits(0b01, 2)
                                   .Gamma(2)
                                   .Gamma(std::uint64_t{1} << 40)
                                   .End()
                                   .Build(10)),
            DecodeStatus::kGammaTooLong);
}

TEST(PackDecodeStream, MatchesDecodeOnRandomlyDamagedStreams) {
  Bytes input = HeaderText(6000);
  const Bytes noise = RandomBytes(1500, 4);
  input.insert(input.begin() + 3000, noise.begin(), noise.end());
  const Bytes valid = EncodeAll(input);
  const Bytes far = FarCopyStream(12);
  std::mt19937 rng(5);
  for (int round = 0; round < 400; ++round) {
    Bytes damaged = round % 2 == 0 ? valid : far;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
      damaged[kPackHeaderSize + rng() % (damaged.size() - kPackHeaderSize)] ^=
          static_cast<std::uint8_t>(1 << (rng() % 8));
    }
    if (round % 3 == 0) damaged.resize(damaged.size() - rng() % 64);
    SCOPED_TRACE("round " + std::to_string(round));
    ExpectSameAsDecode(damaged);
  }
}

TEST(PackDecodeStream, FailsWithTheInputWhenAReadFails) {
  const Bytes stream = EncodeAll(HeaderText(3000));
  // In the header, in the words, and at the read that would report the end.
  for (std::size_t failAt : {std::size_t{0}, std::size_t{5}, std::size_t{kPackHeaderSize},
                             stream.size() / 2, stream.size() - 1, stream.size()}) {
    SCOPED_TRACE("read fails at " + std::to_string(failAt));
    // Reads of one word also fail after a last word that was read whole.
    for (std::size_t readSize : {4, 16}) {
      MemoryInput input(stream, 3, failAt);
      MemoryOutput output;
      const DecodeResult r = DecodeStreamBuffered(input, output, {}, {64, readSize});
      EXPECT_EQ(r.status, DecodeStatus::kInputFailed);
      EXPECT_EQ(r.written, output.bytes.size());
    }
  }
}

TEST(PackDecodeStream, FailsWithTheOutputWhenWriteOrReadBackFails) {
  const Bytes stream = EncodeAll(HeaderText(3000));
  for (std::size_t limit : {std::size_t{0}, std::size_t{100}, std::size_t{2999}}) {
    SCOPED_TRACE("writes refused past " + std::to_string(limit));
    MemoryInput input(stream, 0);
    MemoryOutput output;
    output.writeLimit = limit;
    const DecodeResult r = DecodeStreamBuffered(input, output, {}, {64, 64});
    EXPECT_EQ(r.status, DecodeStatus::kOutputFailed);
    EXPECT_EQ(r.written, output.bytes.size());
    EXPECT_LE(r.written, limit);
  }
  const Bytes far = FarCopyStream(8);
  MemoryInput input(far, 0);
  MemoryOutput output;
  output.refuseReadBack = true;
  EXPECT_EQ(DecodeStreamBuffered(input, output, {}, {64, 64}).status, DecodeStatus::kOutputFailed);
}

// Counts output bytes and checks they are zero, holding none of them.
class ZeroCheckingOutput : public DecodeOutput {
 public:
  bool Write(const std::uint8_t* data, std::size_t n) override {
    nonZero += static_cast<std::size_t>(std::count_if(data, data + n, [](auto b) { return b; }));
    size += n;
    return true;
  }
  bool ReadBack(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    if (offset + n > size) return false;
    std::fill_n(data, n, 0);
    return true;
  }
  std::uint64_t size = 0;
  std::size_t nonZero = 0;
};

TEST(PackDecodeStream, DecodesAStreamFarLongerThanItsWindow) {
  // One zero byte, then a single offset-1 copy of the rest: 100 MiB from a
  // stream of a few words, through the default window.
  constexpr std::uint32_t kLength = 100u << 20;
  const Bytes stream = StreamBuilder()
                           .Format8()
                           .Literal(0)
                           .Long(1, kLength - 1 - LengthBonus(1), 8)
                           .End()
                           .Build(kLength);
  std::vector<std::uint64_t> reports;
  const Progress progress{[](void* c, std::uint64_t done) {
                            static_cast<std::vector<std::uint64_t>*>(c)->push_back(done);
                          },
                          &reports};
  MemoryInput input(stream, 0);
  ZeroCheckingOutput output;
  const DecodeResult r = DecodeStream(input, output, progress);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.written, kLength);
  EXPECT_EQ(output.size, kLength);
  EXPECT_EQ(output.nonZero, 0u);
  // Progress comes at least once a window, rising, never past the end.
  ASSERT_GE(reports.size(), kLength / kDecodeWindow);
  EXPECT_TRUE(std::adjacent_find(reports.begin(), reports.end(), std::greater_equal<>()) ==
              reports.end());
  EXPECT_LE(reports.back(), kLength);
}

}  // namespace
}  // namespace cipherkern::pack
