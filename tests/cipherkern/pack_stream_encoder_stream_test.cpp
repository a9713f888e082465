// The streaming encoder: the same stream as Encode whatever the pieces the
// input is read in and the sink written in, and the failures of either side
// passed on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cipherkern/pack_stream_encoder_tuning.h"
#include "cipherkern/pack_stream_internal.h"
#include "cipherkern/pack_stream_io.h"
#include "tests/support/temp_folder.h"

namespace cipherkern {
namespace {

using Bytes = std::vector<std::uint8_t>;
using pack::EncodeStatus;
using ::testing_support::RandomBytes;

// Input in memory; the reads from the one numbered failFrom (from 0) on
// fail.
class MemoryInput : public pack::EncodeInput {
 public:
  explicit MemoryInput(const Bytes& data, int failFrom = -1) : data_(data), failFrom_(failFrom) {}
  std::uint64_t Size() const override { return data_.size(); }
  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    const int index = reads_++;
    if ((failFrom_ >= 0 && index >= failFrom_) || offset + n > data_.size()) return false;
    std::memcpy(data, data_.data() + offset, n);
    return true;
  }
  int reads() const { return reads_; }

 private:
  const Bytes& data_;
  int failFrom_;
  int reads_ = 0;
};

// Output in memory; the write numbered failAt (from 0) fails.
class MemorySink : public pack::ByteSink {
 public:
  explicit MemorySink(int failAt = -1) : failAt_(failAt) {}
  bool Write(const std::uint8_t* data, std::size_t n) override {
    if (writes_++ == failAt_) return false;
    bytes.insert(bytes.end(), data, data + n);
    return true;
  }
  int writes() const { return writes_; }
  Bytes bytes;

 private:
  int failAt_;
  int writes_ = 0;
};

Bytes Encode(const Bytes& in, std::uint32_t window, bool checksum = true,
             std::uint64_t growthLimit = SIZE_MAX, EncodeStatus* status = nullptr) {
  Bytes out(pack::EncodeBound(in.size()));
  const pack::EncodeResult r = pack::Encode(in, out, window, checksum, growthLimit);
  if (status != nullptr) *status = r.status;
  out.resize(r.ok() ? r.size : 0);
  return out;
}

struct Streamed {
  pack::StreamEncodeResult result;
  Bytes stream;  // the checksum written in, as the caller does
};

// How the streaming encoder runs: the input's read size and whether the
// match finder takes a thread of its own.
struct StreamRun {
  std::size_t readChunk = std::size_t{1} << 20;
  bool twoThreads = false;
};

pack::EncoderTuning TuningFor(const StreamRun& run) {
  pack::EncoderTuning tuning;
  tuning.readChunk = run.readChunk;
  tuning.secondThreadFrom = run.twoThreads ? 0 : SIZE_MAX;
  return tuning;
}

Streamed EncodeStream(const Bytes& in, std::uint32_t window, const StreamRun& run,
                      bool checksum = true, std::uint64_t growthLimit = SIZE_MAX) {
  MemoryInput input(in);
  MemorySink sink;
  pack::StreamEncodeOptions options;
  options.window = window;
  options.withChecksum = checksum;
  options.growthLimit = growthLimit;
  Streamed out{pack::EncodeStreamTuned(input, sink, options, TuningFor(run)),
               std::move(sink.bytes)};
  if (out.result.ok()) {
    EXPECT_EQ(out.stream.size(), out.result.size);
    EXPECT_GE(out.stream.size(), kPackHeaderSize);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(out.stream[pack::kChecksumOffset + i], 0);
      out.stream[pack::kChecksumOffset + i] =
          static_cast<std::uint8_t>(out.result.checksum >> (8 * i));
    }
  }
  return out;
}

// Words and C-like lines with indentation and repeats.
Bytes Text(std::size_t n, std::uint32_t seed) {
  static const char* kWords[] = {"stream", "window", "match", "offset", "length", "the",
                                 "of",     "a",      "slide", "buffer", "sink",   "input"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    if (rng() % 3 == 0) {
      s += std::string(rng() % 5 * 4, ' ') + "if (" + kWords[rng() % 12] +
           " == " + std::to_string(rng() % 1000) + ") {\n";
    } else {
      for (int w = 0; w < 10; ++w) s += std::string(kWords[rng() % 12]) + " ";
      s += ".\n";
    }
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

// Machine code and tables with runs of zeros: this program's own bytes.
Bytes Program(std::size_t n) {
  std::ifstream self("/proc/self/exe", std::ios::binary);
  Bytes out(n);
  self.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
  out.resize(static_cast<std::size_t>(self.gcount()));
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(PackStreamEncodeStream, GivesEncodesStreamOnEveryInputClass) {
  // Each input with the engine's window and a small one, on one thread and
  // two, the input read in pieces of 1 byte (a slide before nearly every
  // step), of 4 KiB and at the default size. Raw blocks in the mixed and
  // random inputs roll back across slides and send the second thread back;
  // long matches reach back across slides.
  struct Case {
    const char* name;
    Bytes input;
  };
  const Bytes text = Text(300000, 1);
  const std::vector<Case> cases = {
      {"empty", {}},
      {"one byte", {0x41}},
      {"15 bytes", Text(15, 2)},
      {"16 bytes", Text(16, 3)},
      {"17 bytes", RandomBytes(17, 4)},
      {"window - 1", Text(65535, 5)},
      {"window", RandomBytes(65536, 6)},
      {"window + 1", Text(65537, 7)},
      {"text", text},
      {"machine code", Program(400000)},
      {"mixed", Concat({Text(70000, 8), RandomBytes(5000, 9), Program(60000), RandomBytes(700, 10),
                        Bytes(text.begin(), text.begin() + 90000)})},
      {"random", RandomBytes(200000, 11)},
      {"zeros", Bytes(300000, 0)},
  };
  for (const Case& c : cases) {
    for (std::uint32_t window : {65536u, 1024u}) {
      // The reference: one thread, the input in one piece where it fits.
      const Streamed reference = EncodeStream(c.input, window, StreamRun{});
      ASSERT_TRUE(reference.result.ok());
      EXPECT_TRUE(reference.stream == Encode(c.input, window)) << c.name << ", window " << window;
      for (bool twoThreads : {false, true}) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{4096}, std::size_t{1} << 20}) {
          // One-byte pieces cost a copy of the kept bytes per step, and with
          // two threads a wait for the coder: only with the small window and
          // one thread.
          if (chunk == 1 && (window > 1024 || twoThreads)) continue;
          SCOPED_TRACE(std::string(c.name) + ", window " + std::to_string(window) + ", chunk " +
                       std::to_string(chunk) + (twoThreads ? ", two threads" : ""));
          const Streamed streamed = EncodeStream(c.input, window, StreamRun{chunk, twoThreads});
          ASSERT_TRUE(streamed.result.ok()) << static_cast<int>(streamed.result.status);
          EXPECT_TRUE(streamed.stream == reference.stream);
        }
      }
    }
  }
}

TEST(PackStreamEncodeStream, TwoThreadsKeepTheDecisionsOfWideWindows) {
  // Windows above 65536: wider chain links, and index bits that rise twice
  // on the way, once inside the helper's stretches. The widest window leaves
  // no memory for the tables of two threads: it runs on one.
  const Bytes input =
      Concat({Text(200000, 30), Program(150000), RandomBytes(20000, 31), Text(100000, 32)});
  for (std::uint32_t window : {131072u, 1u << 20}) {
    SCOPED_TRACE(window);
    const Streamed one = EncodeStream(input, window, StreamRun{});
    const Streamed two = EncodeStream(input, window, StreamRun{std::size_t{1} << 20, true});
    ASSERT_TRUE(one.result.ok());
    ASSERT_TRUE(two.result.ok());
    EXPECT_TRUE(two.stream == one.stream);
  }
}

TEST(PackStreamEncodeStream, LeavesTheChecksumToTheCaller) {
  const Bytes input = Text(5000, 12);
  const Streamed with = EncodeStream(input, 65536, StreamRun{}, true);
  EXPECT_EQ(with.result.checksum, pack::Checksum(input));
  const Streamed without = EncodeStream(input, 65536, StreamRun{}, false);
  EXPECT_EQ(without.result.checksum, 0u);
  EXPECT_TRUE(without.stream == Encode(input, 65536, false));
}

TEST(PackStreamEncodeStream, GrowthLimitCountsTheWholeStream) {
  // The limit compares the words written, header included, as with Encode:
  // the same limits pass and fail around the stream's length.
  const Bytes input = Concat({Text(20000, 13), RandomBytes(3000, 14), Text(9000, 15)});
  const Bytes expected = Encode(input, 65536);
  int failed = 0;
  for (std::uint64_t limit = expected.size() - 8; limit <= expected.size(); ++limit) {
    SCOPED_TRACE(limit);
    EncodeStatus status;
    const Bytes bounded = Encode(input, 65536, true, limit, &status);
    for (bool twoThreads : {false, true}) {
      const Streamed streamed =
          EncodeStream(input, 65536, StreamRun{4096, twoThreads}, true, limit);
      EXPECT_EQ(streamed.result.status, status);
      if (status == EncodeStatus::kOk) {
        EXPECT_TRUE(streamed.stream == expected);
      }
    }
    failed += status == EncodeStatus::kGrew;
  }
  EXPECT_GT(failed, 0);
  // Random data passes the engine's limit of its own length.
  const Bytes noise = RandomBytes(100000, 16);
  for (bool twoThreads : {false, true}) {
    EXPECT_EQ(
        EncodeStream(noise, 65536, StreamRun{4096, twoThreads}, true, noise.size()).result.status,
        EncodeStatus::kGrew);
  }
}

TEST(PackStreamEncodeStream, PassesOnFailuresOfInputAndSink) {
  // Random data: a stream longer than the input, written in several pieces;
  // with two threads the input is read on the second one.
  const Bytes input = RandomBytes(400000, 17);
  pack::StreamEncodeOptions options;
  options.window = 4096;
  for (bool twoThreads : {false, true}) {
    SCOPED_TRACE(twoThreads ? "two threads" : "one thread");
    const pack::EncoderTuning tuning = TuningFor(StreamRun{16384, twoThreads});
    int reads = 0;
    int writes = 0;
    {
      MemoryInput in(input);
      MemorySink sink;
      ASSERT_TRUE(pack::EncodeStreamTuned(in, sink, options, tuning).ok());
      reads = in.reads();
      writes = sink.writes();
    }
    // The first, a middle and the last read or write: each one's failure
    // ends the encode. With two threads the reads follow the helper's pace,
    // so their number varies: only the first few are sure to come.
    ASSERT_GE(reads, 3);
    ASSERT_GE(writes, 3);
    const std::vector<int> readFailures =
        twoThreads ? std::vector<int>{0, 1, 2} : std::vector<int>{0, reads / 2, reads - 1};
    for (int failAt : readFailures) {
      SCOPED_TRACE(failAt);
      MemoryInput in(input, failAt);
      MemorySink sink;
      EXPECT_EQ(pack::EncodeStreamTuned(in, sink, options, tuning).status,
                EncodeStatus::kInputFailed);
      EXPECT_EQ(in.reads(), failAt + 1);
    }
    for (int failAt : {0, writes / 2, writes - 1}) {
      SCOPED_TRACE(failAt);
      MemoryInput in(input);
      MemorySink sink(failAt);
      EXPECT_EQ(pack::EncodeStreamTuned(in, sink, options, tuning).status,
                EncodeStatus::kOutputFailed);
      EXPECT_EQ(sink.writes(), failAt + 1);
    }
  }
}

// Input of any length that holds no bytes: a pattern worked out on read.
class PatternInput : public pack::EncodeInput {
 public:
  explicit PatternInput(std::uint64_t size) : size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>((offset + i) / 1000);
    return true;
  }

 private:
  std::uint64_t size_;
};

class CountingSink : public pack::ByteSink {
 public:
  bool Write(const std::uint8_t*, std::size_t n) override {
    bytes += n;
    return true;
  }
  std::uint64_t bytes = 0;
};

TEST(PackStreamEncodeStream, ReportsProgressOverLongInputs) {
  const std::uint64_t size = std::uint64_t{13} << 20;
  PatternInput input(size);
  CountingSink sink;
  std::vector<std::uint64_t> reports;
  pack::StreamEncodeOptions options;
  options.progress = {[](void* context, std::uint64_t done) {
                        static_cast<std::vector<std::uint64_t>*>(context)->push_back(done);
                      },
                      &reports};
  const pack::StreamEncodeResult r = pack::EncodeStream(input, sink, options);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(sink.bytes, r.size);
  ASSERT_GE(reports.size(), 3u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(reports.back(), size);
  // No long silence: every 8 MiB at least one report.
  std::uint64_t last = 0;
  for (std::uint64_t done : reports) {
    EXPECT_LE(done - last, std::uint64_t{8} << 20);
    last = done;
  }
}

TEST(PackStreamEncodeStream, RefusesWhatItCannotHoldInItsMemory) {
  // Lengths beyond the header's field, and windows whose search tables
  // and buffer pass the memory limit, are refused before any read.
  PatternInput tooLong(pack::kMaxUnpackedLength + 1);
  CountingSink sink;
  EXPECT_EQ(pack::EncodeStream(tooLong, sink, {}).status, EncodeStatus::kInputTooLong);
  PatternInput large(std::uint64_t{64} << 20);
  pack::StreamEncodeOptions options;
  options.window = std::uint32_t{32} << 20;
  EXPECT_EQ(pack::EncodeStream(large, sink, options).status, EncodeStatus::kNoMemory);
  EXPECT_EQ(sink.bytes, 0u);
}

}  // namespace
}  // namespace cipherkern
