// The AES bridges: the engine bound from the program's own data for each
// call, the key text from the password, and what the bridges leave on disk.
#include "crypto/aes_bridge.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sys/stat.h>

#include <fstream>

#include "crypto/engine_binding.h"
#include "crypto/fingerprint.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::Exists;
using testing_support::Listing;
using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

// Decrypts an AES body with libcrypto: AES-256-ECB, key = the key text's 16
// bytes twice, no padding removal.
std::vector<std::uint8_t> OpenSslDecryptBody(const std::vector<std::uint8_t>& body,
                                             const std::string& keyText) {
  std::uint8_t key[32];
  for (int i = 0; i < 16; ++i) {
    key[i] = key[i + 16] =
        static_cast<std::uint8_t>(std::stoi(keyText.substr(2 * i, 2), nullptr, 16));
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::vector<std::uint8_t> plain(body.size() + 16);
  int n = 0, m = 0;
  EVP_DecryptUpdate(ctx, plain.data(), &n, body.data(), static_cast<int>(body.size()));
  EVP_DecryptFinal_ex(ctx, plain.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  plain.resize(static_cast<std::size_t>(n + m));
  return plain;
}

// Mappings of this process that come from the bound engine image.
int EngineMappings() {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find("memfd:cipherkern") != std::string::npos ||
        line.find("tresolin-engine-") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

class AesBridge : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaultPlan(); }
  TempFolder dir_;
};

TEST_F(AesBridge, RoundTripLeavesNoPackOrDecFile) {
  const auto data = RandomBytes(40000);
  WriteFile(dir_ / "in", data);
  ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "body", "geheim"), 1);
  ASSERT_EQ(crypto::AES_Decrypt_File(dir_ / "body", dir_ / "out", "geheim"), 1);
  EXPECT_EQ(ReadFile(dir_ / "out"), data);
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"body", "in", "out"}));
}

TEST_F(AesBridge, BodyDecryptsWithLibcryptoUnderTheFourByteKey) {
  // Random data is stored, not packed: the pack container is the 8-byte
  // header (unpacked length, stored length) and the data.
  const auto data = RandomBytes(1000);
  WriteFile(dir_ / "in", data);
  ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "body", "Passwort"), 1);
  const auto plain =
      OpenSslDecryptBody(ReadFile(dir_ / "body"), std::string(crypto::AesKeyText("Pass").view()));
  ASSERT_EQ(plain.size(), 1008u);
  EXPECT_EQ(std::vector<std::uint8_t>(plain.begin(), plain.begin() + 8),
            (std::vector<std::uint8_t>{0xE8, 0x03, 0, 0, 0xE8, 0x03, 0, 0}));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), plain.begin() + 8));
}

TEST_F(AesBridge, ShortPasswordsMakeBodiesThatDecryptAgain) {
  const auto data = RandomBytes(100);
  WriteFile(dir_ / "in", data);
  for (std::string password : {"", "a", "abc", "abcd"}) {
    ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "body", password), 1);
    ASSERT_EQ(crypto::AES_Decrypt_File(dir_ / "body", dir_ / "out", password), 1) << password;
    EXPECT_EQ(ReadFile(dir_ / "out"), data) << password;
  }
}

// A caller that asks learns how the call went and sees its progress.
TEST_F(AesBridge, ReportSaysHowTheEngineCallWent) {
  WriteFile(dir_ / "in", RandomBytes(100000));
  crypto::EngineCallReport report;
  long long lastDone = 0;
  long long lastTotal = -1;
  report.progress = [&](long long done, long long total) {
    lastDone = done;
    lastTotal = total;
  };
  ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "body", "pw", &report), 1);
  EXPECT_EQ(report.outcome, crypto::EngineCallReport::Outcome::kDone);
  EXPECT_EQ(lastDone, lastTotal);

  crypto::EngineCallReport wrongKey;
  EXPECT_EQ(crypto::AES_Decrypt_File(dir_ / "body", dir_ / "out", "other", &wrongKey), 0);
  EXPECT_EQ(wrongKey.outcome, crypto::EngineCallReport::Outcome::kDamaged);

  crypto::EngineCallReport missing;
  EXPECT_EQ(crypto::AES_Encrypt_File(dir_ / "gone", dir_ / "body2", "pw", &missing), 0);
  EXPECT_EQ(missing.outcome, crypto::EngineCallReport::Outcome::kReadError);
  EXPECT_EQ(missing.systemError, ENOENT);
}

TEST_F(AesBridge, EachCallBindsAndReleasesTheEngine) {
  WriteFile(dir_ / "in", RandomBytes(5000));
  ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "one", "pw"), 1);
  EXPECT_EQ(EngineMappings(), 0);
  {
    const crypto::internal::BoundEngine engine;
    ASSERT_TRUE(engine.ok());
    EXPECT_GT(EngineMappings(), 0);
  }
  EXPECT_EQ(EngineMappings(), 0);
  ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "two", "pw"), 1);
  EXPECT_EQ(ReadFile(dir_ / "one"), ReadFile(dir_ / "two"));
}

TEST_F(AesBridge, OnlyTheExactExportNameIsFound) {
  EXPECT_TRUE(crypto::internal::BoundEngine("AES_Crypt_File").ok());
  EXPECT_FALSE(crypto::internal::BoundEngine("aes_crypt_file").ok());
  EXPECT_FALSE(crypto::internal::BoundEngine("AES_CRYPT_FILE").ok());
  EXPECT_FALSE(crypto::internal::BoundEngine("Engine_CryptFile").ok());
  EXPECT_FALSE(crypto::internal::BoundEngine("Pack_Compress").ok());
}

TEST_F(AesBridge, FallsBackToAPrivateFolderThatIsRemovedAfterTheCall) {
  TempFolder tmp;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ::setenv("TMPDIR", tmp.path().c_str(), 1);
  platform::FaultPlan plan;
  plan.noAnonymousFiles = true;
  platform::SetFaultPlan(plan);
  const auto data = RandomBytes(3000);
  WriteFile(dir_ / "in", data);
  {
    const crypto::internal::BoundEngine engine;
    ASSERT_TRUE(engine.ok());
    EXPECT_NE(engine.library().loadPath().find("tresolin-engine-"), std::string::npos);
    const auto made = Listing(tmp.path());
    ASSERT_EQ(made.size(), 1u);
    struct stat st;
    ASSERT_EQ(::stat((tmp / made[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  EXPECT_TRUE(Listing(tmp.path()).empty());
  ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "body", "pw"), 1);
  ASSERT_EQ(crypto::AES_Decrypt_File(dir_ / "body", dir_ / "out", "pw"), 1);
  EXPECT_EQ(ReadFile(dir_ / "out"), data);
  EXPECT_TRUE(Listing(tmp.path()).empty());
  if (old)
    ::setenv("TMPDIR", saved.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
}

TEST_F(AesBridge, DamagedBodiesReportFailureAndLeaveNoOutput) {
  WriteFile(dir_ / "in", std::string(20000, 'x') + "text that packs well");
  ASSERT_EQ(crypto::AES_Encrypt_File(dir_ / "in", dir_ / "body", "pw"), 1);
  const auto body = ReadFile(dir_ / "body");

  auto flipped = body;
  flipped[flipped.size() / 2] ^= 0x01;
  auto cut = body;
  cut.resize(cut.size() - 16);
  auto ragged = body;
  ragged.resize(ragged.size() - 3);
  for (const auto& damaged : {flipped, cut, ragged}) {
    WriteFile(dir_ / "bad", damaged);
    EXPECT_EQ(crypto::AES_Decrypt_File(dir_ / "bad", dir_ / "out", "pw"), 0);
    EXPECT_FALSE(Exists(dir_ / "out"));
    EXPECT_FALSE(Exists(dir_ / "out.dec"));
  }
  WriteFile(dir_ / "out", "stale");
  EXPECT_EQ(crypto::AES_Decrypt_File(dir_ / "body", dir_ / "out", "wrong"), 0);
  EXPECT_FALSE(Exists(dir_ / "out"));
}

TEST_F(AesBridge, MissingInputReportsFailureEvenOverAStaleOutput) {
  WriteFile(dir_ / "body", "left over from an earlier run");
  EXPECT_EQ(crypto::AES_Encrypt_File(dir_ / "missing", dir_ / "body", "pw"), 0);
  EXPECT_FALSE(Exists(dir_ / "body"));
  EXPECT_FALSE(Exists(dir_ / "missing.pack"));
}

}  // namespace
