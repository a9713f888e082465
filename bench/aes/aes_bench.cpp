// AES engine benchmark driver (see bench/aes/run).
//
//   aes_bench input <path> <bytes> text|random   writes a deterministic input
//   aes_bench ecb <path> [rounds]                AES-256-ECB throughput of both
//                                                paths, libcrypto and
//                                                `openssl enc`, best of rounds
//   aes_bench call <mode> <in> <out>             one AES_Crypt_File call through
//                                                libcipherkern.so, for time -v
#include <dlfcn.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "cipherkern/aes.h"
#include "cipherkern/cipherkern.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using cipherkern::AesPath;

// The key text the engine calls use, and the 32-byte key it stands for.
constexpr char kKeyText[] = "8f14e45fceea167a5a36dedd4bea2543";

Bytes Key() {
  Bytes key;
  for (int i = 0; i < 64; i += 2) {
    key.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(kKeyText + i % 32, 2), nullptr, 16)));
  }
  return key;
}

std::string KeyHex() {
  return std::string(kKeyText) + kKeyText;
}

double Seconds(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool ReadAll(const char* path, Bytes* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

// Text of adjustable sameness: lines of words drawn from a small vocabulary,
// which the pack codec shrinks to roughly a third.
int MakeInput(const char* path, std::uint64_t size, const std::string& kind) {
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 1;
  std::mt19937_64 rng(42);
  static const char* const kWords[] = {
      "Datei",      "Ordner", "wird",   "verschluesselt", "und", "gepackt", "der",    "Passwort",
      "Sicherheit", "Kopie",  "Archiv", "Schluessel",     "neu", "alt",     "Bericht"};
  std::string block;
  std::vector<char> raw(1 << 20);
  for (std::uint64_t written = 0; written < size;) {
    std::size_t n = 0;
    if (kind == "random") {
      for (std::size_t i = 0; i + 8 <= raw.size(); i += 8) {
        const std::uint64_t v = rng();
        std::memcpy(raw.data() + i, &v, 8);
      }
      n = raw.size();
    } else {
      block.clear();
      while (block.size() < raw.size()) {
        const int words = 4 + static_cast<int>(rng() % 9);
        for (int w = 0; w < words; ++w) {
          block += kWords[rng() % std::size(kWords)];
          block += w + 1 < words ? ' ' : '.';
        }
        block += "\r\n";
      }
      std::memcpy(raw.data(), block.data(), raw.size());
      n = raw.size();
    }
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - written));
    if (std::fwrite(raw.data(), 1, n, f) != n) return 1;
    written += n;
  }
  return std::fclose(f) == 0 ? 0 : 1;
}

void Evp(const Bytes& key, const Bytes& in, Bytes* out) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  int tail = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, out->data(), &len, in.data(), static_cast<int>(in.size()));
  EVP_EncryptFinal_ex(ctx, out->data() + len, &tail);
  EVP_CIPHER_CTX_free(ctx);
}

// File to file in 16 KiB chunks, the way the engine and `openssl enc` move data.
bool FileToFile(const cipherkern::AesKeySchedule& schedule, AesPath path, const char* in,
                const char* out) {
  std::FILE* fi = std::fopen(in, "rb");
  std::FILE* fo = std::fopen(out, "wb");
  if (fi == nullptr || fo == nullptr) return false;
  std::vector<std::uint8_t> a(CIPHERKERN_CHUNK_SIZE), b(CIPHERKERN_CHUNK_SIZE);
  std::size_t n = 0;
  while ((n = std::fread(a.data(), 1, a.size(), fi)) > 0) {
    n -= n % 16;
    cipherkern::Aes_EncryptBlocks(schedule, path, {a.data(), n}, {b.data(), n});
    std::fwrite(b.data(), 1, n, fo);
  }
  std::fclose(fi);
  return std::fclose(fo) == 0;
}

struct Contender {
  std::string name;
  std::function<void()> run;
  double best = 1e300;
};

// Runs the contenders in turns, round after round, keeping each one's best
// time: on a shared machine a busy spell then hurts all of them alike.
void Race(std::vector<Contender>& contenders, int rounds, double megabytes) {
  for (int r = 0; r < rounds; ++r) {
    for (Contender& c : contenders) c.best = std::min(c.best, Seconds(c.run));
  }
  const double peer = contenders.front().best;
  for (const Contender& c : contenders) {
    std::printf("  %-44s %8.0f %8.2f\n", c.name.c_str(), megabytes / c.best, peer / c.best);
  }
}

// Three views of the same work, each against its peer: file to file as
// `openssl enc` does it (the peer the targets name), the whole input in
// memory, and one 16 KiB chunk in cache as the engine's chunk loop sees it
// (the cipher alone).
int Ecb(const char* path, int rounds) {
  Bytes data;
  if (!ReadAll(path, &data)) return 1;
  data.resize(data.size() - data.size() % 16);
  const double mb = static_cast<double>(data.size()) / 1e6;
  const Bytes key = Key();
  cipherkern::AesKeySchedule schedule;
  if (!cipherkern::Aes_ExpandKey(key, &schedule)) return 1;
  Bytes out(data.size());
  Bytes back(data.size());
  Bytes reference(data.size());
  Evp(key, data, &reference);
  std::vector<AesPath> paths = {AesPath::kPortable};
  if (cipherkern::Aes_NiAvailable()) paths.push_back(AesPath::kAesNi);
  const auto name = [](AesPath p) { return p == AesPath::kAesNi ? "aes-ni" : "portable"; };

  std::printf("AES-256-ECB, %.1f MiB input, best of %d rounds%s\n",
              static_cast<double>(data.size()) / 1048576.0, rounds,
              paths.size() == 1 ? " (no AES instructions here)" : "");
  std::printf("  %-44s %8s %8s\n", "", "MB/s", "x peer");

  // Every contender's output is checked once before it is timed.
  const std::string tmp = std::string(path) + ".ecb";
  const std::string command =
      "openssl enc -aes-256-ecb -nopad -K " + KeyHex() + " -in '" + path + "' -out '" + tmp + "'";
  std::vector<Contender> files = {{"openssl enc -aes-256-ecb -nopad", [&] {
                                     if (std::system(command.c_str()) != 0) std::exit(1);
                                   }}};
  for (AesPath p : paths) {
    files.push_back({name(p), [&, p] { FileToFile(schedule, p, path, tmp.c_str()); }});
  }
  Bytes fileOut;
  for (Contender& c : files) {
    c.run();
    if (!ReadAll(tmp.c_str(), &fileOut) || fileOut != reference) {
      std::printf("%s disagrees with libcrypto\n", c.name.c_str());
      return 1;
    }
  }
  std::printf(" file to file, 16 KiB chunks (peer: openssl enc)\n");
  Race(files, rounds, mb);
  std::remove(tmp.c_str());

  std::vector<Contender> memory = {{"libcrypto EVP encrypt", [&] { Evp(key, data, &out); }}};
  for (AesPath p : paths) {
    memory.push_back({std::string(name(p)) + " encrypt",
                      [&, p] { cipherkern::Aes_EncryptBlocks(schedule, p, data, out); }});
    memory.push_back({std::string(name(p)) + " decrypt",
                      [&, p] { cipherkern::Aes_DecryptBlocks(schedule, p, reference, back); }});
    cipherkern::Aes_EncryptBlocks(schedule, p, data, out);
    cipherkern::Aes_DecryptBlocks(schedule, p, reference, back);
    if (out != reference || back != data) {
      std::printf("%s disagrees with libcrypto\n", name(p));
      return 1;
    }
  }
  std::printf(" whole input in memory (peer: libcrypto EVP)\n");
  Race(memory, rounds, mb);

  // The same number of bytes, as passes over one chunk that stays in cache.
  const std::size_t chunk = CIPHERKERN_CHUNK_SIZE;
  const std::size_t passes = data.size() / chunk;
  const std::span<const std::uint8_t> in(data.data(), chunk);
  const std::span<std::uint8_t> to(out.data(), chunk);
  std::vector<Contender> cache = {
      {"libcrypto EVP encrypt", [&] {
         EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
         EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
         EVP_CIPHER_CTX_set_padding(ctx, 0);
         int len = 0;
         for (std::size_t i = 0; i < passes; ++i) {
           EVP_EncryptUpdate(ctx, to.data(), &len, in.data(), static_cast<int>(chunk));
         }
         EVP_CIPHER_CTX_free(ctx);
       }}};
  for (AesPath p : paths) {
    cache.push_back({std::string(name(p)) + " encrypt", [&, p] {
                       for (std::size_t i = 0; i < passes; ++i) {
                         cipherkern::Aes_EncryptBlocks(schedule, p, in, to);
                       }
                     }});
    cache.push_back({std::string(name(p)) + " decrypt", [&, p] {
                       for (std::size_t i = 0; i < passes; ++i) {
                         cipherkern::Aes_DecryptBlocks(schedule, p, in, to);
                       }
                     }});
  }
  std::printf(" one 16 KiB chunk in cache, input size in total (peer: libcrypto EVP)\n");
  Race(cache, rounds, static_cast<double>(passes * chunk) / 1e6);
  return 0;
}

int Call(int mode, const char* in, const char* out) {
#ifdef CIPHERKERN_LIBRARY_PATH
  void* handle = dlopen(CIPHERKERN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return 1;
  const auto crypt = reinterpret_cast<AES_Crypt_File_Fn>(dlsym(handle, CIPHERKERN_EXPORT_NAME));
  if (crypt == nullptr) return 1;
  crypt(mode, in, out, kKeyText, CIPHERKERN_CHUNK_SIZE);
  dlclose(handle);
  return 0;
#else
  (void)mode, (void)in, (void)out;
  return 1;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "input" && argc == 5)
    return MakeInput(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4]);
  if (command == "ecb" && (argc == 3 || argc == 4))
    return Ecb(argv[2], argc == 4 ? std::atoi(argv[3]) : 3);
  if (command == "call" && argc == 5) return Call(std::atoi(argv[2]), argv[3], argv[4]);
  std::fprintf(stderr,
               "usage: aes_bench input <path> <bytes> text|random\n"
               "       aes_bench ecb <path> [rounds]\n"
               "       aes_bench call <mode> <in> <out>\n");
  return 2;
}
