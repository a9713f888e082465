// Property: every input packs into a stream that unpacks to it again; the
// fast match search takes the same decisions as the plain walk; the
// streaming encoder gives the same stream, read in small pieces so that its
// buffer slides many times; and Pack_Compress either refuses or gives
// exactly that stream, shorter than the input.
//
// Input layout: one byte of settings, then the data.
//   bits 0-2  window: 1024, 2048, 4096, 65536, 131072, 300, 0, 65536
//   bit 3     checksum on
//   bits 4-5  both set: grow the data to about 70000 bytes by repeating it
//             with small changes, so that long inputs (index bits 9 and
//             10, full windows) are reached from short fuzz inputs; they
//             take long, so only a quarter of the inputs do
//   bits 6-7  the streaming encoder's read size: 1, 7, 300, 4096 bytes (at
//             least 300 on inputs longer than 4096 bytes); with 7 and 4096
//             the match finder runs on a second thread
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_encoder_tuning.h"
#include "cipherkern/pack_stream_internal.h"
#include "cipherkern/pack_stream_io.h"

namespace {

constexpr std::uint32_t kWindows[8] = {1024, 2048, 4096, 65536, 131072, 300, 0, 65536};
constexpr std::size_t kReadChunks[4] = {1, 7, 300, 4096};
constexpr std::size_t kLongInputRead = 300;
constexpr std::size_t kGrownSize = 70000;
// The plain walk is slow on long inputs; compare the searches on short ones.
constexpr std::size_t kPlainCompareLimit = 4096;

std::vector<std::uint8_t> Grow(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  if (size == 0) return out;
  out.reserve(kGrownSize);
  std::uint8_t twist = 0;
  while (out.size() < kGrownSize) {
    for (std::size_t i = 0; i < size && out.size() < kGrownSize; ++i) {
      out.push_back(static_cast<std::uint8_t>(data[i] + (i % 97 == 0 ? twist : 0)));
    }
    ++twist;
  }
  return out;
}

std::vector<std::uint8_t> EncodeAll(const std::vector<std::uint8_t>& input, std::uint32_t window,
                                    bool checksum, cipherkern::pack::SearchMode mode) {
  std::vector<std::uint8_t> out(cipherkern::pack::EncodeBound(input.size()));
  const cipherkern::pack::EncodeResult r =
      cipherkern::pack::Encode(input, out, window, checksum, SIZE_MAX, mode);
  if (!r.ok()) std::abort();
  out.resize(r.size);
  return out;
}

class MemoryInput : public cipherkern::pack::EncodeInput {
 public:
  explicit MemoryInput(const std::vector<std::uint8_t>& data) : data_(data) {}
  std::uint64_t Size() const override { return data_.size(); }
  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    if (offset + n > data_.size()) std::abort();  // never past the length it was given
    std::memcpy(data, data_.data() + offset, n);
    return true;
  }

 private:
  const std::vector<std::uint8_t>& data_;
};

class MemorySink : public cipherkern::pack::ByteSink {
 public:
  bool Write(const std::uint8_t* data, std::size_t n) override {
    bytes.insert(bytes.end(), data, data + n);
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

// The stream of EncodeStream with its checksum written in, as the engine does.
std::vector<std::uint8_t> EncodeStreamed(const std::vector<std::uint8_t>& input,
                                         std::uint32_t window, bool checksum, std::size_t readChunk,
                                         bool twoThreads) {
  MemoryInput in(input);
  MemorySink sink;
  cipherkern::pack::StreamEncodeOptions options;
  options.window = window;
  options.withChecksum = checksum;
  cipherkern::pack::EncoderTuning tuning;
  tuning.readChunk = readChunk;
  tuning.secondThreadFrom = twoThreads ? 0 : SIZE_MAX;
  const cipherkern::pack::StreamEncodeResult r =
      cipherkern::pack::EncodeStreamTuned(in, sink, options, tuning);
  if (!r.ok() || r.size != sink.bytes.size()) std::abort();
  for (int i = 0; i < 4; ++i) {
    sink.bytes[cipherkern::pack::kChecksumOffset + i] =
        static_cast<std::uint8_t>(r.checksum >> (8 * i));
  }
  return sink.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t settings = data[0];
  const std::uint32_t window = kWindows[settings & 7];
  const bool checksum = (settings & 8) != 0;
  const std::vector<std::uint8_t> input = (settings & 0x30) == 0x30
                                              ? Grow(data + 1, size - 1)
                                              : std::vector<std::uint8_t>(data + 1, data + size);

  const std::vector<std::uint8_t> stream =
      EncodeAll(input, window, checksum, cipherkern::pack::SearchMode::kFast);
  std::vector<std::uint8_t> back(input.size());
  const cipherkern::pack::DecodeResult r = cipherkern::pack::Decode(stream, back);
  if (!r.ok() || back != input) std::abort();

  // Reads of a few bytes slide the buffer at nearly every step; on a grown
  // input that costs minutes, so long inputs read at least kLongInputRead.
  std::size_t readChunk = kReadChunks[settings >> 6];
  if (input.size() > kPlainCompareLimit) readChunk = std::max(readChunk, kLongInputRead);
  if (EncodeStreamed(input, window, checksum, readChunk, (settings & 0x40) != 0) != stream) {
    std::abort();
  }

  if (input.size() <= kPlainCompareLimit &&
      EncodeAll(input, window, checksum, cipherkern::pack::SearchMode::kPlain) != stream) {
    std::abort();
  }

  std::vector<std::uint8_t> bounded(input.size());
  const std::size_t n = cipherkern::Pack_Compress(input, bounded, window, checksum);
  if (n != 0) {
    if (n >= input.size() || n != stream.size()) std::abort();
    if (std::memcmp(bounded.data(), stream.data(), n) != 0) std::abort();
  }
  return 0;
}
