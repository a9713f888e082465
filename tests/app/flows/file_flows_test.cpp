// The file encryption and decryption flows, end to end on real files, driven
// through a scripted front end.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/flows/flows.h"
#include "app/flows/steps.h"
#include "crypto/fingerprint.h"
#include "crypto/trailer.h"
#include "platform/platform.h"
#include "tests/support/scripted_front_end.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::Exists;
using testing_support::Listing;
using testing_support::Message;
using namespace testing_support::messages;  // NOLINT: the flows' texts
using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::ScriptedFrontEnd;
using testing_support::TempFolder;
using testing_support::WriteFile;
namespace gadget = flows::gadget;

class FileFlows : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.tempFolder = platform::TempFolder();
    state_.archivePauseMs = 0;
  }
  void TearDown() override { platform::ClearFaultPlan(); }

  // Runs the encryption of path with the given options, as after OK of
  // dialog 1.
  flows::FlowOutcome Encrypt(const std::string& path, bool rc4, bool replace = false,
                             const std::string& password = "geheim") {
    state_.sourceFile = path;
    ui_.fields[gadget::kSourceFileField] = path;
    state_.password.Assign(password);
    return flows::EncryptFile(
        state_, ui_, {rc4 ? crypto::Cipher::kRc4 : crypto::Cipher::kAes, false, replace, {}});
  }

  bool Choose(const std::string& container) {
    ui_.openAnswers = {container};
    return flows::ChooseFileContainer(state_, ui_);
  }

  flows::FlowOutcome Decrypt(const std::string& output, const std::string& password = "geheim") {
    ui_.saveAnswers = {output};
    state_.password.Assign(password);
    return flows::DecryptFile(state_, ui_);
  }

  TempFolder dir_;
  flows::AppState state_;
  ScriptedFrontEnd ui_;
};

TEST_F(FileFlows, Rc4RoundTripRestoresTheFileByteForByte) {
  const auto data = RandomBytes(1000);
  WriteFile(dir_ / "brief.txt", data);
  const auto outcome = Encrypt(dir_ / "brief.txt", true);
  ASSERT_EQ(outcome.result, flows::FlowResult::kSucceeded);
  EXPECT_EQ(outcome.outputPath, dir_ / "brief.rc4");
  EXPECT_EQ(ui_.Last(), kEncrypted);
  EXPECT_EQ(ui_.progress,
            (std::vector<std::string>{"start:Datei wird Verschlüsselt", "stop", "restore"}));
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"brief.rc4", "brief.txt"}));
  EXPECT_EQ(ReadFile(dir_ / "brief.rc4").size(), 1045u);

  ASSERT_TRUE(Choose(dir_ / "brief.rc4"));
  EXPECT_EQ(ui_.fields[gadget::kFileContainerField], dir_ / "brief.rc4");
  EXPECT_EQ(ui_.fields[gadget::kFileKindField], "RC4-Verschlüsselung\r\nNicht Gepackt");
  ASSERT_EQ(Decrypt(dir_ / "restored.txt").result, flows::FlowResult::kSucceeded);
  EXPECT_EQ(ui_.Last(), kDecrypted);
  EXPECT_EQ(ui_.proposedNames.back(), dir_ / "brief.rc4_temp");
  EXPECT_EQ(ReadFile(dir_ / "restored.txt"), data);
  EXPECT_EQ(Listing(dir_.path()),
            (std::vector<std::string>{"brief.rc4", "brief.txt", "restored.txt"}));
}

TEST_F(FileFlows, EmptyFileGivesATrailerOnlyContainerAndComesBack) {
  WriteFile(dir_ / "leer.txt", std::string());
  ASSERT_EQ(Encrypt(dir_ / "leer.txt", true).result, flows::FlowResult::kSucceeded);
  EXPECT_EQ(ReadFile(dir_ / "leer.rc4").size(), 45u);
  ASSERT_TRUE(Choose(dir_ / "leer.rc4"));
  ASSERT_EQ(Decrypt(dir_ / "back").result, flows::FlowResult::kSucceeded);
  EXPECT_TRUE(Exists(dir_ / "back"));
  EXPECT_TRUE(ReadFile(dir_ / "back").empty());
}

TEST_F(FileFlows, NoChosenFileIsReportedBeforeAnythingRuns) {
  ui_.fields[gadget::kSourceFileField] = "";
  EXPECT_EQ(flows::EncryptFile(state_, ui_, {crypto::Cipher::kRc4, false, false, {}}).result,
            flows::FlowResult::kCancelled);
  EXPECT_EQ(ui_.Last(), (Message{"Fehler", "Es wurde keine Datei ausgewählt", 64}));
  EXPECT_TRUE(ui_.progress.empty());
}

TEST_F(FileFlows, ReplaceOriginalTakesOverThePathOfAFileWithoutDot) {
  const auto data = RandomBytes(300);
  WriteFile(dir_ / "README", data);
  const auto outcome = Encrypt(dir_ / "README", true, true);
  ASSERT_EQ(outcome.result, flows::FlowResult::kSucceeded);
  EXPECT_EQ(outcome.outputPath, dir_ / "README");
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"README"});
  EXPECT_EQ(crypto::ReadTrailer(dir_ / "README").markerLine, "rc4no");
}

TEST_F(FileFlows, ReplaceOriginalDeletesASourceWithDotAndKeepsItsContainer) {
  WriteFile(dir_ / "brief.txt", RandomBytes(300));
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", true, true).result, flows::FlowResult::kSucceeded);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"brief.rc4"});
}

TEST_F(FileFlows, SecondFileWithTheSameStemKeepsTheEngineOutputName) {
  WriteFile(dir_ / "a.txt", RandomBytes(10, 1));
  WriteFile(dir_ / "a.doc", RandomBytes(10, 2));
  ASSERT_EQ(Encrypt(dir_ / "a.txt", true).result, flows::FlowResult::kSucceeded);
  const auto second = Encrypt(dir_ / "a.doc", true, true);
  ASSERT_EQ(second.result, flows::FlowResult::kSucceeded);
  EXPECT_EQ(second.outputPath, dir_ / "a.doc_rc4");
  // The first container was not replaced, the second is complete, and the
  // replaced original is gone only because its container reads back.
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"a.doc_rc4", "a.rc4", "a.txt"}));
  EXPECT_EQ(crypto::ReadTrailer(dir_ / "a.doc_rc4").bodyLength, 10);
}

TEST_F(FileFlows, TrailerThatCannotBeAppendedIsAFailureAndKeepsTheSource) {
  const auto data = RandomBytes(100);
  WriteFile(dir_ / "brief.txt", data);
  platform::FaultPlan plan;
  plan.failOpenForWriteAt = 2;  // 1: the engine output, 2: the trailer append
  platform::SetFaultPlan(plan);
  EXPECT_EQ(Encrypt(dir_ / "brief.txt", true, true).result, flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kEncryptFailed);
  EXPECT_EQ(ui_.running, 0);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"brief.txt"});
  EXPECT_EQ(ReadFile(dir_ / "brief.txt"), data);
}

TEST_F(FileFlows, EngineFailureLeavesNothingBehind) {
  WriteFile(dir_ / "brief.txt", RandomBytes(100));
  platform::FaultPlan plan;
  plan.failWriteAt = 1;
  platform::SetFaultPlan(plan);
  EXPECT_EQ(Encrypt(dir_ / "brief.txt", true, true).result, flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kEncryptFailed);
  EXPECT_EQ(ui_.progress,
            (std::vector<std::string>{"start:Datei wird Verschlüsselt", "stop", "restore"}));
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"brief.txt"});
}

TEST_F(FileFlows, SourceOfTwoGibibytesIsRefusedBeforeAnythingIsWritten) {
  testing_support::MakeSparseFile(dir_ / "big.img", 0x80000000LL);
  EXPECT_EQ(Encrypt(dir_ / "big.img", true).result, flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kEncryptFailed);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"big.img"});
}

TEST_F(FileFlows, WrongPasswordWritesNothing) {
  WriteFile(dir_ / "brief.txt", RandomBytes(100));
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", true, false, "Geheim").result,
            flows::FlowResult::kSucceeded);
  ASSERT_TRUE(Choose(dir_ / "brief.rc4"));
  const std::size_t dialogs = ui_.dialogTitles.size();
  EXPECT_EQ(Decrypt(dir_ / "out", "geheim").result, flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kWrongPassword);
  EXPECT_EQ(ui_.dialogTitles.size(), dialogs);  // no save dialog was shown
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"brief.rc4", "brief.txt"}));
}

TEST_F(FileFlows, CancelledSaveDialogLeavesNoWorkingFile) {
  WriteFile(dir_ / "brief.txt", RandomBytes(100));
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", true).result, flows::FlowResult::kSucceeded);
  ASSERT_TRUE(Choose(dir_ / "brief.rc4"));
  ui_.progress.clear();
  EXPECT_EQ(Decrypt("").result, flows::FlowResult::kCancelled);
  EXPECT_TRUE(ui_.progress.empty());
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"brief.rc4", "brief.txt"}));
}

TEST_F(FileFlows, FolderContainerIsRefusedOnTheFilePanel) {
  WriteFile(dir_ / "Fotos.rc4", RandomBytes(32));
  ASSERT_TRUE(crypto::AppendTrailer(dir_ / "Fotos.rc4", "rc4foldye", "geheim"));
  EXPECT_FALSE(Choose(dir_ / "Fotos.rc4"));
  EXPECT_EQ(ui_.Last(), kNotOurs);
  EXPECT_EQ(ui_.fields[gadget::kFileContainerField], "");
  EXPECT_EQ(ui_.fields[gadget::kFileKindField], "");
  EXPECT_EQ(state_.fileSelection.containerPath, "");
}

TEST_F(FileFlows, UnreadableChoiceIsRefusedAndForgetsThePreviousTrailer) {
  WriteFile(dir_ / "brief.txt", RandomBytes(100));
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", true).result, flows::FlowResult::kSucceeded);
  ASSERT_TRUE(Choose(dir_ / "brief.rc4"));
  // A folder passes the space check (no size) but cannot be opened as a file.
  EXPECT_FALSE(Choose(dir_.path()));
  EXPECT_EQ(ui_.Last(), kNotOurs);
  EXPECT_EQ(state_.fileSelection.containerPath, "");
  EXPECT_EQ(state_.fileSelection.fingerprintLine, "");
}

TEST_F(FileFlows, CancelledChoiceClearsTheSelection) {
  WriteFile(dir_ / "brief.txt", RandomBytes(100));
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", true).result, flows::FlowResult::kSucceeded);
  ASSERT_TRUE(Choose(dir_ / "brief.rc4"));
  const std::size_t messages = ui_.messages.size();
  EXPECT_FALSE(Choose(""));
  EXPECT_EQ(ui_.messages.size(), messages);
  EXPECT_EQ(ui_.fields[gadget::kFileContainerField], "");
  EXPECT_EQ(state_.fileSelection.containerPath, "");
}

TEST_F(FileFlows, SpaceCheckNeedsMoreThanTwoAndAHalfTimesTheContainer) {
  // A 100 MiB container (sparse: no disk space used) needs 251 MiB free.
  testing_support::MakeSparseFile(dir_ / "big.rc4", 100LL << 20);
  platform::FaultPlan plan;
  plan.freeMegabytes = 250;
  platform::SetFaultPlan(plan);
  EXPECT_FALSE(Choose(dir_ / "big.rc4"));
  EXPECT_EQ(ui_.Last(), kNoSpace);
  plan.freeMegabytes = 251;
  platform::SetFaultPlan(plan);
  Choose(dir_ / "big.rc4");
  EXPECT_EQ(ui_.Last(), kNotOurs);  // passed the space check, then no marker

  // Under 0.2 MiB the requirement rounds to 0: 1 MiB free suffices.
  WriteFile(dir_ / "small.rc4", RandomBytes(100000));
  plan.freeMegabytes = 0;
  platform::SetFaultPlan(plan);
  ui_.messages.clear();
  EXPECT_FALSE(Choose(dir_ / "small.rc4"));
  EXPECT_EQ(ui_.Last(), kNoSpace);
  plan.freeMegabytes = 1;
  platform::SetFaultPlan(plan);
  Choose(dir_ / "small.rc4");
  EXPECT_EQ(ui_.Last(), kNotOurs);
}

TEST_F(FileFlows, FailedSpaceCheckKeepsThePreviousSelection) {
  WriteFile(dir_ / "brief.txt", RandomBytes(100));
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", true).result, flows::FlowResult::kSucceeded);
  ASSERT_TRUE(Choose(dir_ / "brief.rc4"));
  platform::FaultPlan plan;
  plan.freeMegabytes = 0;
  platform::SetFaultPlan(plan);
  WriteFile(dir_ / "other.rc4", RandomBytes(300000));
  EXPECT_TRUE(Choose(dir_ / "other.rc4"));  // the old choice still stands
  EXPECT_EQ(state_.fileSelection.containerPath, dir_ / "brief.rc4");
  EXPECT_EQ(ui_.fields[gadget::kFileContainerField], dir_ / "brief.rc4");
}

TEST_F(FileFlows, DamagedRc4BodyStillDecryptsToTheCopiedLength) {
  WriteFile(dir_ / "brief.txt", RandomBytes(100));
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", true).result, flows::FlowResult::kSucceeded);
  auto bytes = ReadFile(dir_ / "brief.rc4");
  bytes[5] ^= 0xff;
  WriteFile(dir_ / "brief.rc4", bytes);
  ASSERT_TRUE(Choose(dir_ / "brief.rc4"));
  ASSERT_EQ(Decrypt(dir_ / "out").result, flows::FlowResult::kSucceeded);
  EXPECT_EQ(ReadFile(dir_ / "out").size(), 100u);  // the trailer never reaches the engine
}

TEST_F(FileFlows, AesRoundTripWithShortAndLongPasswords) {
  const auto data = RandomBytes(20000);
  for (std::string password : {"abc", "a", "Ein längeres Passwort"}) {
    WriteFile(dir_ / "brief.txt", data);
    ASSERT_EQ(Encrypt(dir_ / "brief.txt", false, false, password).result,
              flows::FlowResult::kSucceeded);
    EXPECT_EQ(crypto::ReadTrailer(dir_ / "brief.aes").markerLine, "aesno");
    ASSERT_TRUE(Choose(dir_ / "brief.aes"));
    EXPECT_EQ(ui_.fields[gadget::kFileKindField], "AES-Verschlüsselung\r\nNicht Gepackt");
    ASSERT_EQ(Decrypt(dir_ / "out.txt", password).result, flows::FlowResult::kSucceeded);
    ASSERT_FALSE(ui_.proposedNames.empty());
    EXPECT_EQ(ui_.proposedNames.back(), dir_ / "brief.aes_temp");
    EXPECT_EQ(ReadFile(dir_ / "out.txt"), data);
    // The restored file is the user's: the usual mode, not the engine's 0600.
#ifndef _WIN32
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(platform::FileMode(dir_ / "out.txt").value_or(0) & 0777, 0666u & ~mask);
#endif
    EXPECT_EQ(Listing(dir_.path()),
              (std::vector<std::string>{"brief.aes", "brief.txt", "out.txt"}));
    std::filesystem::remove(dir_ / "brief.aes");
    std::filesystem::remove(dir_ / "out.txt");
  }
}

TEST_F(FileFlows, DamagedAesContainerEndsInDecryptionFailureWithNothingLeft) {
  WriteFile(dir_ / "brief.txt", std::string(30000, 'a') + "und etwas Text am Ende");
  ASSERT_EQ(Encrypt(dir_ / "brief.txt", false).result, flows::FlowResult::kSucceeded);
  const auto good = ReadFile(dir_ / "brief.aes");
  const std::size_t body = good.size() - 45;

  auto flipped = good;
  flipped[body / 2] ^= 0x40;
  // A cut last block: the trailer stays, the body loses its last 16 bytes.
  std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<long>(body - 16));
  WriteFile(dir_ / "cut.aes", cut);
  ASSERT_TRUE(crypto::AppendTrailer(dir_ / "cut.aes", "aesno", "geheim"));

  WriteFile(dir_ / "flipped.aes", flipped);
  for (const std::string name : {"flipped.aes", "cut.aes"}) {
    ASSERT_TRUE(Choose(dir_ / name));
    EXPECT_EQ(Decrypt(dir_ / "out.txt").result, flows::FlowResult::kFailed) << name;
    EXPECT_EQ(ui_.Last(), kDecryptFailed);
    EXPECT_FALSE(Exists(dir_ / "out.txt"));
    EXPECT_FALSE(Exists(dir_ / (name + "_temp")));
  }
  EXPECT_EQ(ui_.running, 0);
}

TEST(FlowSteps, BodyCopyIsPrivateAndExcludesTheTrailer) {
  TempFolder dir;
  const auto body = RandomBytes(5000);
  WriteFile(dir / "c", body);
  ASSERT_TRUE(crypto::AppendTrailer(dir / "c", "rc4no", "pw"));
  ASSERT_TRUE(flows::internal::CopyBody(dir / "c", dir / "w").ok());
  EXPECT_EQ(ReadFile(dir / "w"), body);
#ifndef _WIN32
  EXPECT_EQ(platform::FileMode(dir / "w").value_or(0) & 0777, 0600u);
#endif
  EXPECT_EQ(flows::internal::CopyBody(dir / "missing", dir / "w2").cause,
            platform::Cause::kMissing);
  EXPECT_FALSE(Exists(dir / "w2"));
  // A body length past the file's end is damage, not a missing file.
  auto bytes = ReadFile(dir / "c");
  bytes[bytes.size() - 2] = 0x7f;
  WriteFile(dir / "long", bytes);
  const platform::Status tooLong = flows::internal::CopyBody(dir / "long", dir / "w3");
  EXPECT_EQ(tooLong.cause, platform::Cause::kDamaged);
  EXPECT_EQ(tooLong.check, platform::Check::kBodyLength);
}

}  // namespace
