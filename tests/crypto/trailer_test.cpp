#include "crypto/trailer.h"

#include <gtest/gtest.h>

#include "crypto/fingerprint.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

class Trailer : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaultPlan(); }
  TempFolder dir_;
};

TEST_F(Trailer, ThousandByteBodyGivesTheDocumentedLayout) {
  const auto body = RandomBytes(1000);
  WriteFile(dir_ / "c", body);
  ASSERT_TRUE(crypto::AppendTrailer(dir_ / "c", "rc4no", "geheim"));
  const auto bytes = ReadFile(dir_ / "c");
  ASSERT_EQ(bytes.size(), 1045u);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), bytes.begin()));
  const std::string tail(bytes.begin() + 1000, bytes.end() - 4);
  EXPECT_EQ(tail, "rc4no\r\n" + crypto::Fingerprint_Hex("geheim") + "\r\n");
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 4, bytes.end()),
            (std::vector<std::uint8_t>{0xE8, 0x03, 0x00, 0x00}));
}

TEST_F(Trailer, EmptyBodyAndEmptyPasswordStillGiveAFullTrailer) {
  WriteFile(dir_ / "c", std::string());
  ASSERT_TRUE(crypto::AppendTrailer(dir_ / "c", "rc4no", ""));
  EXPECT_EQ(ReadFile(dir_ / "c").size(), static_cast<std::size_t>(crypto::kFileTrailerBytes));
  const crypto::Trailer t = crypto::ReadTrailer(dir_ / "c");
  EXPECT_EQ(t.bodyLength, 0);
  EXPECT_EQ(t.markerLine, "rc4no");
  EXPECT_EQ(t.fingerprintLine, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_TRUE(crypto::TrailerMatchesSize(t));
}

TEST_F(Trailer, FolderMarkerTrailerIsFortyNineBytes) {
  WriteFile(dir_ / "c", RandomBytes(16));
  ASSERT_TRUE(crypto::AppendTrailer(dir_ / "c", "aesfoldye", "pw"));
  EXPECT_EQ(ReadFile(dir_ / "c").size(), 16u + crypto::kFolderTrailerBytes);
}

TEST_F(Trailer, AppendRefusesAMissingFileAndCreatesNothing) {
  EXPECT_FALSE(crypto::AppendTrailer(dir_ / "missing", "rc4no", "pw"));
  EXPECT_FALSE(testing_support::Exists(dir_ / "missing"));
}

TEST_F(Trailer, AppendReportsAFailedWrite) {
  WriteFile(dir_ / "c", RandomBytes(10));
  platform::FaultPlan plan;
  plan.failWriteAt = 1;
  platform::SetFaultPlan(plan);
  EXPECT_FALSE(crypto::AppendTrailer(dir_ / "c", "rc4no", "pw"));
}

TEST_F(Trailer, AppendRefusesABodyOfTwoGibibytes) {
  testing_support::MakeSparseFile(dir_ / "c", 0x80000000LL);
  EXPECT_FALSE(crypto::AppendTrailer(dir_ / "c", "rc4no", "pw"));
}

TEST_F(Trailer, ReadsEveryLineEndTheReaderAccepts) {
  struct Case {
    std::string trailerText;
    std::string marker, fingerprint;
  };
  const Case cases[] = {
      {"rc4no\r\nabc\r\n", "rc4no", "abc"},
      {"rc4no\nabc\n", "rc4no", "abc"},
      {"rc4no\rabc\r", "rc4no", "abc"},  // CR followed by something else: no byte lost
      {std::string("rc4no\0abc\0", 10), "rc4no", "abc"},
      // No fingerprint line: the reader runs into the length field and stops
      // at its first zero byte.
      {"rc4no\r\n", "rc4no", "\x04"},
  };
  for (const Case& c : cases) {
    std::string bytes = "BODY" + c.trailerText;
    bytes += std::string("\x04\x00\x00\x00", 4);
    WriteFile(dir_ / "c", bytes);
    const crypto::Trailer t = crypto::ReadTrailer(dir_ / "c");
    EXPECT_EQ(t.markerLine, c.marker);
    EXPECT_EQ(t.fingerprintLine, c.fingerprint);
  }
}

TEST_F(Trailer, ImpossibleBodyLengthsReadAsNoMarker) {
  for (const std::string& bytes : {std::string("ab"), std::string("rc4no\r\n\xff\x00\x00\x00", 11),
                                   std::string("rc4no\r\n\x00\x00\x00\x80", 11)}) {
    WriteFile(dir_ / "c", bytes);
    const crypto::Trailer t = crypto::ReadTrailer(dir_ / "c");
    EXPECT_TRUE(t.markerLine.empty());
    EXPECT_EQ(crypto::MatchFileMarker(t.markerLine), -1);
  }
  const crypto::Trailer missing = crypto::ReadTrailer(dir_ / "missing");
  EXPECT_FALSE(missing.opened);
}

TEST(TrailerMarkers, FileAndFolderReadersNeverTakeEachOthersMarkers) {
  for (std::string_view folder : crypto::kFolderMarkers) {
    EXPECT_EQ(crypto::MatchFileMarker(folder), -1) << folder;
  }
  for (std::string_view file : crypto::kFileMarkers) {
    EXPECT_EQ(crypto::MatchFolderMarker(file), -1) << file;
  }
}

TEST(TrailerMarkers, IndicesFollowTheReadingOrder) {
  EXPECT_EQ(crypto::MatchFileMarker("rc4no"), 0);
  EXPECT_EQ(crypto::MatchFileMarker("rc4ye"), 1);
  EXPECT_EQ(crypto::MatchFileMarker("aesye"), 2);
  EXPECT_EQ(crypto::MatchFileMarker("aesno"), 3);
  EXPECT_EQ(crypto::MatchFolderMarker("rc4foldno"), 0);
  EXPECT_EQ(crypto::MatchFolderMarker("aesfoldye"), 3);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(crypto::MarkerFor(crypto::FileKindAt(i)), crypto::kFileMarkers[i]);
    EXPECT_EQ(crypto::MarkerFor(crypto::FolderKindAt(i)), crypto::kFolderMarkers[i]);
  }
}

TEST(TrailerMarkers, ExtraCharactersAfterTheMarkerAreAccepted) {
  EXPECT_EQ(crypto::MatchFileMarker("aesno-edited by hand"), 3);
  EXPECT_EQ(crypto::MatchFolderMarker("rc4foldye2"), 1);
  EXPECT_EQ(crypto::MatchFileMarker("AESNO"), -1);
  EXPECT_EQ(crypto::MatchFileMarker("aesn"), -1);
}

TEST(TrailerPassword, ComparesTheFingerprintExactly) {
  const std::string line = crypto::Fingerprint_Hex("Geheim");
  EXPECT_TRUE(crypto::CheckPassword(line, "Geheim"));
  EXPECT_FALSE(crypto::CheckPassword(line, "geheim"));
  std::string upper = line;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(crypto::CheckPassword(upper, "Geheim"));
}

}  // namespace
