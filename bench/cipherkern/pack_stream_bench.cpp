// Pack stream codec next to zlib, on the same inputs, in one run.
//
//   pack_stream_bench [--rounds N] NAME=FILE...
//   pack_stream_bench --random SIZE PATH     writes SIZE seeded random bytes
//
// For each input: the streaming encoder as the engine calls it (window
// 65536, checksum on, both cores for inputs that long), the same on one
// thread, and zlib compress2 at level 9; then Pack_Decompress and zlib
// uncompress. Each encoder's wall-clock time and the CPU time of the whole
// process (both threads) are reported as MB/s, the best of N rounds that
// take the codecs by turns, so that a slow spell of a shared machine hits
// all of them alike. Every result is checked against the input.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_encoder_tuning.h"
#include "cipherkern/pack_stream_internal.h"
#include "cipherkern/pack_stream_io.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kEngineWindow = 65536;

double Now(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Wall-clock and process CPU seconds of one run; the best of several.
struct Times {
  double wall = 1e300;
  double cpu = 1e300;

  template <typename F>
  void Measure(F f) {
    const double wall0 = Now(CLOCK_MONOTONIC);
    const double cpu0 = Now(CLOCK_PROCESS_CPUTIME_ID);
    f();
    wall = std::min(wall, Now(CLOCK_MONOTONIC) - wall0);
    cpu = std::min(cpu, Now(CLOCK_PROCESS_CPUTIME_ID) - cpu0);
  }
};

[[noreturn]] void Fail(const char* what, const std::string& name) {
  std::fprintf(stderr, "pack_stream_bench: %s: %s\n", name.c_str(), what);
  std::exit(1);
}

class MemoryInput : public cipherkern::pack::EncodeInput {
 public:
  explicit MemoryInput(const Bytes& data) : data_(data) {}
  std::uint64_t Size() const override { return data_.size(); }
  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    std::memcpy(data, data_.data() + offset, n);
    return true;
  }

 private:
  const Bytes& data_;
};

// Appends to a buffer reserved up front, as a file would take the bytes.
class MemorySink : public cipherkern::pack::ByteSink {
 public:
  explicit MemorySink(Bytes* out) : out_(out) { out_->clear(); }
  bool Write(const std::uint8_t* data, std::size_t n) override {
    out_->insert(out_->end(), data, data + n);
    return true;
  }

 private:
  Bytes* out_;
};

// The engine's call: the stream, its checksum written in. Returns its size.
std::size_t PackStream(const Bytes& input, bool twoThreads, Bytes* out) {
  MemoryInput in(input);
  MemorySink sink(out);
  cipherkern::pack::StreamEncodeOptions options;
  options.window = kEngineWindow;
  cipherkern::pack::EncoderTuning tuning;
  if (!twoThreads) tuning.secondThreadFrom = SIZE_MAX;
  const cipherkern::pack::StreamEncodeResult r =
      cipherkern::pack::EncodeStreamTuned(in, sink, options, tuning);
  if (!r.ok()) return 0;
  for (int i = 0; i < 4; ++i) {
    (*out)[cipherkern::pack::kChecksumOffset + i] = static_cast<std::uint8_t>(r.checksum >> (8 * i));
  }
  return out->size();
}

void Row(const char* codec, std::size_t in, std::size_t packed, const Times& t) {
  const double mb = static_cast<double>(in) / 1e6;
  std::printf("  %-22s %12zu %7.3f %10.1f %10.1f\n", codec, packed,
              static_cast<double>(packed) / static_cast<double>(in), mb / t.wall, mb / t.cpu);
}

void Bench(const std::string& name, const std::string& file, int rounds) {
  std::ifstream f(file, std::ios::binary);
  if (!f) Fail("cannot read", file);
  const Bytes input((std::istreambuf_iterator<char>(f)), {});
  std::printf("%s: %zu bytes\n", name.c_str(), input.size());
  std::printf("  %-22s %12s %7s %10s %10s\n", "encoder", "packed", "ratio", "wall MB/s",
              "CPU MB/s");

  Bytes two;
  Bytes one;
  two.reserve(cipherkern::pack::EncodeBound(input.size()));
  one.reserve(cipherkern::pack::EncodeBound(input.size()));
  std::size_t twoSize = 0;
  std::size_t oneSize = 0;
  Bytes z(compressBound(input.size()));
  uLongf zsize = 0;
  Times pack2;
  Times pack1;
  Times zlib;
  // By turns, so that other load on the machine hits every codec alike.
  for (int i = 0; i < rounds; ++i) {
    pack2.Measure([&] { twoSize = PackStream(input, true, &two); });
    zlib.Measure([&] {
      zsize = z.size();
      if (compress2(z.data(), &zsize, input.data(), input.size(), 9) != Z_OK) {
        Fail("compress2 failed", name);
      }
    });
    pack1.Measure([&] { oneSize = PackStream(input, false, &one); });
  }
  if (twoSize == 0 || two != one) Fail("the encoder's streams differ by thread count", name);
  Row("pack stream, 2 threads", input.size(), twoSize, pack2);
  Row("pack stream, 1 thread", input.size(), oneSize, pack1);
  Row("zlib -9", input.size(), zsize, zlib);
  std::printf("  pack stream / zlib -9: wall %.2fx, CPU %.2fx (1 thread: %.2fx)\n",
              zlib.wall / pack2.wall, zlib.cpu / pack2.cpu, zlib.cpu / pack1.cpu);

  Bytes back(input.size());
  Times unpack;
  Times inflate;
  for (int i = 0; i < rounds; ++i) {
    std::size_t written = 0;
    unpack.Measure([&] { written = cipherkern::Pack_Decompress(two, back); });
    if (written != input.size() || back != input) Fail("pack stream round trip failed", name);
    std::fill(back.begin(), back.end(), 0);
    inflate.Measure([&] {
      uLongf n = back.size();
      if (uncompress(back.data(), &n, z.data(), zsize) != Z_OK || n != input.size()) {
        Fail("uncompress failed", name);
      }
    });
    if (back != input) Fail("zlib round trip failed", name);
  }
  const double mb = static_cast<double>(input.size()) / 1e6;
  std::printf("  decode MB/s (CPU): pack stream %.1f, inflate %.1f\n", mb / unpack.cpu,
              mb / inflate.cpu);
}

void WriteRandom(std::size_t size, const std::string& path) {
  std::mt19937_64 rng(20240601);
  Bytes out(size);
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t v = rng();
    for (std::size_t j = 0; j < 8 && i + j < size; ++j) {
      out[i + j] = static_cast<std::uint8_t>(v >> (8 * j));
    }
  }
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!f) Fail("cannot write", path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--random") {
    WriteRandom(std::strtoull(argv[2], nullptr, 10), argv[3]);
    return 0;
  }
  int rounds = 1;
  int i = 1;
  if (argc > 2 && std::string(argv[1]) == "--rounds") {
    rounds = std::max(1, std::atoi(argv[2]));
    i = 3;
  }
  if (i >= argc) {
    std::fprintf(stderr,
                 "usage: pack_stream_bench [--rounds N] NAME=FILE...\n"
                 "       pack_stream_bench --random SIZE PATH\n");
    return 2;
  }
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      Bench(arg, arg, rounds);
    } else {
      Bench(arg.substr(0, eq), arg.substr(eq + 1), rounds);
    }
  }
  return 0;
}
