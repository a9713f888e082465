// The block cipher on both paths against the FIPS-197 examples, against
// libcrypto and against each other.
#include "cipherkern/aes.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace cipherkern {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing_support::RandomBytes;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The reference: libcrypto's AES in ECB without padding.
Bytes LibcryptoEcb(bool encrypt, const Bytes& key, const Bytes& data) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(data.size() + 16);
  int len = 0;
  int tail = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), nullptr, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + len, &tail), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(len + tail));
  return out;
}

Bytes Encrypt(AesPath path, const Bytes& key, const Bytes& data) {
  AesKeySchedule schedule;
  EXPECT_TRUE(Aes_ExpandKey(key, &schedule));
  Bytes out(data.size());
  Aes_EncryptBlocks(schedule, path, data, out);
  return out;
}

Bytes Decrypt(AesPath path, const Bytes& key, const Bytes& data) {
  AesKeySchedule schedule;
  EXPECT_TRUE(Aes_ExpandKey(key, &schedule));
  Bytes out(data.size());
  Aes_DecryptBlocks(schedule, path, data, out);
  return out;
}

class AesPathTest : public testing::TestWithParam<AesPath> {
 protected:
  void SetUp() override {
    if (GetParam() == AesPath::kAesNi && !Aes_NiAvailable()) {
      GTEST_SKIP() << "this processor has no AES instructions";
    }
  }
};

TEST_P(AesPathTest, EncryptsAndDecryptsFips197Examples) {
  const Bytes plaintext = FromHex("00112233445566778899aabbccddeeff");
  struct Example {
    const char* key;
    const char* ciphertext;
  };
  const Example examples[] = {
      // FIPS-197 appendix C.1 (AES-128)
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      // FIPS-197 appendix C.2 (AES-192)
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      // FIPS-197 appendix C.3 (AES-256)
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const Example& e : examples) {
    SCOPED_TRACE(e.key);
    const Bytes key = FromHex(e.key);
    EXPECT_EQ(Encrypt(GetParam(), key, plaintext), FromHex(e.ciphertext));
    EXPECT_EQ(Decrypt(GetParam(), key, FromHex(e.ciphertext)), plaintext);
  }
}

// Lengths around the eight-block batches of the AES-NI path.
TEST_P(AesPathTest, MatchesLibcryptoForEveryKeySizeAndBlockCount) {
  for (std::size_t keySize : {16, 24, 32}) {
    for (std::size_t blocks = 0; blocks <= 33; ++blocks) {
      SCOPED_TRACE(testing::Message() << keySize << "-byte key, " << blocks << " blocks");
      const auto seed = static_cast<std::uint32_t>(keySize * 100 + blocks);
      const Bytes key = RandomBytes(keySize, seed);
      const Bytes data = RandomBytes(16 * blocks, seed + 1);
      EXPECT_EQ(Encrypt(GetParam(), key, data), LibcryptoEcb(true, key, data));
      EXPECT_EQ(Decrypt(GetParam(), key, data), LibcryptoEcb(false, key, data));
    }
  }
}

TEST_P(AesPathTest, TransformsInPlace) {
  const Bytes key = RandomBytes(32, 7);
  const Bytes original = RandomBytes(16 * 19, 8);
  AesKeySchedule schedule;
  ASSERT_TRUE(Aes_ExpandKey(key, &schedule));
  Bytes data = original;
  Aes_EncryptBlocks(schedule, GetParam(), data, data);
  EXPECT_EQ(data, LibcryptoEcb(true, key, original));
  Aes_DecryptBlocks(schedule, GetParam(), data, data);
  EXPECT_EQ(data, original);
}

INSTANTIATE_TEST_SUITE_P(Aes, AesPathTest, testing::Values(AesPath::kPortable, AesPath::kAesNi),
                         [](const testing::TestParamInfo<AesPath>& info) {
                           return info.param == AesPath::kPortable ? "Portable" : "AesNi";
                         });

TEST(Aes, BothPathsGiveIdenticalResultsOnAMegabyte) {
  if (!Aes_NiAvailable()) GTEST_SKIP() << "this processor has no AES instructions";
  const Bytes key = RandomBytes(32, 11);
  const Bytes data = RandomBytes(1 << 20, 12);
  const Bytes portable = Encrypt(AesPath::kPortable, key, data);
  EXPECT_EQ(Encrypt(AesPath::kAesNi, key, data), portable);
  EXPECT_EQ(Decrypt(AesPath::kAesNi, key, portable), data);
  EXPECT_EQ(Decrypt(AesPath::kPortable, key, portable), data);
}

TEST(Aes, ExpandsFips197Aes256KeyToItsLastRoundWord) {
  // FIPS-197 appendix A.3: the 256-bit key expansion ends with w[59].
  const Bytes key = FromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  AesKeySchedule schedule;
  ASSERT_TRUE(Aes_ExpandKey(key, &schedule));
  EXPECT_EQ(schedule.rounds, 14);
  EXPECT_EQ(schedule.encrypt[8], 0x9ba35411u);  // w[8], the first computed word
  EXPECT_EQ(schedule.encrypt[59], 0x706c631eu);
  // The decryption schedule starts with the last round key unchanged.
  EXPECT_EQ(schedule.decrypt[3], schedule.encrypt[59]);
  EXPECT_EQ(schedule.decrypt[56], schedule.encrypt[0]);
}

TEST(Aes, RefusesKeySizesOtherThan128192And256Bits) {
  for (std::size_t size : {0, 1, 15, 17, 20, 23, 25, 31, 33, 48, 64}) {
    AesKeySchedule schedule;
    EXPECT_FALSE(Aes_ExpandKey(Bytes(size, 0x42), &schedule)) << size << " bytes";
    EXPECT_EQ(schedule.rounds, 0);
  }
  for (std::size_t size : {16, 24, 32}) {
    AesKeySchedule schedule;
    ASSERT_TRUE(Aes_ExpandKey(Bytes(size, 0x42), &schedule));
    EXPECT_EQ(schedule.rounds, static_cast<int>(size / 4 + 6));
  }
}

}  // namespace
}  // namespace cipherkern
