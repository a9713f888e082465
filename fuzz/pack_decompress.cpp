// Property: whatever the bytes, the pack stream decoder stays inside its
// buffers (the sanitizers watch that), writes nothing past the unpacked
// length, and reports success only with the whole unpacked length; the
// streaming decoder, with a window and reads small enough that every code
// crosses their edges, gives the same bytes, status and written count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_decoder.h"
#include "cipherkern/pack_stream_internal.h"
#include "cipherkern/pack_stream_io.h"

namespace {

// Larger unpacked lengths only cost memory here; the decoder refuses them
// for want of output all the same.
constexpr std::size_t kMaxOutput = std::size_t{1} << 20;
constexpr std::size_t kSlack = 64;
constexpr std::uint8_t kCanary = 0xa5;

// The input in pieces of 1..maxRead bytes.
class PieceInput : public cipherkern::pack::StreamInput {
 public:
  PieceInput(const std::uint8_t* data, std::size_t size, std::size_t maxRead)
      : data_(data), size_(size), maxRead_(maxRead) {}

  std::int64_t Read(std::uint8_t* out, std::size_t n) override {
    const std::size_t take = std::min({n, size_ - pos_, 1 + reads_++ % maxRead_});
    std::memcpy(out, data_ + pos_, take);
    pos_ += take;
    return static_cast<std::int64_t>(take);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t maxRead_;
  std::size_t pos_ = 0;
  std::size_t reads_ = 0;
};

class MemoryOutput : public cipherkern::pack::DecodeOutput {
 public:
  bool Write(const std::uint8_t* data, std::size_t n) override {
    bytes.insert(bytes.end(), data, data + n);
    return true;
  }
  bool ReadBack(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    // Only what was written may be asked for.
    if (offset + n > bytes.size()) std::abort();
    std::memcpy(data, bytes.data() + offset, n);
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> stream(data, size);
  const std::size_t length = cipherkern::Pack_UnpackedLength(stream);
  if (length > kMaxOutput) {
    std::vector<std::uint8_t> small(16);
    if (cipherkern::Pack_Decompress(stream, small) != 0) std::abort();
    return 0;
  }
  std::vector<std::uint8_t> out(length + kSlack, kCanary);
  const cipherkern::pack::DecodeResult r = cipherkern::pack::Decode(stream, out);
  if (r.ok() && r.written != length) std::abort();
  if (r.written > length) std::abort();
  for (std::size_t i = length; i < out.size(); ++i) {
    if (out[i] != kCanary) std::abort();
  }
  // The public call agrees.
  std::vector<std::uint8_t> exact(length);
  const std::size_t n = cipherkern::Pack_Decompress(stream, exact);
  if (n != (r.ok() ? length : 0)) std::abort();

  // The streaming decoder agrees, with sizes that vary from input to input:
  // windows of 16 bytes to 2 KiB, buffers of 4 to 16 bytes, reads of 1 to 7.
  const cipherkern::pack::StreamDecodeBuffers buffers{std::size_t{16} << (size % 8), 4 + size % 13};
  PieceInput input(data, size, 1 + size % 7);
  MemoryOutput output;
  const cipherkern::pack::DecodeResult s =
      cipherkern::pack::DecodeStreamBuffered(input, output, {}, buffers);
  if (s.status != r.status || s.written != r.written || output.bytes.size() != r.written) {
    std::abort();
  }
  if (!std::equal(output.bytes.begin(), output.bytes.end(), out.begin())) std::abort();
  return 0;
}
