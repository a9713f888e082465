#include "crypto/fingerprint.h"

#include <gtest/gtest.h>
#include <openssl/md5.h>

#include "tests/support/temp_folder.h"

namespace {

std::string OpenSslMd5Hex(const std::vector<std::uint8_t>& data) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5(data.data(), data.size(), digest);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return std::string(hex, 32);
}

// RFC 1321 appendix A.5.
TEST(Fingerprint, MatchesTheReferenceSuite) {
  EXPECT_EQ(crypto::Fingerprint_Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(crypto::Fingerprint_Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(crypto::Fingerprint_Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(crypto::Fingerprint_Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(crypto::Fingerprint_Hex("abcdefghijklmnopqrstuvwxyz"),
            "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(
      crypto::Fingerprint_Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
      "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(crypto::Fingerprint_Hex("1234567890123456789012345678901234567890123456789012345678901"
                                    "2345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// Every padding case (length mod 64 around 55/56/64) against libcrypto.
TEST(Fingerprint, AgreesWithLibcryptoForEveryLengthUpTo300) {
  for (std::size_t n = 0; n <= 300; ++n) {
    const auto data = testing_support::RandomBytes(n, static_cast<std::uint32_t>(n));
    ASSERT_EQ(crypto::Fingerprint_Hex(std::span<const std::uint8_t>(data)), OpenSslMd5Hex(data))
        << "length " << n;
  }
}

TEST(Fingerprint, IsAlwaysThirtyTwoLowerCaseHexCharacters) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = crypto::Fingerprint_Hex(std::to_string(i));
    ASSERT_EQ(text.size(), 32u);
    for (char c : text) ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << text;
  }
}

TEST(Fingerprint, HashesHighBytesAsUnsigned) {
  // "ä" in the single-byte code page is 0xE4.
  EXPECT_EQ(crypto::Fingerprint_Hex("\xE4"), OpenSslMd5Hex({0xE4}));
}

TEST(AesKeyText, HashesTheFirstFourBytesOnly) {
  EXPECT_EQ(crypto::AesKeyText("abcdefgh").view(), crypto::Fingerprint_Hex("abcd"));
  EXPECT_EQ(crypto::AesKeyText("abcdXYZ").view(), crypto::AesKeyText("abcd").view());
}

TEST(AesKeyText, FillsShortPasswordsWithZeroBytes) {
  // Three characters: the characters and the terminating zero, as containers
  // from elsewhere were keyed.
  EXPECT_EQ(crypto::AesKeyText("abc").view(), OpenSslMd5Hex({'a', 'b', 'c', 0}));
  EXPECT_EQ(crypto::AesKeyText("a").view(), OpenSslMd5Hex({'a', 0, 0, 0}));
  EXPECT_EQ(crypto::AesKeyText("").view(), OpenSslMd5Hex({0, 0, 0, 0}));
}

}  // namespace
