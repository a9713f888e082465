// The file engine: what each call leaves on disk. libcrypto makes and reads
// bodies by the format wherever that has to happen independently of the
// engine's own cipher code.
#include "cipherkern/engine.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cipherkern/pack_container.h"
#include "cipherkern/pack_stream.h"
#include "tests/support/temp_folder.h"

namespace cipherkern {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using ::testing_support::RandomBytes;

constexpr char kKeyText[] = "00112233445566778899aabbccddeeff";
constexpr std::int64_t kChunk = 16384;

// Lines of words: the codec shrinks this well.
Bytes Text(std::size_t size) {
  static const char* const kWords[] = {"Datei ",   "wird ",   "verschluesselt ", "und ",
                                       "gepackt ", "Ordner ", "Passwort ",       "\r\n"};
  std::mt19937 rng(5);
  Bytes out;
  while (out.size() < size) {
    const char* w = kWords[rng() % 8];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
  }
  out.resize(size);
  return out;
}

Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A one-entry container as the format lays it out, the file stored.
Bytes StoredContainer(const Bytes& file) {
  return Concat({Le32(static_cast<std::uint32_t>(file.size())),
                 Le32(static_cast<std::uint32_t>(file.size())), file});
}

Bytes PackedContainer(const Bytes& file) {
  Bytes stream(file.size());
  const std::size_t n = Pack_Compress(file, stream, 65536, true);
  EXPECT_GT(n, 0u) << "test input must be compressible";
  stream.resize(n);
  return Concat(
      {Le32(static_cast<std::uint32_t>(file.size())), Le32(static_cast<std::uint32_t>(n)), stream});
}

Bytes KeyBytes(const char* keyText) {
  Bytes key;
  for (int i = 0; i < 64; i += 2) {
    key.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(keyText + i % 32, 2), nullptr, 16)));
  }
  return key;
}

Bytes LibcryptoEcb(bool encrypt, const Bytes& data, const char* keyText = kKeyText) {
  const Bytes key = KeyBytes(keyText);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(data.size() + 16);
  int len = 0;
  int tail = 0;
  EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size()));
  EVP_CipherFinal_ex(ctx, out.data() + len, &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(len + tail));
  return out;
}

// The body the format makes of a container: k bytes of value k to whole
// blocks, then AES-256-ECB.
Bytes ReferenceBody(Bytes container, const char* keyText = kKeyText) {
  const std::size_t k = (16 - container.size() % 16) % 16;
  container.insert(container.end(), k, static_cast<std::uint8_t>(k));
  return LibcryptoEcb(true, container, keyText);
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(f.good()) << path;
}

std::optional<Bytes> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  return fs::exists(fs::symlink_status(path));
}

class AesEngine : public testing::Test {
 protected:
  std::string Path(const std::string& name) const { return folder_ / name; }

  // Every file in the folder with its contents.
  std::map<std::string, Bytes> Snapshot() const {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::directory_iterator(folder_.path())) {
      files[e.path().filename().string()] = ReadFile(e.path().string()).value_or(Bytes{});
    }
    return files;
  }

  EngineStatus Run(EngineMode mode, const std::string& in, const std::string& out,
                   const char* keyText = kKeyText, std::int64_t chunk = kChunk,
                   AesPath path = Aes_BestPath()) {
    EngineRequest r;
    r.mode = mode;
    r.inputPath = in.c_str();
    r.outputPath = out.c_str();
    r.keyText = keyText;
    r.chunkSize = chunk;
    r.path = path;
    return Engine_CryptFile(r);
  }

  EngineStatus Encrypt(const std::string& in, const std::string& out, std::int64_t chunk = kChunk,
                       AesPath path = Aes_BestPath()) {
    return Run(EngineMode::kEncrypt, in, out, kKeyText, chunk, path);
  }
  EngineStatus Decrypt(const std::string& in, const std::string& out, std::int64_t chunk = kChunk,
                       AesPath path = Aes_BestPath()) {
    return Run(EngineMode::kDecrypt, in, out, kKeyText, chunk, path);
  }

  // Encrypts file, decrypts the body again and returns the restored bytes.
  std::optional<Bytes> RoundTrip(const Bytes& file) {
    WriteFile(Path("f"), file);
    if (Encrypt(Path("f"), Path("f_aes")) != EngineStatus::kOk) return std::nullopt;
    if (Decrypt(Path("f_aes"), Path("g")) != EngineStatus::kOk) return std::nullopt;
    return ReadFile(Path("g.dec"));
  }

  ::testing_support::TempFolder folder_;
};

TEST_F(AesEngine, EmptyFileGivesEmptyPackEmptyBodyAndEmptyRestoredFile) {
  WriteFile(Path("f"), {});
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("f.pack")), Bytes{});
  EXPECT_EQ(ReadFile(Path("f_aes")), Bytes{});
  ASSERT_EQ(Decrypt(Path("f_aes"), Path("g")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("g")), Bytes{});
  EXPECT_EQ(ReadFile(Path("g.dec")), Bytes{});
}

// Eight random bytes cannot be packed (a stream header alone is 10 bytes):
// the container is 8 + 8 = 16 bytes.
TEST_F(AesEngine, PadsSixteenByteContainerNotAtAll) {
  const Bytes file = RandomBytes(8, 1);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("f.pack")), StoredContainer(file));
  EXPECT_EQ(ReadFile(Path("f_aes")), LibcryptoEcb(true, StoredContainer(file)));
}

TEST_F(AesEngine, PadsSeventeenByteContainerToThirtyTwo) {
  const Bytes file = RandomBytes(9, 2);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  const Bytes body = ReadFile(Path("f_aes")).value();
  ASSERT_EQ(body.size(), 32u);
  const Bytes plain = LibcryptoEcb(false, body);
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 17), StoredContainer(file));
  EXPECT_EQ(Bytes(plain.begin() + 17, plain.end()), Bytes(15, 15));
  ASSERT_EQ(Decrypt(Path("f_aes"), Path("g")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("g.dec")), file);
  // The decrypted container is left as it was packed, without the padding.
  EXPECT_EQ(ReadFile(Path("g")), StoredContainer(file));
}

TEST_F(AesEngine, ContainerOfExactlyOneChunkGetsNoPadding) {
  const Bytes file = RandomBytes(kChunk - 8, 3);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  ASSERT_EQ(ReadFile(Path("f.pack"))->size(), static_cast<std::size_t>(kChunk));
  EXPECT_EQ(ReadFile(Path("f_aes")), LibcryptoEcb(true, StoredContainer(file)));
  ASSERT_EQ(Decrypt(Path("f_aes"), Path("g")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("g.dec")), file);
}

TEST_F(AesEngine, StoresAFileTheCodecCannotShrink) {
  const Bytes file = RandomBytes(100000, 4);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("f.pack")), StoredContainer(file));
  EXPECT_EQ(ReadFile(Path("f_aes")), ReferenceBody(StoredContainer(file)));
}

TEST_F(AesEngine, PacksCompressibleFilesAndRestoresThem) {
  const Bytes file = Text(300000);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  const Bytes pack = ReadFile(Path("f.pack")).value();
  ASSERT_GT(pack.size(), 10u);
  EXPECT_EQ(Bytes(pack.begin(), pack.begin() + 4), Le32(300000));
  EXPECT_EQ(Bytes(pack.begin() + 4, pack.begin() + 8),
            Le32(static_cast<std::uint32_t>(pack.size() - 8)));
  EXPECT_LT(pack.size(), file.size() / 2);
  EXPECT_EQ(pack[8], 'J');
  EXPECT_EQ(pack[9], 'C');
  EXPECT_EQ(ReadFile(Path("f_aes")), ReferenceBody(pack));
  ASSERT_EQ(Decrypt(Path("f_aes"), Path("g")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("g.dec")), file);
  EXPECT_EQ(ReadFile(Path("g")), pack);
}

TEST_F(AesEngine, RestoresFilesOfManySizes) {
  for (std::size_t size : {1, 7, 15, 16, 17, 255, 4096, 16383, 16384, 16385, 70001}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(RoundTrip(RandomBytes(size, static_cast<std::uint32_t>(size))),
              RandomBytes(size, static_cast<std::uint32_t>(size)));
    EXPECT_EQ(RoundTrip(Text(size)), Text(size));
  }
}

// The stored and the packed form of a container each reach every chunk
// boundary case: several full chunks and a padded remainder.
TEST_F(AesEngine, EveryChunkSizeThatIsAMultipleOf16GivesTheSameFiles) {
  for (const Bytes& file : {RandomBytes(70001, 6), Text(150003)}) {
    WriteFile(Path("f"), file);
    ASSERT_EQ(Encrypt(Path("f"), Path("ref_aes")), EngineStatus::kOk);
    const Bytes reference = ReadFile(Path("ref_aes")).value();
    for (std::int64_t chunk : {16, 32, 48, 4096, 16368, 16400, 65536, 1 << 20, 0x7ffffff0}) {
      SCOPED_TRACE(chunk);
      ASSERT_EQ(Encrypt(Path("f"), Path("f_aes"), chunk), EngineStatus::kOk);
      EXPECT_EQ(ReadFile(Path("f_aes")), reference);
      ASSERT_EQ(Decrypt(Path("ref_aes"), Path("g"), chunk), EngineStatus::kOk);
      EXPECT_EQ(ReadFile(Path("g.dec")), file);
    }
  }
}

TEST_F(AesEngine, ChunkSizeNotAPositiveMultipleOf16LeavesEveryFileUntouched) {
  const Bytes file = RandomBytes(1000, 7);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  WriteFile(Path("g"), {'o', 'l', 'd'});
  WriteFile(Path("g.dec"), {'s', 't', 'a', 'l', 'e'});
  const auto before = Snapshot();
  for (std::int64_t chunk : {1, 8, 15, 17, 16383, 16385, 0, -16, -16384}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(Encrypt(Path("f"), Path("f_aes"), chunk), EngineStatus::kBadArguments);
    EXPECT_EQ(Encrypt(Path("f"), Path("h_aes"), chunk), EngineStatus::kBadArguments);
    EXPECT_EQ(Decrypt(Path("f_aes"), Path("g"), chunk), EngineStatus::kBadArguments);
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_F(AesEngine, KeyTextsOtherThan32HexDigitsTouchNothing) {
  WriteFile(Path("f"), RandomBytes(100, 8));
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  const auto before = Snapshot();
  const char* const bad[] = {nullptr,
                             "",
                             "0011223344556677889900aabbccddee0",  // 33 digits
                             "0011223344556677889900aabbccdde",    // 31 digits
                             "00112233445566778899aabbccddeeg0",
                             "00112233445566778899aabbccddee 0",
                             "0x112233445566778899aabbccddeeff",
                             "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"};
  for (const char* key : bad) {
    SCOPED_TRACE(key == nullptr ? "null" : key);
    EXPECT_EQ(Run(EngineMode::kEncrypt, Path("f"), Path("h_aes"), key),
              EngineStatus::kBadArguments);
    EXPECT_EQ(Run(EngineMode::kDecrypt, Path("f_aes"), Path("g"), key),
              EngineStatus::kBadArguments);
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_F(AesEngine, NullOrEmptyPathsAndUnknownModesTouchNothing) {
  WriteFile(Path("f"), RandomBytes(100, 9));
  const auto before = Snapshot();
  EngineRequest r;
  r.keyText = kKeyText;
  r.inputPath = nullptr;
  r.outputPath = "x";
  EXPECT_EQ(Engine_CryptFile(r), EngineStatus::kBadArguments);
  r.inputPath = "";
  EXPECT_EQ(Engine_CryptFile(r), EngineStatus::kBadArguments);
  const std::string in = Path("f");
  r.inputPath = in.c_str();
  r.outputPath = nullptr;
  EXPECT_EQ(Engine_CryptFile(r), EngineStatus::kBadArguments);
  r.outputPath = "";
  EXPECT_EQ(Engine_CryptFile(r), EngineStatus::kBadArguments);
  const std::string out = Path("f_aes");
  r.outputPath = out.c_str();
  r.mode = static_cast<EngineMode>(2);
  EXPECT_EQ(Engine_CryptFile(r), EngineStatus::kBadArguments);
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(AesEngine, KeyIsTheKeyTextsSixteenBytesTwiceInEitherCase) {
  std::uint8_t key[kKeyLength];
  ASSERT_TRUE(Engine_KeyFromText("0123456789abcdefABCDEF0123456789", key));
  const Bytes half = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                      0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89};
  EXPECT_EQ(Bytes(key, key + kKeyLength), Concat({half, half}));

  const Bytes file = RandomBytes(5000, 10);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Run(EngineMode::kEncrypt, Path("f"), Path("lower"), "0123456789abcdefabcdef0123456789"),
            EngineStatus::kOk);
  ASSERT_EQ(Run(EngineMode::kEncrypt, Path("f"), Path("upper"), "0123456789ABCDEFABCDEF0123456789"),
            EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("lower")), ReadFile(Path("upper")));
  EXPECT_EQ(ReadFile(Path("lower")),
            ReferenceBody(StoredContainer(file), "0123456789ABCDEFABCDEF0123456789"));
}

TEST_F(AesEngine, SameInputTwiceGivesTheSameBodyOnEitherPath) {
  const Bytes file = Text(100000);
  WriteFile(Path("f"), file);
  ASSERT_EQ(Encrypt(Path("f"), Path("a")), EngineStatus::kOk);
  ASSERT_EQ(Encrypt(Path("f"), Path("b")), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("a")), ReadFile(Path("b")));
  if (!Aes_NiAvailable()) GTEST_SKIP() << "this processor has no AES instructions";
  ASSERT_EQ(Encrypt(Path("f"), Path("p"), kChunk, AesPath::kPortable), EngineStatus::kOk);
  ASSERT_EQ(Encrypt(Path("f"), Path("n"), kChunk, AesPath::kAesNi), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("p")), ReadFile(Path("a")));
  EXPECT_EQ(ReadFile(Path("n")), ReadFile(Path("a")));
  ASSERT_EQ(Decrypt(Path("a"), Path("gp"), kChunk, AesPath::kPortable), EngineStatus::kOk);
  ASSERT_EQ(Decrypt(Path("a"), Path("gn"), kChunk, AesPath::kAesNi), EngineStatus::kOk);
  EXPECT_EQ(ReadFile(Path("gp.dec")), file);
  EXPECT_EQ(ReadFile(Path("gn.dec")), file);
}

// Containers that are whole blocks get no padding, so a last byte p with p
// bytes of value p before it is data. A reader that cut p bytes of value p
// would lose them; the entry's stored length keeps them.
TEST_F(AesEngine, KeepsDataThatLooksLikePadding) {
  for (std::size_t tail : {1, 2, 8, 15}) {
    SCOPED_TRACE(tail);
    Bytes file = RandomBytes(24 - tail, static_cast<std::uint32_t>(tail));
    file.insert(file.end(), tail, static_cast<std::uint8_t>(tail));
    ASSERT_EQ(StoredContainer(file).size() % 16, 0u);
    EXPECT_EQ(RoundTrip(file), file);
  }
}

TEST_F(AesEngine, RestoresBodiesLaidOutByTheFormatWithoutTheEngine) {
  const Bytes random = RandomBytes(40000, 11);
  const Bytes text = Text(50000);
  const struct {
    const char* name;
    Bytes container;
    Bytes file;
  } cases[] = {
      {"empty", {}, {}},
      {"stored", StoredContainer(random), random},
      {"stored, one byte", StoredContainer({0x01}), {0x01}},
      {"packed", PackedContainer(text), text},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Path("body"), ReferenceBody(c.container));
    ASSERT_EQ(Decrypt(Path("body"), Path("g")), EngineStatus::kOk);
    EXPECT_EQ(ReadFile(Path("g.dec")), c.file);
    EXPECT_EQ(ReadFile(Path("g")), c.container);
  }
}

// An entry's data may go on after the stream's end code: those bytes mean
// nothing, and the padding is still found after the whole entry.
TEST_F(AesEngine, RestoresEntriesWithBytesAfterTheEndCode) {
  const Bytes text = Text(200000);
  for (std::size_t extra : {1, 3, 300000}) {
    SCOPED_TRACE(extra);
    Bytes container = PackedContainer(text);
    container.insert(container.end(), extra, 0x5a);
    const std::uint32_t stored = static_cast<std::uint32_t>(container.size() - 8);
    const Bytes length = Le32(stored);
    std::copy(length.begin(), length.end(), container.begin() + 4);
    WriteFile(Path("body"), ReferenceBody(container));
    ASSERT_EQ(Decrypt(Path("body"), Path("g")), EngineStatus::kOk);
    EXPECT_TRUE(ReadFile(Path("g.dec")) == text);
  }
}

// Each of these makes no ".dec" file, removes a stale one, and leaves no
// decrypted container behind.
TEST_F(AesEngine, DamagedBodiesMakeNoRestoredFile) {
  const Bytes text = Text(20000);
  const Bytes packed = PackedContainer(text);
  Bytes badChecksum = packed;
  badChecksum[8 + 6] ^= 0x01;
  Bytes badCodes = packed;
  badCodes[packed.size() / 2] ^= 0x40;
  Bytes noSignature = packed;
  noSignature[8] = 'X';
  Bytes streamLengthDiffers = packed;
  streamLengthDiffers[8 + 2] ^= 0x01;  // the stream header's unpacked length
  const Bytes garbage = RandomBytes(100, 12);
  const Bytes valid = ReferenceBody(StoredContainer(garbage));
  const struct {
    const char* name;
    Bytes body;
    EngineStatus status;
  } cases[] = {
      {"not whole blocks, one byte short", Bytes(valid.begin(), valid.end() - 1),
       EngineStatus::kNotBlockAligned},
      {"not whole blocks, one byte more", Concat({valid, {0}}), EngineStatus::kNotBlockAligned},
      {"wrong key", ReferenceBody(StoredContainer(garbage), "ffeeddccbbaa99887766554433221100"),
       EngineStatus::kDamagedContainer},
      {"checksum mismatch", ReferenceBody(badChecksum), EngineStatus::kDamagedContainer},
      {"damaged codes", ReferenceBody(badCodes), EngineStatus::kDamagedContainer},
      {"no signature", ReferenceBody(noSignature), EngineStatus::kDamagedContainer},
      {"stream length differs from entry", ReferenceBody(streamLengthDiffers),
       EngineStatus::kDamagedContainer},
      {"stored length past the end", ReferenceBody(Concat({Le32(100), Le32(101), garbage})),
       EngineStatus::kDamagedContainer},
      {"a block after the entry", Concat({valid, LibcryptoEcb(true, Bytes(16, 0))}),
       EngineStatus::kDamagedContainer},
      {"padding of wrong value",
       LibcryptoEcb(true, Concat({StoredContainer(garbage), Bytes(12, 11)})),
       EngineStatus::kDamagedContainer},
      {"unpacked length of 2 GiB",
       ReferenceBody(
           Concat({Le32(0x80000000u), Le32(20), Bytes{'J', 'C'}, Le32(0x80000000u), Bytes(14, 0)})),
       EngineStatus::kDamagedContainer},
      {"lengths beyond a single block", LibcryptoEcb(true, Bytes(16, 16)),
       EngineStatus::kDamagedContainer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(Path("body"), c.body);
    WriteFile(Path("g.dec"), {'s', 't', 'a', 'l', 'e'});
    EXPECT_EQ(Decrypt(Path("body"), Path("g")), c.status);
    EXPECT_FALSE(Exists(Path("g.dec")));
    EXPECT_FALSE(Exists(Path("g")));
  }
}

TEST_F(AesEngine, RefusesInputsOfTwoGibibytes) {
  // A sparse file: the size counts, nothing of it is read.
  WriteFile(Path("huge"), {});
  fs::resize_file(Path("huge"), static_cast<std::uintmax_t>(kMaxInputLength));
  WriteFile(Path("g.dec"), {'s', 't', 'a', 'l', 'e'});
  EXPECT_EQ(Encrypt(Path("huge"), Path("huge_aes")), EngineStatus::kInputTooLarge);
  EXPECT_EQ(Decrypt(Path("huge"), Path("g")), EngineStatus::kInputTooLarge);
  EXPECT_FALSE(Exists(Path("huge.pack")));
  EXPECT_FALSE(Exists(Path("huge_aes")));
  EXPECT_FALSE(Exists(Path("g")));
  EXPECT_FALSE(Exists(Path("g.dec")));
}

TEST(AesEngineLimits, BodiesStayBelowTwoGibibytes) {
  EXPECT_EQ(kMaxInputLength, std::int64_t{2} * 1024 * 1024 * 1024);
  EXPECT_TRUE(Engine_BodyFits(0));
  EXPECT_TRUE(Engine_BodyFits(static_cast<std::uint64_t>(kMaxBodyLength)));
  EXPECT_TRUE(Engine_BodyFits(static_cast<std::uint64_t>(kMaxBodyLength) - 15));
  // One byte more pads to exactly 2 GiB, which no trailer can carry.
  EXPECT_FALSE(Engine_BodyFits(static_cast<std::uint64_t>(kMaxBodyLength) + 1));
}

TEST(AesEngineLimits, RefusesEntriesAboveTheLongestFile) {
  EntryHeader header;
  const Bytes tooLong = Concat({Le32(kMaxEntryLength + 1u), Le32(0)});
  EXPECT_EQ(Container_ReadHeader(std::span<const std::uint8_t, 8>(tooLong.data(), 8), 16, &header),
            ContainerStatus::kTooLarge);
  const Bytes atLimit = Concat({Le32(kMaxEntryLength), Le32(0)});
  EXPECT_EQ(Container_ReadHeader(std::span<const std::uint8_t, 8>(atLimit.data(), 8), 16, &header),
            ContainerStatus::kOk);
  EXPECT_EQ(header.ContainerLength(), 8u);
}

TEST_F(AesEngine, MissingOrUnreadableInputMakesNoOutput) {
  fs::create_directory(Path("folder"));
  for (const char* name : {"missing", "folder"}) {
    SCOPED_TRACE(name);
    EXPECT_NE(Encrypt(Path(name), Path("x_aes")), EngineStatus::kOk);
    EXPECT_FALSE(Exists(Path(std::string(name) + ".pack")));
    EXPECT_FALSE(Exists(Path("x_aes")));
    EXPECT_NE(Decrypt(Path(name), Path("g")), EngineStatus::kOk);
    EXPECT_FALSE(Exists(Path("g")));
    EXPECT_FALSE(Exists(Path("g.dec")));
  }
}

TEST_F(AesEngine, OutputThatCannotBeCreatedLeavesNoPlaintextBehind) {
  WriteFile(Path("f"), Text(1000));
  EXPECT_EQ(Encrypt(Path("f"), Path("no/such/folder")), EngineStatus::kCannotCreateOutput);
  EXPECT_FALSE(Exists(Path("f.pack")));
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  EXPECT_EQ(Decrypt(Path("f_aes"), Path("no/such/folder")), EngineStatus::kCannotCreateOutput);
}

TEST_F(AesEngine, RefusesOutputsThatWouldReplaceTheInput) {
  const Bytes file = Text(1000);
  WriteFile(Path("f"), file);
  EXPECT_EQ(Encrypt(Path("f"), Path("f")), EngineStatus::kPathsOverlap);
  EXPECT_EQ(Encrypt(Path("f"), Path("./f")), EngineStatus::kPathsOverlap);
  EXPECT_EQ(ReadFile(Path("f")), file);
  EXPECT_EQ(Encrypt(Path("f"), Path("f.pack")), EngineStatus::kPathsOverlap);
  EXPECT_FALSE(Exists(Path("f.pack")));

  ASSERT_EQ(Encrypt(Path("f"), Path("g.dec")), EngineStatus::kOk);
  const Bytes body = ReadFile(Path("g.dec")).value();
  EXPECT_EQ(Decrypt(Path("g.dec"), Path("g.dec")), EngineStatus::kPathsOverlap);
  EXPECT_EQ(Decrypt(Path("g.dec"), Path("g")), EngineStatus::kPathsOverlap);
  EXPECT_EQ(ReadFile(Path("g.dec")), body);
}

TEST_F(AesEngine, PlaintextFilesAreReadableByTheOwnerOnly) {
  const mode_t oldMask = umask(022);
  WriteFile(Path("f"), Text(1000));
  WriteFile(Path("f.pack"), {1, 2, 3});
  ::chmod(Path("f.pack").c_str(), 0644);
  ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
  ASSERT_EQ(Decrypt(Path("f_aes"), Path("g")), EngineStatus::kOk);
  umask(oldMask);
  const auto mode = [&](const char* name) {
    return fs::status(Path(name)).permissions() & fs::perms::all;
  };
  EXPECT_EQ(mode("f.pack"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode("g"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode("g.dec"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode("f_aes"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
}

struct LimitedRun {
  EngineStatus status = EngineStatus::kBadArguments;
  int systemError = -1;
};

// Runs the engine in a child whose files may not grow beyond limit bytes, so
// that a write fails as on a full disk.
LimitedRun RunWithFileSizeLimit(rlim_t limit, EngineRequest request) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    int systemError = 0;
    request.systemError = &systemError;
    const EngineStatus status = Engine_CryptFile(request);
    (void)!write(pipeFds[1], &systemError, sizeof systemError);
    _exit(static_cast<int>(status));
  }
  close(pipeFds[1]);
  LimitedRun run;
  if (read(pipeFds[0], &run.systemError, sizeof run.systemError) != sizeof run.systemError) {
    run.systemError = -1;
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.status = static_cast<EngineStatus>(WEXITSTATUS(status));
  return run;
}

TEST_F(AesEngine, FailedWritesLeaveNoHalfWrittenFiles) {
  const Bytes random = RandomBytes(50001, 13);  // container 50009 bytes, body 50016
  const Bytes text = Text(200000);
  WriteFile(Path("r"), random);
  WriteFile(Path("t"), text);
  ASSERT_EQ(Encrypt(Path("r"), Path("r_aes")), EngineStatus::kOk);
  ASSERT_EQ(Encrypt(Path("t"), Path("t_aes")), EngineStatus::kOk);
  const std::string r = Path("r"), rOut = Path("x_aes"), rBody = Path("r_aes"),
                    tBody = Path("t_aes"), restored = Path("g");
  EngineRequest enc;
  enc.keyText = kKeyText;
  enc.inputPath = r.c_str();
  enc.outputPath = rOut.c_str();
  EngineRequest dec = enc;
  dec.mode = EngineMode::kDecrypt;
  dec.outputPath = restored.c_str();

  // Each write that fails says why: the file size limit, as a full disk
  // would say ENOSPC.
  const auto expectWriteFailed = [&](rlim_t limit, const EngineRequest& request) {
    const LimitedRun run = RunWithFileSizeLimit(limit, request);
    EXPECT_EQ(run.status, EngineStatus::kWriteFailed);
    EXPECT_EQ(run.systemError, EFBIG);
  };
  // The pack container does not fit.
  expectWriteFailed(4096, enc);
  EXPECT_FALSE(Exists(Path("r.pack")));
  EXPECT_FALSE(Exists(rOut));
  // The pack container fits, its padded body does not.
  expectWriteFailed(50009, enc);
  EXPECT_FALSE(Exists(Path("r.pack")));
  EXPECT_FALSE(Exists(rOut));
  // The decrypted container does not fit.
  dec.inputPath = rBody.c_str();
  expectWriteFailed(4096, dec);
  EXPECT_FALSE(Exists(restored));
  EXPECT_FALSE(Exists(restored + ".dec"));
  // The decrypted container fits, the unpacked file does not.
  dec.inputPath = tBody.c_str();
  expectWriteFailed(ReadFile(tBody)->size(), dec);
  EXPECT_FALSE(Exists(restored));
  EXPECT_FALSE(Exists(restored + ".dec"));
}

TEST_F(AesEngine, FailuresToOpenSayWhy) {
  fs::create_directory(Path("folder"));
  WriteFile(Path("f"), Text(100));
  const auto systemErrorOf = [&](EngineMode mode, const std::string& in, const std::string& out) {
    EngineRequest r;
    r.mode = mode;
    r.inputPath = in.c_str();
    r.outputPath = out.c_str();
    r.keyText = kKeyText;
    int systemError = -1;
    r.systemError = &systemError;
    (void)Engine_CryptFile(r);
    return systemError;
  };
  EXPECT_EQ(systemErrorOf(EngineMode::kEncrypt, Path("missing"), Path("x")), ENOENT);
  EXPECT_EQ(systemErrorOf(EngineMode::kEncrypt, Path("folder"), Path("x")), EISDIR);
  EXPECT_EQ(systemErrorOf(EngineMode::kEncrypt, Path("f"), Path("no/x")), ENOENT);
  // Causes that are not the system's leave it 0.
  WriteFile(Path("odd"), Bytes(17, 1));
  EXPECT_EQ(systemErrorOf(EngineMode::kDecrypt, Path("odd"), Path("g")), 0);
  EXPECT_EQ(systemErrorOf(EngineMode::kEncrypt, Path("f"), Path("f_aes")), 0);
}

// Progress rises to its total and ends there: encryption counts the input
// twice (packing, then the cipher), decryption the body once.
TEST_F(AesEngine, ReportsProgressUpToTheTotal) {
  struct Seen {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  };
  const auto run = [&](EngineMode mode, const std::string& in, const std::string& out) {
    Seen seen;
    EngineRequest r;
    r.mode = mode;
    r.inputPath = in.c_str();
    r.outputPath = out.c_str();
    r.keyText = kKeyText;
    r.progress = [](void* context, std::uint64_t done, std::uint64_t total) {
      static_cast<Seen*>(context)->reports.emplace_back(done, total);
    };
    r.progressContext = &seen;
    EXPECT_EQ(Engine_CryptFile(r), EngineStatus::kOk);
    return seen.reports;
  };
  const Bytes file = Concat({Text(600000), RandomBytes(400000, 21)});
  WriteFile(Path("f"), file);
  const std::uint64_t bodySize = (file.size() + 8 + 15) / 16 * 16;
  for (const auto& [mode, total] :
       {std::pair{EngineMode::kEncrypt, 2 * file.size()}, std::pair{EngineMode::kDecrypt, 0ul}}) {
    const auto reports = mode == EngineMode::kEncrypt ? run(mode, Path("f"), Path("f_aes"))
                                                      : run(mode, Path("f_aes"), Path("g"));
    ASSERT_FALSE(reports.empty());
    const std::uint64_t expectedTotal =
        mode == EngineMode::kEncrypt ? total : fs::file_size(Path("f_aes"));
    EXPECT_LE(reports.size(), 300u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i].second, expectedTotal);
      if (i > 0) {
        EXPECT_GT(reports[i].first, reports[i - 1].first);
      }
    }
    EXPECT_EQ(reports.back().first, expectedTotal);
  }
  EXPECT_LE(fs::file_size(Path("f_aes")), bodySize);
  EXPECT_EQ(ReadFile(Path("g.dec")), file);
}

// Files far longer than what the codec holds at once: the stream written as
// it is made gives the same container as packing the file whole, and a file
// the encoder cannot shrink is read again into a stored entry.
TEST_F(AesEngine, LongFilesGiveTheContainersOfTheWholeFileCodec) {
  const Bytes text = Text(1 << 20);
  const Bytes random = RandomBytes(1 << 20, 22);
  for (const Bytes* file : {&text, &random}) {
    SCOPED_TRACE(file == &text ? "text" : "random");
    WriteFile(Path("f"), *file);
    ASSERT_EQ(Encrypt(Path("f"), Path("f_aes")), EngineStatus::kOk);
    const Bytes expected = file == &text ? PackedContainer(*file) : StoredContainer(*file);
    EXPECT_TRUE(ReadFile(Path("f.pack")) == expected);
    EXPECT_TRUE(ReadFile(Path("f_aes")) == ReferenceBody(expected));
    ASSERT_EQ(Decrypt(Path("f_aes"), Path("g")), EngineStatus::kOk);
    EXPECT_TRUE(ReadFile(Path("g.dec")) == *file);
  }
}

}  // namespace
}  // namespace cipherkern
