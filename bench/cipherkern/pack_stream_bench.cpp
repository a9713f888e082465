// Pack stream codec next to zlib, on the same inputs, in one run.
//
//   pack_stream_bench [--rounds N] FILE...
//   pack_stream_bench --random SIZE PATH     writes SIZE seeded random bytes
//
// For each file: Pack_Compress as the engine calls it (window 65536,
// checksum on) and Pack_Decompress, zlib compress2 at level 9 and
// uncompress (inflate). Times are CPU time of this thread, the best of N
// rounds that take the codecs by turns, so that other load on the machine
// counts less. Every result is checked against the input. When
// Pack_Compress refuses (the stream would not be shorter, so the engine
// stores the file) the decoder is timed on the stream it would have written.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_internal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kEngineWindow = 65536;

double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs f once; returns its time in seconds.
template <typename F>
double Seconds(F f) {
  const double start = ThreadSeconds();
  f();
  return ThreadSeconds() - start;
}

[[noreturn]] void Fail(const char* what, const std::string& file) {
  std::fprintf(stderr, "pack_stream_bench: %s: %s\n", file.c_str(), what);
  std::exit(1);
}

void Report(const char* codec, std::size_t in, std::size_t packed, double enc, double dec,
            const char* note) {
  const double mb = static_cast<double>(in) / 1e6;
  std::printf("  %-14s %12zu %8.3f %10.1f %10.1f  %s\n", codec, packed,
              static_cast<double>(packed) / static_cast<double>(in), mb / enc, mb / dec, note);
}

void Bench(const std::string& file, int rounds) {
  std::ifstream f(file, std::ios::binary);
  if (!f) Fail("cannot read", file);
  const Bytes input((std::istreambuf_iterator<char>(f)), {});
  std::printf("%s: %zu bytes\n", file.c_str(), input.size());
  std::printf("  %-14s %12s %8s %10s %10s\n", "codec", "packed", "ratio", "enc MB/s", "dec MB/s");

  Bytes packed(input.size());
  std::size_t size = 0;
  Bytes z(compressBound(input.size()));
  uLongf zsize = 0;
  Bytes back(input.size());
  // The rounds take the codecs by turns, so that a slow spell of a shared
  // machine hits both alike.
  double enc = 1e300;
  double zenc = 1e300;
  for (int i = 0; i < rounds; ++i) {
    // Pack stream, as the engine calls it.
    enc = std::min(enc, Seconds([&] {
                     size = cipherkern::Pack_Compress(input, packed, kEngineWindow, true);
                   }));
    // zlib at level 9.
    zenc = std::min(zenc, Seconds([&] {
                      zsize = z.size();
                      if (compress2(z.data(), &zsize, input.data(), input.size(), 9) != Z_OK) {
                        Fail("compress2 failed", file);
                      }
                    }));
  }
  const char* note = "";
  if (size == 0) {
    // Refused: time the decoder on the stream without the growth limit.
    note = "(stored by the engine; decode timed on the unlimited stream)";
    packed.assign(cipherkern::pack::EncodeBound(input.size()), 0);
    const cipherkern::pack::EncodeResult r =
        cipherkern::pack::Encode(input, packed, kEngineWindow, true, SIZE_MAX);
    if (!r.ok()) Fail("encode failed", file);
    size = r.size;
  }
  packed.resize(size);

  double dec = 1e300;
  double zdec = 1e300;
  for (int i = 0; i < rounds; ++i) {
    std::size_t written = 0;
    dec = std::min(dec, Seconds([&] { written = cipherkern::Pack_Decompress(packed, back); }));
    if (written != input.size() || back != input) Fail("pack stream round trip failed", file);
    std::fill(back.begin(), back.end(), 0);
    zdec =
        std::min(zdec, Seconds([&] {
                   uLongf n = back.size();
                   if (uncompress(back.data(), &n, z.data(), zsize) != Z_OK || n != input.size()) {
                     Fail("uncompress failed", file);
                   }
                 }));
    if (back != input) Fail("zlib round trip failed", file);
  }
  Report("pack stream", input.size(), size, enc, dec, note);
  Report("zlib -9", input.size(), zsize, zenc, zdec, "");
  std::printf("  pack stream / zlib: encode %.2fx, decode %.2fx\n", zenc / enc, zdec / dec);
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
                 "usage: pack_stream_bench [--rounds N] FILE...\n"
                 "       pack_stream_bench --random SIZE PATH\n");
    return 2;
  }
  for (; i < argc; ++i) Bench(argv[i], rounds);
  return 0;
}
