// Packed file containers and folder containers, every variant end to end on
// real files, driven through a scripted front end.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app/flows/flows.h"
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
namespace fs = std::filesystem;
namespace gadget = flows::gadget;

// Every file below root with its bytes and permission bits, by relative path.
std::map<std::string, std::pair<std::vector<std::uint8_t>, unsigned>> Snapshot(
    const std::string& root) {
  std::map<std::string, std::pair<std::vector<std::uint8_t>, unsigned>> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    const std::string path = e.path().generic_string();
    files[fs::relative(e.path(), root).generic_string()] = {
        ReadFile(path), platform::FileMode(path).value_or(0) & 0777};
  }
  return files;
}

class ContainerFlows : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "tmp");
    fs::create_directories(dir_ / "out");
    state_.tempFolder = (dir_ / "tmp") + "/";
    state_.archivePauseMs = 0;
  }
  void TearDown() override {
    platform::ClearFaultPlan();
    platform::SetCurrentFolder(saved_);
  }

  // A folder with nested files, an empty file, a hidden one, umlauts and a
  // read-only file whose time has seconds.
  std::string MakeFotos() {
    const std::string src = dir_ / "Fotos";
    fs::create_directories(src + "/2007/deeper");
    fs::create_directories(src + "/leer");
    WriteFile(src + "/a.txt", "Urlaub am Meer\n");
    WriteFile(src + "/2007/b.bin", RandomBytes(150000));
    WriteFile(src + "/2007/deeper/c.txt", std::string(40000, 'c'));
    WriteFile(src + "/Ärger ß.txt", "Umlaute");
    WriteFile(src + "/.versteckt", "hidden");
    WriteFile(src + "/null", std::string());
    WriteFile(src + "/nur-lesen.txt", "read only");
    platform::SetLastWriteTime(src + "/nur-lesen.txt", {2007, 8, 1, 14, 37, 59});
    platform::SetFileMode(src + "/nur-lesen.txt", 0444);
    return src;
  }

  static crypto::Cipher CipherOf(bool rc4) {
    return rc4 ? crypto::Cipher::kRc4 : crypto::Cipher::kAes;
  }

  flows::FlowOutcome EncryptFolder(const std::string& folder, bool rc4, bool packed,
                                   const std::string& output) {
    state_.sourceFolder = folder + "/";
    ui_.folderAnswers = {output};
    state_.password = "geheim";
    return flows::EncryptFolder(state_, ui_, {CipherOf(rc4), packed, false, {}});
  }

  flows::FlowOutcome DecryptFolder(const std::string& container, const std::string& output,
                                   const std::string& password = "geheim") {
    ui_.openAnswers = {container};
    if (!flows::ChooseFolderContainer(state_, ui_)) return {flows::FlowResult::kFailed, ""};
    ui_.folderAnswers = {output};
    state_.password.Assign(password);
    return flows::DecryptFolder(state_, ui_);
  }

  flows::FlowOutcome EncryptPacked(const std::string& file, bool rc4) {
    state_.sourceFile = file;
    ui_.fields[gadget::kSourceFileField] = file;
    state_.password = "geheim";
    return flows::EncryptFile(state_, ui_, {CipherOf(rc4), true, false, {}});
  }

  flows::FlowOutcome DecryptPacked(const std::string& container, const std::string& folder) {
    ui_.openAnswers = {container};
    if (!flows::ChooseFileContainer(state_, ui_)) return {flows::FlowResult::kFailed, ""};
    ui_.folderAnswers = {folder};
    state_.password = "geheim";
    return flows::DecryptFile(state_, ui_);
  }

  std::string saved_ = platform::CurrentFolder();
  TempFolder dir_;
  flows::AppState state_;
  ScriptedFrontEnd ui_;
};

TEST_F(ContainerFlows, EveryFolderVariantRoundTripsTheTree) {
  const std::string src = MakeFotos();
  const auto before = Snapshot(src);
  struct Variant {
    bool rc4, packed;
    std::string marker, suffix;
  };
  for (const Variant& v :
       {Variant{false, false, "aesfoldno", ".aes"}, Variant{false, true, "aesfoldye", ".aes"},
        Variant{true, false, "rc4foldno", ".rc4"}, Variant{true, true, "rc4foldye", ".rc4"}}) {
    ui_.progress.clear();
    const auto enc = EncryptFolder(src, v.rc4, v.packed, (dir_ / "out") + "/");
    ASSERT_EQ(enc.result, flows::FlowResult::kSucceeded) << v.marker;
    EXPECT_EQ(ui_.Last(), kEncrypted);
    const std::string container = (dir_ / "out") + "//Fotos" + v.suffix;
    EXPECT_EQ(enc.outputPath, container);
    EXPECT_EQ(crypto::ReadTrailer(container).markerLine, v.marker);
    EXPECT_EQ(ui_.progress,
              (std::vector<std::string>{"start:Ordner wird gepackt", "stop",
                                        "start:Ordner wird Verschlüsselt", "stop", "restore"}));
    // The folder stays the current one, as the next file dialog expects.
    EXPECT_TRUE(platform::SameFile(platform::CurrentFolder(), src));

    ui_.progress.clear();
    const std::string restoreTo = dir_ / ("restore-" + v.marker);
    fs::create_directories(restoreTo);
    const auto dec = DecryptFolder(container, restoreTo + "/");
    ASSERT_EQ(dec.result, flows::FlowResult::kSucceeded) << v.marker;
    EXPECT_EQ(ui_.Last(), kDecrypted);
    EXPECT_EQ(ui_.progress,
              (std::vector<std::string>{"start:Ordner wird Entschlüsselt", "stop", "restore"}));
    EXPECT_EQ(Snapshot(restoreTo + "/Fotos"), before) << v.marker;
    const auto time = platform::LastWriteTime(restoreTo + "/Fotos/nur-lesen.txt");
    ASSERT_TRUE(time.has_value());
    EXPECT_EQ(time->minute, 37);
    EXPECT_EQ(time->second, 0);
    EXPECT_FALSE(Exists(restoreTo + "/Fotos/leer"));  // empty folders are not archived
    fs::remove(container);
  }
  EXPECT_TRUE(Listing(dir_ / "tmp").empty());
  EXPECT_TRUE(Listing(dir_ / "out").empty());
  EXPECT_EQ(Snapshot(src), before);
}

TEST_F(ContainerFlows, SecondFolderHoldsOnlyItsOwnFiles) {
  fs::create_directories(dir_ / "eins");
  fs::create_directories(dir_ / "zwei");
  WriteFile(dir_ / "eins/1.txt", "1");
  WriteFile(dir_ / "zwei/2.txt", "2");
  ASSERT_EQ(EncryptFolder(dir_ / "eins", true, true, (dir_ / "out") + "/").result,
            flows::FlowResult::kSucceeded);
  ASSERT_EQ(EncryptFolder(dir_ / "zwei", true, true, (dir_ / "out") + "/").result,
            flows::FlowResult::kSucceeded);
  ASSERT_EQ(DecryptFolder((dir_ / "out") + "/zwei.rc4", (dir_ / "r") + "/").result,
            flows::FlowResult::kSucceeded);
  EXPECT_EQ(Listing(dir_ / "r/zwei"), std::vector<std::string>{"2.txt"});
}

TEST_F(ContainerFlows, CancelledOutputFolderWritesNothing) {
  const std::string src = MakeFotos();
  EXPECT_EQ(EncryptFolder(src, false, false, "").result, flows::FlowResult::kCancelled);
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_TRUE(ui_.progress.empty());
  EXPECT_TRUE(Listing(dir_ / "tmp").empty());
  EXPECT_TRUE(Listing(dir_ / "out").empty());
}

TEST_F(ContainerFlows, CancelledOrWrongPasswordDecryptionLeavesNothing) {
  const std::string src = MakeFotos();
  ASSERT_EQ(EncryptFolder(src, false, true, (dir_ / "out") + "/").result,
            flows::FlowResult::kSucceeded);
  const std::string container = (dir_ / "out") + "/Fotos.aes";
  EXPECT_EQ(DecryptFolder(container, "").result, flows::FlowResult::kCancelled);
  EXPECT_EQ(DecryptFolder(container, (dir_ / "r") + "/", "falsch").result,
            flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), (Message{"Fehler", "Falsches Passwort", 16}));
  EXPECT_FALSE(Exists(dir_ / "r"));
  EXPECT_TRUE(Listing(dir_ / "tmp").empty());
}

TEST_F(ContainerFlows, ArchiveFailureIsAnEncryptionFailure) {
  const std::string src = MakeFotos();
  platform::FaultPlan plan;
  plan.failWriteAt = 3;  // somewhere inside the archive
  platform::SetFaultPlan(plan);
  EXPECT_EQ(EncryptFolder(src, true, true, (dir_ / "out") + "/").result,
            flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kEncryptFailed);
  EXPECT_EQ(ui_.running, 0);
  EXPECT_TRUE(Listing(dir_ / "tmp").empty());
  EXPECT_TRUE(Listing(dir_ / "out").empty());
}

TEST_F(ContainerFlows, DamagedFolderContainersAreReportedAndLeaveNothing) {
  const std::string src = MakeFotos();
  for (bool rc4 : {false, true}) {
    ASSERT_EQ(EncryptFolder(src, rc4, false, (dir_ / "out") + "/").result,
              flows::FlowResult::kSucceeded);
    const std::string container = (dir_ / "out") + (rc4 ? "/Fotos.rc4" : "/Fotos.aes");
    auto bytes = ReadFile(container);
    const std::size_t body = bytes.size() - crypto::kFolderTrailerBytes;
    // The archive's end record: without it the archive does not open. (AES
    // bodies fail earlier, in the engine.)
    bytes[body - 22] ^= 0xff;
    WriteFile(container, bytes);
    const auto dec = DecryptFolder(container, (dir_ / "r") + "/");
    EXPECT_EQ(dec.result, flows::FlowResult::kFailed);
    EXPECT_EQ(ui_.Last(), kDecryptFailed) << (rc4 ? "rc4" : "aes");
    EXPECT_FALSE(Exists(dir_ / "r/Fotos"));
    EXPECT_TRUE(Listing(dir_ / "tmp").empty());
    fs::remove(container);
  }
}

TEST_F(ContainerFlows, DamagedEntryFailsTheWholeRestoreAndLeavesNothing) {
  fs::create_directories(dir_ / "Akte");
  WriteFile(dir_ / "Akte/a.txt", std::string(5000, 'a'));
  WriteFile(dir_ / "Akte/b.txt", std::string(5000, 'b'));
  ASSERT_EQ(EncryptFolder(dir_ / "Akte", true, false, (dir_ / "out") + "/").result,
            flows::FlowResult::kSucceeded);
  const std::string container = (dir_ / "out") + "/Akte.rc4";
  auto bytes = ReadFile(container);
  // Inside the first stored entry's data: RC4 passes the damage through and
  // the entry's CRC catches it.
  bytes[100] ^= 0x01;
  WriteFile(container, bytes);
  const auto dec = DecryptFolder(container, (dir_ / "r") + "/");
  EXPECT_EQ(dec.result, flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kUnpackFailed);
  // No half-restored tree under the real names: not even the whole entry,
  // and not the output folder this run made for it.
  EXPECT_FALSE(Exists(dir_ / "r"));
  EXPECT_TRUE(Listing(dir_ / "tmp").empty());
}

TEST_F(ContainerFlows, FileContainerIsRefusedOnTheFolderPanel) {
  WriteFile(dir_ / "brief.aes", RandomBytes(32));
  ASSERT_TRUE(crypto::AppendTrailer(dir_ / "brief.aes", "aesno", "geheim"));
  ui_.openAnswers = {dir_ / "brief.aes"};
  EXPECT_FALSE(flows::ChooseFolderContainer(state_, ui_));
  EXPECT_EQ(ui_.Last(), kNotOurs);
  EXPECT_EQ(ui_.fields[gadget::kFolderContainerField], "");
}

TEST_F(ContainerFlows, PanelsKeepTheirOwnSelections) {
  const std::string src = MakeFotos();
  ASSERT_EQ(EncryptFolder(src, true, false, (dir_ / "out") + "/").result,
            flows::FlowResult::kSucceeded);
  WriteFile(dir_ / "brief.txt", "Brief");
  ASSERT_EQ(EncryptPacked(dir_ / "brief.txt", true).result, flows::FlowResult::kSucceeded);
  ui_.openAnswers = {dir_ / "brief.rc4"};
  ASSERT_TRUE(flows::ChooseFileContainer(state_, ui_));
  ui_.openAnswers = {(dir_ / "out") + "/Fotos.rc4"};
  ASSERT_TRUE(flows::ChooseFolderContainer(state_, ui_));
  EXPECT_EQ(state_.fileSelection.containerPath, dir_ / "brief.rc4");
  EXPECT_EQ(ui_.fields[gadget::kFileKindField], "RC4-Verschlüsselung\r\nGepackt");
  EXPECT_EQ(ui_.fields[gadget::kFolderKindField],
            "RC4-Verschlüsselung\r\nDer Ordner ist nicht gepackt");
}

TEST_F(ContainerFlows, PackedFilesRoundTripWithTheirPhases) {
  const auto data = RandomBytes(70000);
  for (bool rc4 : {false, true}) {
    WriteFile(dir_ / "bericht.doc", data);
    platform::SetLastWriteTime(dir_ / "bericht.doc", {2020, 2, 29, 8, 15, 42});
    ui_.progress.clear();
    ASSERT_EQ(EncryptPacked(dir_ / "bericht.doc", rc4).result, flows::FlowResult::kSucceeded);
    const std::string container = dir_ / (rc4 ? "bericht.rc4" : "bericht.aes");
    EXPECT_EQ(crypto::ReadTrailer(container).markerLine, rc4 ? "rc4ye" : "aesye");
    EXPECT_EQ(ui_.progress,
              (std::vector<std::string>{"start:Datei wird gepackt", "stop",
                                        "start:Datei wird Verschlüsselt", "stop", "restore"}));
    EXPECT_FALSE(Exists(dir_ / "bericht.doc.ppp"));

    ui_.progress.clear();
    const auto dec = DecryptPacked(container, (dir_ / "ziel") + "/");
    ASSERT_EQ(dec.result, flows::FlowResult::kSucceeded);
    EXPECT_EQ(ui_.Last(), kUnpacked);
    EXPECT_EQ(dec.outputPath, dir_ / "ziel/bericht.doc");
    EXPECT_EQ(ReadFile(dir_ / "ziel/bericht.doc"), data);
    EXPECT_EQ(platform::LastWriteTime(dir_ / "ziel/bericht.doc")->minute, 15);
    const std::vector<std::string> phases =
        rc4 ? std::vector<std::string>{"start:Datei wird Entschlüsselt", "stop", "restore"}
            : std::vector<std::string>{"start:Datei wird Entschlüsselt", "stop",
                                       "start:Datei wird Entpackt", "stop", "restore"};
    EXPECT_EQ(ui_.progress, phases);
    std::vector<std::string> expected = {"bericht.doc", fs::path(container).filename().string(),
                                         "out", "tmp", "ziel"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listing(dir_.path()), expected);
    fs::remove(container);
    fs::remove_all(dir_ / "ziel");
  }
}

TEST_F(ContainerFlows, PackingFailureIsAnEncryptionFailure) {
  WriteFile(dir_ / "brief.txt", RandomBytes(500000));
  platform::FaultPlan plan;
  plan.failWriteAt = 2;
  platform::SetFaultPlan(plan);
  EXPECT_EQ(EncryptPacked(dir_ / "brief.txt", false).result, flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kEncryptFailed);
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"brief.txt", "out", "tmp"}));
}

TEST_F(ContainerFlows, WrongPayloadInAPackedContainerEndsInUnpackFailure) {
  // A container whose body is no archive at all (made by hand with the
  // right trailer): decryption works, unpacking fails, nothing is left.
  WriteFile(dir_ / "plain.txt", "kein Archiv");
  const flows::EncryptionOptions rc4 = {crypto::Cipher::kRc4, false, false, {}};
  ASSERT_EQ(flows::EncryptFile(state_, ui_, rc4).result, flows::FlowResult::kCancelled);
  state_.sourceFile = dir_ / "plain.txt";
  ui_.fields[gadget::kSourceFileField] = state_.sourceFile;
  state_.password = "geheim";
  ASSERT_EQ(flows::EncryptFile(state_, ui_, rc4).result, flows::FlowResult::kSucceeded);
  auto bytes = ReadFile(dir_ / "plain.rc4");
  bytes[bytes.size() - crypto::kFileTrailerBytes + 4] = 'y';  // rc4no -> rc4ye
  bytes[bytes.size() - crypto::kFileTrailerBytes + 3] = 'y';
  bytes[bytes.size() - crypto::kFileTrailerBytes + 4] = 'e';
  WriteFile(dir_ / "plain.rc4", bytes);
  const auto dec = DecryptPacked(dir_ / "plain.rc4", (dir_ / "ziel") + "/");
  EXPECT_EQ(dec.result, flows::FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), kUnpackFailed);
  EXPECT_EQ(Listing(dir_.path()),
            (std::vector<std::string>{"out", "plain.rc4", "plain.txt", "tmp"}));
}

TEST_F(ContainerFlows, WithoutReplaceNothingExistingIsTouched) {
  state_.replaceExisting = false;
  WriteFile(dir_ / "brief.txt", "neu");
  ASSERT_EQ(EncryptPacked(dir_ / "brief.txt", true).result, flows::FlowResult::kSucceeded);
  fs::create_directories(dir_ / "ziel");
  WriteFile(dir_ / "ziel/brief.txt", "alt");
  const auto dec = DecryptPacked(dir_ / "brief.rc4", (dir_ / "ziel") + "/");
  EXPECT_EQ(dec.result, flows::FlowResult::kWouldReplace);
  EXPECT_EQ(dec.outputPath, dir_ / "ziel/brief.txt");
  EXPECT_EQ(ReadFile(dir_ / "ziel/brief.txt"), (std::vector<std::uint8_t>{'a', 'l', 't'}));
  EXPECT_EQ(Listing(dir_.path()),
            (std::vector<std::string>{"brief.rc4", "brief.txt", "out", "tmp", "ziel"}));
}

}  // namespace
