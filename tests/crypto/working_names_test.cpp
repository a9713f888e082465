#include "crypto/working_names.h"

#include <gtest/gtest.h>

namespace {

using crypto::Cipher;

TEST(WorkingNames, FileEncryptionNamesFollowTheSource) {
  EXPECT_EQ(crypto::EngineOutputPath("/Daten/brief.txt", Cipher::kAes), "/Daten/brief.txt_aes");
  EXPECT_EQ(crypto::EngineOutputPath("/Daten/brief.txt", Cipher::kRc4), "/Daten/brief.txt_rc4");
  EXPECT_EQ(crypto::FinalContainerPath("/Daten/brief.txt", Cipher::kAes), "/Daten/brief.aes");
  EXPECT_EQ(crypto::FinalContainerPath("/Daten/brief.v2.txt", Cipher::kRc4), "/Daten/brief.rc4");
  EXPECT_EQ(crypto::FinalContainerPath("/Daten/README", Cipher::kAes), "/Daten/README.aes");
  EXPECT_EQ(crypto::ReplacementPath("/Daten/README", Cipher::kAes), "/Daten/README.aes");
}

TEST(WorkingNames, StemIsCutInTheFileNameOnly) {
  EXPECT_EQ(crypto::Stem("/home/anna/v1.2/brief.txt"), "/home/anna/v1.2/brief");
  EXPECT_EQ(crypto::Stem("/home/anna/v1.2/README"), "/home/anna/v1.2/README");
  EXPECT_EQ(crypto::Stem("brief.txt"), "brief");
}

TEST(WorkingNames, LeadingDotOfAHiddenFileBelongsToTheName) {
  EXPECT_EQ(crypto::Stem("/home/anna/.bashrc"), "/home/anna/.bashrc");
  EXPECT_EQ(crypto::Stem("/home/anna/.config.json"), "/home/anna/.config");
}

TEST(WorkingNames, PlainDecryptionProposesTheNameWithoutItsWorkingSuffix) {
  EXPECT_EQ(crypto::ProposedOutputPath("/Daten/bericht.rc4", Cipher::kRc4),
            "/Daten/bericht.rc4_temp");
  EXPECT_EQ(crypto::ProposedOutputPath("/Daten/bericht_rc4", Cipher::kRc4), "/Daten/bericht");
  EXPECT_EQ(crypto::ProposedOutputPath("/Daten/bericht_aes", Cipher::kAes), "/Daten/bericht");
}

TEST(WorkingNames, FolderNamesAreNeverRewritten) {
  // A folder named alt_rc4_temp keeps its name: the result stays beside the
  // container.
  EXPECT_EQ(crypto::ProposedOutputPath("/alt_rc4_temp/b_rc4", Cipher::kRc4), "/alt_rc4_temp/b");
}

TEST(WorkingNames, FolderContainerNameIsTheFolderNameWithItsSuffix) {
  EXPECT_EQ(crypto::FolderContainerName("/Daten/Fotos/", Cipher::kAes), "/Fotos.aes");
  EXPECT_EQ(crypto::FolderContainerName("/Daten/Fotos/", Cipher::kRc4), "/Fotos.rc4");
}

TEST(WorkingNames, RootFolderGetsAContainerNamedRoot) {
  EXPECT_EQ(crypto::FolderContainerName("/", Cipher::kAes), "/root.aes");
}

TEST(WorkingNames, FolderDecryptionNames) {
  EXPECT_EQ(crypto::RestoredFolderPath("/Ziel/", "/Sicher/Projekt.rc4", Cipher::kRc4),
            "/Ziel/Projekt");
  EXPECT_EQ(crypto::RestoredFolderName("/S/Projekt.rc4pk", Cipher::kRc4), "Projektpk");
  EXPECT_EQ(crypto::RestoredFolderName("/S/alt.aes.kopie.aes", Cipher::kAes), "alt.kopie");
  EXPECT_EQ(crypto::RestoredFolderName("/x.aes/Projekt.aes", Cipher::kAes), "Projekt");
}

}  // namespace
