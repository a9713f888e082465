#include "crypto/rc4.h"

#include <gtest/gtest.h>

#include <openssl/rc4.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

std::vector<std::uint8_t> OpenSslRc4(const std::vector<std::uint8_t>& key,
                                     std::vector<std::uint8_t> data) {
  RC4_KEY k;
  RC4_set_key(&k, static_cast<int>(key.size()), key.data());
  RC4(&k, data.size(), data.data(), data.data());
  return data;
}

std::vector<std::uint8_t> Ours(std::string_view password, std::vector<std::uint8_t> data) {
  crypto::RC4_Crypt_Buffer(data, password);
  return data;
}

// RFC 6229, 40-bit key 0x0102030405, keystream at offsets 0 and 16.
TEST(Rc4, ProducesTheRfc6229Keystream) {
  const std::vector<std::uint8_t> stream =
      Ours("\x01\x02\x03\x04\x05", std::vector<std::uint8_t>(32));
  const std::vector<std::uint8_t> expected = {0xb2, 0x39, 0x63, 0x05, 0xf0, 0x3d, 0xc0, 0x27,
                                              0xcc, 0xc3, 0x52, 0x4a, 0x0a, 0x11, 0x18, 0xa8,
                                              0x69, 0x82, 0x94, 0x4f, 0x18, 0xfc, 0x82, 0xd5,
                                              0x89, 0xc4, 0x03, 0xa4, 0x7a, 0x0d, 0x09, 0x19};
  EXPECT_EQ(stream, expected);
}

TEST(Rc4, AgreesWithLibcryptoForAssortedPasswords) {
  const auto data = RandomBytes(5000);
  for (std::string password : {"a", "geheim", "Passwort mit Leerzeichen", "\xE4\xDF\xFF\x80"}) {
    const std::vector<std::uint8_t> key(password.begin(), password.end());
    EXPECT_EQ(Ours(password, data), OpenSslRc4(key, data)) << password;
  }
}

TEST(Rc4, KeysAnEmptyPasswordWith256ZeroBytes) {
  const auto data = RandomBytes(100);
  EXPECT_EQ(Ours("", data), OpenSslRc4(std::vector<std::uint8_t>(256, 0), data));
}

TEST(Rc4, UsesOnlyTheFirst256PasswordBytes) {
  const auto data = RandomBytes(100);
  const std::string longPassword(300, 'x');
  EXPECT_EQ(Ours(longPassword + "tail", data), Ours(std::string(256, 'x'), data));
}

class Rc4File : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaultPlan(); }
  TempFolder dir_;
};

TEST_F(Rc4File, StreamedTransformEqualsTheWholeBufferTransform) {
  // Larger than one streaming block, with a ragged end.
  const auto data = RandomBytes((1 << 20) * 2 + 12345);
  WriteFile(dir_ / "in", data);
  ASSERT_EQ(crypto::RC4_Crypt_File(dir_ / "in", dir_ / "out", "pw"), 1);
  EXPECT_EQ(ReadFile(dir_ / "out"), Ours("pw", data));
  ASSERT_EQ(crypto::RC4_Crypt_File(dir_ / "out", dir_ / "back", "pw"), 1);
  EXPECT_EQ(ReadFile(dir_ / "back"), data);
}

TEST_F(Rc4File, TransformsInPlaceWhenBothPathsNameOneFile) {
  const auto data = RandomBytes((1 << 20) + 7);
  WriteFile(dir_ / "f", data);
  ASSERT_EQ(crypto::RC4_Crypt_File(dir_ / "f", dir_.path() + "/./f", "pw"), 1);
  EXPECT_EQ(ReadFile(dir_ / "f"), Ours("pw", data));
}

TEST_F(Rc4File, EmptyInputGivesEmptyOutput) {
  WriteFile(dir_ / "in", std::string());
  ASSERT_EQ(crypto::RC4_Crypt_File(dir_ / "in", dir_ / "out", "pw"), 1);
  EXPECT_TRUE(testing_support::Exists(dir_ / "out"));
  EXPECT_TRUE(ReadFile(dir_ / "out").empty());
}

TEST_F(Rc4File, MissingInputFailsWithoutOutput) {
  EXPECT_EQ(crypto::RC4_Crypt_File(dir_ / "missing", dir_ / "out", "pw"), 0);
  EXPECT_FALSE(testing_support::Exists(dir_ / "out"));
}

TEST_F(Rc4File, RefusesInputsOfTwoGibibytes) {
  testing_support::MakeSparseFile(dir_ / "big", crypto::kMaxBodyBytes + 1);
  EXPECT_EQ(crypto::RC4_Crypt_File(dir_ / "big", dir_ / "out", "pw"), 0);
  EXPECT_FALSE(testing_support::Exists(dir_ / "out"));
}

TEST_F(Rc4File, FailedWriteLeavesNoOutput) {
  WriteFile(dir_ / "in", RandomBytes(3 << 20));
  platform::FaultPlan plan;
  plan.failWriteAt = 2;
  platform::SetFaultPlan(plan);
  EXPECT_EQ(crypto::RC4_Crypt_File(dir_ / "in", dir_ / "out", "pw"), 0);
  EXPECT_FALSE(testing_support::Exists(dir_ / "out"));
}

TEST_F(Rc4File, OutputThatCannotBeCreatedFails) {
  const auto data = RandomBytes(10);
  WriteFile(dir_ / "in", data);
  EXPECT_EQ(crypto::RC4_Crypt_File(dir_ / "in", dir_ / "no/such/folder/out", "pw"), 0);
  EXPECT_EQ(ReadFile(dir_ / "in"), data);
}

TEST_F(Rc4File, OutputIsANewFileReadableByTheOwnerOnly) {
  WriteFile(dir_ / "in", RandomBytes(10));
  ASSERT_EQ(crypto::RC4_Crypt_File(dir_ / "in", dir_ / "out", "pw"), 1);
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "out").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Neither an existing file nor a planted link is ever written through.
  WriteFile(dir_ / "taken", std::string("U"));
  ASSERT_EQ(::symlink((dir_ / "victim").c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_EQ(crypto::RC4_Crypt_File(dir_ / "in", dir_ / "taken", "pw"), 0);
  EXPECT_EQ(crypto::RC4_Crypt_File(dir_ / "in", dir_ / "link", "pw"), 0);
  EXPECT_EQ(ReadFile(dir_ / "taken"), std::vector<std::uint8_t>{'U'});
  EXPECT_FALSE(testing_support::Exists(dir_ / "victim"));
}

// The cause of a failed transform reaches the caller with its path.
TEST(Rc4FileStatus, FailuresSayWhatAndWhere) {
  TempFolder dir;
  WriteFile(dir / "in", RandomBytes(3 << 20));
  EXPECT_EQ(crypto::Rc4TransformFile(dir / "none", dir / "out", "pw").cause,
            platform::Cause::kMissing);
  platform::FaultPlan plan;
  plan.failWriteAt = 2;
  platform::SetFaultPlan(plan);
  const platform::Status full = crypto::Rc4TransformFile(dir / "in", dir / "out", "pw");
  platform::ClearFaultPlan();
  EXPECT_EQ(full.cause, platform::Cause::kWriteFailed);
  EXPECT_EQ(full.path, dir / "out");
  EXPECT_TRUE(full.IsFullDisk());
  EXPECT_FALSE(testing_support::Exists(dir / "out"));

  std::vector<std::int64_t> seen;
  ASSERT_TRUE(crypto::Rc4TransformFile(dir / "in", dir / "out", "pw",
                                       [&](std::int64_t done, std::int64_t total) {
                                         EXPECT_EQ(total, 3 << 20);
                                         seen.push_back(done);
                                       })
                  .ok());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 3 << 20);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

}  // namespace
