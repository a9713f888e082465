// Property: whatever the bytes, the pack stream decoder stays inside its
// buffers (the sanitizers watch that), writes nothing past the unpacked
// length, and reports success only with the whole unpacked length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_internal.h"

namespace {

// Larger unpacked lengths only cost memory here; the decoder refuses them
// for want of output all the same.
constexpr std::size_t kMaxOutput = std::size_t{1} << 20;
constexpr std::size_t kSlack = 64;
constexpr std::uint8_t kCanary = 0xa5;

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
  return 0;
}
