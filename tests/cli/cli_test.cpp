// tresolin-cli, in-process through injected streams, and as a binary.
#include "cli/cli.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crypto/trailer.h"
#include "crypto/working_names.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::Exists;
using testing_support::Listing;
using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

struct Result {
  int code;
  std::string out, err;
};

class CliCommands : public ::testing::Test {
 protected:
  Result RunCli(std::vector<std::string> args, std::optional<std::string> password = "geheim",
                std::vector<std::string> typed = {}) {
    std::ostringstream out, err;
    cli::PasswordSources sources;
    sources.environment = password;
    auto answers = std::make_shared<std::vector<std::string>>(std::move(typed));
    sources.askTerminal = [answers](std::string_view) -> std::optional<std::string> {
      if (answers->empty()) return std::nullopt;
      std::string next = answers->front();
      answers->erase(answers->begin());
      return next;
    };
    const int code = cli::Run(args, out, err, sources, console_);
    return {code, out.str(), err.str()};
  }
  static bool EveryLineHasThePrefix(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("tresolin-cli: ", 0) != 0) return false;
    }
    return true;
  }
  TempFolder dir_;
  cli::Console console_;
};

TEST_F(CliCommands, HelpAndVersionGoToStandardOutput) {
  const Result help = RunCli({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("tresolin-cli encrypt [--cipher aes|rc4]"), std::string::npos);
  const Result version = RunCli({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "tresolin-cli 0.1.0\n");
}

TEST_F(CliCommands, UsageErrorsExitWithTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"frobnicate"},
                                                                {"encrypt"},
                                                                {"encrypt", "--cipher", "des", "x"},
                                                                {"decrypt", "--pack", "x"},
                                                                {"info", "a", "b"},
                                                                {"encrypt", "--force", "x"},
                                                                {"encrypt", "--password-file"}}) {
    const Result r = RunCli(args);
    EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
    EXPECT_NE(r.err.find("tresolin-cli: Aufruf:\n"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(EveryLineHasThePrefix(r.err)) << r.err;
  }
}

TEST_F(CliCommands, Rc4RoundTripWithDefaultOutputName) {
  const auto data = RandomBytes(1000);
  WriteFile(dir_ / "bericht.txt", data);
  const Result enc = RunCli({"encrypt", "--cipher", "rc4", dir_ / "bericht.txt"});
  ASSERT_EQ(enc.code, 0) << enc.err;
  EXPECT_EQ(enc.err,
            "tresolin-cli: Verschlüsselung erfolgreich beendet: " + (dir_ / "bericht.rc4") + "\n");
  EXPECT_TRUE(enc.out.empty());
  const Result dec = RunCli({"decrypt", dir_ / "bericht.rc4"});
  ASSERT_EQ(dec.code, 0) << dec.err;
  EXPECT_EQ(ReadFile(dir_ / "bericht"), data);
}

TEST_F(CliCommands, DecryptNeverReplacesWithoutForce) {
  WriteFile(dir_ / "a.txt", RandomBytes(50));
  ASSERT_EQ(RunCli({"encrypt", "--cipher=rc4", dir_ / "a.txt"}).code, 0);
  WriteFile(dir_ / "a", "keep me");
  const Result refused = RunCli({"decrypt", dir_ / "a.rc4"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(ReadFile(dir_ / "a"), std::vector<std::uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  const Result forced = RunCli({"decrypt", "--force", dir_ / "a.rc4"});
  EXPECT_EQ(forced.code, 0) << forced.err;
  EXPECT_EQ(ReadFile(dir_ / "a"), ReadFile(dir_ / "a.txt"));
}

TEST_F(CliCommands, DecryptRefusesToWriteOverTheContainerItself) {
  WriteFile(dir_ / "x", RandomBytes(50));
  ASSERT_EQ(RunCli({"encrypt", "--cipher", "rc4", "--replace", dir_ / "x"}).code, 0);
  ASSERT_EQ(Listing(dir_.path()), std::vector<std::string>{"x"});
  const Result r = RunCli({"decrypt", "--force", dir_ / "x", dir_ / "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(crypto::ReadTrailer(dir_ / "x").markerLine, "rc4no");
}

TEST_F(CliCommands, WrongPasswordFailsWithTheFlowMessage) {
  WriteFile(dir_ / "a.txt", RandomBytes(50));
  ASSERT_EQ(RunCli({"encrypt", "--cipher", "rc4", dir_ / "a.txt"}).code, 0);
  const Result r = RunCli({"decrypt", dir_ / "a.rc4"}, "falsch");
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, "tresolin-cli: Falsches Passwort: " + (dir_ / "a.rc4") + "\n");
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"a.rc4", "a.txt"}));
}

TEST_F(CliCommands, PasswordFileGivesItsFirstLine) {
  WriteFile(dir_ / "a.txt", RandomBytes(50));
  WriteFile(dir_ / "pw", "aus der Datei\r\nzweite Zeile\n");
  ASSERT_EQ(RunCli({"encrypt", "--cipher", "rc4", "--password-file", dir_ / "pw", dir_ / "a.txt"},
                   std::nullopt)
                .code,
            0);
  EXPECT_EQ(RunCli({"decrypt", dir_ / "a.rc4", dir_ / "b"}, "aus der Datei").code, 0);
  EXPECT_EQ(RunCli({"decrypt", "--password-file=" + (dir_ / "missing"), dir_ / "a.rc4"}).code, 1);
}

TEST_F(CliCommands, TerminalPasswordIsAskedTwiceWhenEncrypting) {
  WriteFile(dir_ / "a.txt", RandomBytes(50));
  const Result mismatch =
      RunCli({"encrypt", "--cipher", "rc4", dir_ / "a.txt"}, std::nullopt, {"eins", "zwei"});
  EXPECT_EQ(mismatch.code, 1);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(
      RunCli({"encrypt", "--cipher", "rc4", dir_ / "a.txt"}, std::nullopt, {"eins", "eins"}).code,
      0);
  EXPECT_EQ(RunCli({"decrypt", dir_ / "a.rc4"}, std::nullopt, {"eins"}).code, 0);
}

TEST_F(CliCommands, NoPasswordSourceIsAUsageError) {
  WriteFile(dir_ / "a.txt", RandomBytes(50));
  const Result r = RunCli({"encrypt", "--cipher", "rc4", dir_ / "a.txt"}, std::nullopt);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"a.txt"});
}

TEST_F(CliCommands, InfoDescribesTheTrailer) {
  WriteFile(dir_ / "a.txt", RandomBytes(1000));
  ASSERT_EQ(RunCli({"encrypt", "--cipher", "rc4", dir_ / "a.txt"}).code, 0);
  const Result r = RunCli({"info", dir_ / "a.rc4"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "Kennung: rc4no\nArt: RC4, nicht gepackt, Datei\nLänge des Inhalts: 1000\n"
            "Anhang passt zur Dateigröße: ja\n"
            "Prüfungen ohne Passwort: Anhang, Länge des Inhalts\n"
            "Prüfungen mit Passwort (verify): Passwort; diese Art trägt keine Prüfsumme\n");
  WriteFile(dir_ / "plain", "just text");
  const Result notOurs = RunCli({"info", dir_ / "plain"});
  EXPECT_EQ(notOurs.code, 4);
  EXPECT_EQ(
      notOurs.err.rfind("tresolin-cli: Das ist keine mit diesem Program verschlüsselte Datei: ", 0),
      0u);
}

TEST_F(CliCommands, DecryptOfAFileThatIsNoContainerFails) {
  WriteFile(dir_ / "plain", "just text");
  const Result r = RunCli({"decrypt", dir_ / "plain"});
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.err, "tresolin-cli: Das ist keine mit diesem Program verschlüsselte Datei: " +
                       (dir_ / "plain") +
                       ": kein lesbarer Anhang (ein am Ende abgeschnittener Container sieht "
                       "genauso aus)\n");
}

TEST_F(CliCommands, MissingInputIsNamed) {
  const Result r = RunCli({"encrypt", "--cipher", "rc4", dir_ / "nothing"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "tresolin-cli: " + (dir_ / "nothing") + ": Datei nicht gefunden\n");
}

// "Replace the original" that cannot delete the source: the container
// stays, the source stays, and the user is told with exit 1.
TEST_F(CliCommands, ReplaceWhoseDeleteFailsKeepsBothAndSaysSo) {
  const auto data = RandomBytes(5000);
  bool reached = false;
  for (int n = 1; n <= 12 && !reached; ++n) {
    std::filesystem::remove(dir_ / "brief.rc4");
    WriteFile(dir_ / "brief.txt", data);
    platform::FaultPlan plan;
    plan.failDeleteAt = n;
    platform::SetFaultPlan(plan);
    const Result r = RunCli({"encrypt", "--cipher", "rc4", "--replace", dir_ / "brief.txt"});
    platform::ClearFaultPlan();
    if (r.err.find("Die Originaldatei konnte nicht gelöscht werden.") == std::string::npos) {
      EXPECT_EQ(r.code, 0) << r.err;
      continue;
    }
    reached = true;
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(ReadFile(dir_ / "brief.txt"), data);
    ASSERT_EQ(RunCli({"decrypt", dir_ / "brief.rc4", dir_ / "zurueck.txt"}).code, 0);
    EXPECT_EQ(ReadFile(dir_ / "zurueck.txt"), data);
  }
  EXPECT_TRUE(reached);
}

// The real binary: streams, exit codes and the environment as a script sees
// them.
class CliBinary : public ::testing::Test {
 protected:
  static std::string Binary() {
    const char* bin = std::getenv("TRESOLIN_BIN_DIR");
    return std::filesystem::absolute(std::string(bin ? bin : "build/bin") + "/tresolin-cli");
  }
  Result Run(const std::string& args, const std::string& env = "TRESOLIN_PASSWORD=geheim") {
    const std::string errFile = dir_ / "stderr.txt";
    const std::string cmd = "env -u TRESOLIN_PASSWORD " + env + " setsid " + Binary() + " " + args +
                            " 2>" + errFile + " </dev/null";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    std::string out;
    std::array<char, 4096> buf;
    while (std::size_t n = std::fread(buf.data(), 1, buf.size(), pipe)) out.append(buf.data(), n);
    const int status = ::pclose(pipe);
    const auto err = ReadFile(errFile);
    return {WEXITSTATUS(status), out, std::string(err.begin(), err.end())};
  }
  TempFolder dir_;
};

TEST_F(CliBinary, EncryptsAndDecryptsThroughTheEnvironmentPassword) {
  const auto data = RandomBytes(1000);
  WriteFile(dir_ / "f.bin", data);
  const Result enc = Run("encrypt --cipher rc4 " + (dir_ / "f.bin"));
  ASSERT_EQ(enc.code, 0) << enc.err;
  EXPECT_TRUE(enc.out.empty());
  EXPECT_EQ(ReadFile(dir_ / "f.rc4").size(), 1045u);
  const Result info = Run("info " + (dir_ / "f.rc4"));
  EXPECT_EQ(info.code, 0);
  EXPECT_NE(info.out.find("Kennung: rc4no"), std::string::npos);
  const Result dec = Run("decrypt " + (dir_ / "f.rc4") + " " + (dir_ / "g.bin"));
  ASSERT_EQ(dec.code, 0) << dec.err;
  EXPECT_EQ(ReadFile(dir_ / "g.bin"), data);
}

TEST_F(CliBinary, WithoutPasswordOrTerminalItIsAUsageError) {
  WriteFile(dir_ / "f.bin", RandomBytes(10));
  const Result r = Run("encrypt --cipher rc4 " + (dir_ / "f.bin"), "");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("tresolin-cli: kein Passwort"), std::string::npos);
}

TEST_F(CliBinary, WrongPasswordExitsWithThree) {
  WriteFile(dir_ / "f.bin", RandomBytes(10));
  ASSERT_EQ(Run("encrypt --cipher rc4 " + (dir_ / "f.bin")).code, 0);
  const Result r = Run("decrypt " + (dir_ / "f.rc4"), "TRESOLIN_PASSWORD=anders");
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, "tresolin-cli: Falsches Passwort: " + (dir_ / "f.rc4") + "\n");
}

// A run may touch nothing but its source and its result: not a file that
// carries one of the old working names, not a link planted where one of them
// would be, not the temporary folder.
TEST_F(CliBinary, FilesAndLinksWithWorkingNamesSurviveEveryCommand) {
  const std::string tmp = dir_ / "tmp";
  std::filesystem::create_directories(tmp);
  std::filesystem::create_directories(dir_ / "Daten");
  WriteFile(dir_ / "Daten/a.txt", "im Ordner");
  WriteFile(dir_ / "brief.txt", "inhalt");
  WriteFile(dir_ / "brief.txt.ppp", "USERDATA");
  WriteFile(tmp + "/Daten.rc4", "USERDATA");
  ASSERT_EQ(::symlink((dir_ / "victim").c_str(), (tmp + "/Daten.zip").c_str()), 0);
  const std::string env = "TRESOLIN_PASSWORD=geheim TMPDIR=" + tmp;

  const Result enc = Run("encrypt --pack " + (dir_ / "brief.txt"), env);
  EXPECT_EQ(enc.code, 0) << enc.err;
  std::filesystem::create_directories(dir_ / "out");
  ASSERT_EQ(Run("encrypt-folder --cipher rc4 " + (dir_ / "Daten") + " " + (dir_ / "out"), env).code,
            0);
  const Result dec = Run("decrypt " + (dir_ / "out/Daten.rc4") + " " + (dir_ / "r"), env);
  EXPECT_EQ(dec.code, 0) << dec.err;
  EXPECT_EQ(ReadFile(dir_ / "r/Daten/a.txt"), ReadFile(dir_ / "Daten/a.txt"));

  const std::vector<std::uint8_t> userData = {'U', 'S', 'E', 'R', 'D', 'A', 'T', 'A'};
  EXPECT_EQ(ReadFile(dir_ / "brief.txt.ppp"), userData);
  EXPECT_EQ(ReadFile(tmp + "/Daten.rc4"), userData);
  EXPECT_FALSE(Exists(dir_ / "victim"));
  EXPECT_EQ(Listing(tmp), (std::vector<std::string>{"Daten.rc4", "Daten.zip"}));
  EXPECT_EQ(Listing(dir_.path()),
            (std::vector<std::string>{"Daten", "brief.aes", "brief.txt", "brief.txt.ppp", "out",
                                      "r", "stderr.txt", "tmp"}));
}

TEST_F(CliBinary, TheTemporaryFolderIsAnOutputFolderLikeAnyOther) {
  const std::string tmp = dir_ / "tmp";
  std::filesystem::create_directories(tmp);
  std::filesystem::create_directories(dir_ / "Daten");
  WriteFile(dir_ / "Daten/a.txt", "im Ordner");
  const Result r = Run("encrypt-folder --cipher rc4 " + (dir_ / "Daten") + " " + tmp,
                       "TRESOLIN_PASSWORD=geheim TMPDIR=" + tmp);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Listing(tmp), std::vector<std::string>{"Daten.rc4"});
}

TEST_F(CliBinary, OutputsThatAreNoRegularFileAreRefusedEvenWithForce) {
  WriteFile(dir_ / "f.bin", "geheim");
  ASSERT_EQ(Run("encrypt --cipher rc4 " + (dir_ / "f.bin")).code, 0);
  ASSERT_EQ(::symlink((dir_ / "victim").c_str(), (dir_ / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directories(dir_ / "ordner");
  for (const char* name : {"link", "fifo", "ordner"}) {
    const Result r = Run("decrypt --force " + (dir_ / "f.rc4") + " " + (dir_ / name));
    EXPECT_EQ(r.code, 1) << name;
    EXPECT_NE(r.err.find("ist keine gewöhnliche Datei"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link"));
  EXPECT_FALSE(Exists(dir_ / "victim"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir_ / "fifo"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "ordner"));
}

// Two runs at once: one takes the name, the other fails; neither claims a
// result it does not have, and nothing is lost.
TEST_F(CliBinary, RunsAtOnceNeverBothClaimOneResult) {
  const std::string env = "env -u TRESOLIN_PASSWORD TRESOLIN_PASSWORD=geheim " + Binary();
  for (int round = 0; round < 3; ++round) {
    for (const char* side : {"a", "b"}) {
      std::filesystem::create_directories(dir_ / (std::string(side) + "/Daten"));
      WriteFile(dir_ / (std::string(side) + "/Daten/" + side + ".txt"), RandomBytes(200000));
    }
    std::filesystem::create_directories(dir_ / "out");
    const std::string script = "cd " + dir_.path() + " && { (" + env +
                               " encrypt-folder a/Daten out 2>/dev/null; echo $? > ca) & (" + env +
                               " encrypt-folder b/Daten out 2>/dev/null; echo $? > cb) & wait; }";
    ASSERT_EQ(std::system(script.c_str()), 0);
    auto text = [](const std::vector<std::uint8_t>& bytes) {
      return std::string(bytes.begin(), bytes.end());
    };
    const std::string codes = text(ReadFile(dir_ / "ca")) + text(ReadFile(dir_ / "cb"));
    EXPECT_TRUE(codes == "0\n1\n" || codes == "1\n0\n") << codes;
    EXPECT_EQ(Listing(dir_ / "out"), std::vector<std::string>{"Daten.aes"});
    const Result dec = Run("decrypt " + (dir_ / "out/Daten.aes") + " " + (dir_ / "r"));
    ASSERT_EQ(dec.code, 0) << dec.err;
    const std::string winner = codes[0] == '0' ? "a" : "b";
    EXPECT_EQ(Listing(dir_ / "r/Daten"), std::vector<std::string>{winner + ".txt"});
    EXPECT_EQ(ReadFile(dir_ / ("r/Daten/" + winner + ".txt")),
              ReadFile(dir_ / (winner + "/Daten/" + winner + ".txt")));
    for (const char* gone : {"a", "b", "out", "r"}) std::filesystem::remove_all(dir_ / gone);
  }

  // Two "replace the original" runs on one file: whatever wins, the file's
  // bytes survive in the file or in a complete container.
  const auto data = RandomBytes(300000);
  for (int round = 0; round < 3; ++round) {
    WriteFile(dir_ / "brief.txt", data);
    const std::string once = "(" + env + " encrypt --pack --replace brief.txt 2>/dev/null)";
    const std::string script = "cd " + dir_.path() + " && { " + once + " & " + once + " & wait; }";
    ASSERT_EQ(std::system(script.c_str()), 0);
    int containers = 0;
    for (const char* name : {"brief.aes", "brief.txt_aes"}) {
      if (!Exists(dir_ / name)) continue;
      ++containers;
      std::filesystem::create_directories(dir_ / "r");
      const Result dec = Run("decrypt " + (dir_ / name) + " " + (dir_ / "r"));
      ASSERT_EQ(dec.code, 0) << name << dec.err;
      EXPECT_EQ(ReadFile(dir_ / "r/brief.txt"), data) << name;
      std::filesystem::remove_all(dir_ / "r");
    }
    if (Exists(dir_ / "brief.txt")) {
      EXPECT_EQ(ReadFile(dir_ / "brief.txt"), data);
    } else {
      EXPECT_GE(containers, 1);
    }
    for (const auto& name : Listing(dir_.path())) {
      EXPECT_NE(name.rfind(".tresolin-work-", 0), 0u) << name;
    }
    for (const char* gone : {"brief.aes", "brief.txt_aes", "brief.txt"}) {
      std::filesystem::remove(dir_ / gone);
    }
  }
}

TEST_F(CliBinary, FolderOfMoreThan65535FilesComesBackWhole) {
  // Spread over subfolders: one folder of that many files is slow to fill
  // on some file systems, and the count is what matters here.
  constexpr int kFolders = 41;
  constexpr int kFilesEach = 1600;  // 65,600 files in all
  for (int f = 0; f < kFolders; ++f) {
    const std::string sub = dir_ / ("Viele/" + std::to_string(f));
    std::filesystem::create_directories(sub);
    for (int i = 0; i < kFilesEach; ++i) std::ofstream(sub + "/" + std::to_string(i));
  }
  ASSERT_EQ(Run("encrypt-folder --cipher rc4 " + (dir_ / "Viele") + " " + dir_.path()).code, 0);
  const Result dec = Run("decrypt " + (dir_ / "Viele.rc4") + " " + (dir_ / "r"));
  EXPECT_EQ(dec.code, 0) << dec.err;
  EXPECT_EQ(dec.err.find("Fehlerhaft"), std::string::npos);
  std::size_t restored = 0;
  for (int f = 0; f < kFolders; ++f) {
    restored += Listing(dir_ / ("r/Viele/" + std::to_string(f))).size();
  }
  EXPECT_EQ(restored, static_cast<std::size_t>(kFolders * kFilesEach));
}

}  // namespace

namespace {

class CliAes : public CliCommands {};

TEST_F(CliAes, RoundTripAndDamagedBody) {
  // Text packs, so its entry carries the stream's checksum: damage shows.
  // (A stored entry has no integrity check; its damage cannot be seen.)
  std::string text;
  for (int i = 0; text.size() < 30000; ++i)
    text += "Zeile " + std::to_string(i) + " des Berichts\n";
  const std::vector<std::uint8_t> data(text.begin(), text.end());
  WriteFile(dir_ / "daten.bin", data);
  ASSERT_EQ(RunCli({"encrypt", dir_ / "daten.bin"}).code, 0);  // AES is the default
  EXPECT_EQ(RunCli({"info", dir_ / "daten.aes"}).out.substr(0, 15), "Kennung: aesno\n");
  ASSERT_EQ(RunCli({"decrypt", dir_ / "daten.aes", dir_ / "zurueck.bin"}).code, 0);
  EXPECT_EQ(ReadFile(dir_ / "zurueck.bin"), data);

  auto bytes = ReadFile(dir_ / "daten.aes");
  bytes[100] ^= 0x01;
  WriteFile(dir_ / "kaputt.aes", bytes);
  const Result damaged = RunCli({"decrypt", dir_ / "kaputt.aes", dir_ / "nichts.bin"});
  EXPECT_EQ(damaged.code, 5);
  EXPECT_EQ(damaged.err.rfind("tresolin-cli: Fehler bei der Entschlüsselung: " +
                                  (dir_ / "kaputt.aes") + ": Container beschädigt: ",
                              0),
            0u)
      << damaged.err;
  EXPECT_FALSE(Exists(dir_ / "nichts.bin"));
  EXPECT_EQ(Listing(dir_.path()),
            (std::vector<std::string>{"daten.aes", "daten.bin", "kaputt.aes", "zurueck.bin"}));
}

}  // namespace

namespace {

// Text compresses, so every kind's body carries whatever checksum it can.
std::string ReportText(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += "Zeile " + std::to_string(i) + " des Berichts\n";
  return text;
}

bool HasWorkFolder(const std::string& folder) {
  for (const auto& name : Listing(folder)) {
    if (name.rfind(".tresolin-work-", 0) == 0) return true;
  }
  return false;
}

class CliCauses : public CliCommands {
 protected:
  // Flips one byte in the middle of the container's body.
  void DamageBody(const std::string& container) {
    auto bytes = ReadFile(container);
    const crypto::Trailer trailer = crypto::ReadTrailer(container);
    bytes[static_cast<std::size_t>(trailer.bodyLength / 2)] ^= 0x20;
    WriteFile(container, bytes);
  }
};

// Each cause a script may meet leads to its own exit code and names the
// path as given; nothing that is no file is called "not a container".
TEST_F(CliCauses, EachCauseHasItsExitCodeAndWords) {
  WriteFile(dir_ / "brief.txt", ReportText(200));
  ASSERT_EQ(RunCli({"encrypt", dir_ / "brief.txt"}).code, 0);
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  auto bytes = ReadFile(dir_ / "brief.aes");
  bytes.resize(bytes.size() - 10);
  WriteFile(dir_ / "kurz.aes", bytes);

  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> password;
    int code;
    std::string err;  // the whole line after the prefix, or a part of it
  };
  const std::vector<Case> cases = {
      {{"decrypt", dir_ / "fehlt.aes"},
       "geheim",
       1,
       (dir_ / "fehlt.aes") + ": Datei nicht gefunden"},
      {{"verify", dir_ / "fifo"}, "geheim", 1, "ist keine gewöhnliche Datei (FIFO"},
      {{"decrypt", dir_ / "fifo"}, "geheim", 1, "ist keine gewöhnliche Datei (FIFO"},
      {{"encrypt", dir_ / "fifo"}, "geheim", 1, "ist keine gewöhnliche Datei (FIFO"},
      {{"info", dir_.path()}, "geheim", 1, dir_.path() + ": ist ein Ordner, keine Datei"},
      {{"decrypt", dir_ / "brief.aes"}, "falsch", 3, "Falsches Passwort: " + (dir_ / "brief.aes")},
      {{"verify", dir_ / "brief.aes"}, "falsch", 3, "Falsches Passwort"},
      {{"decrypt", dir_ / "kurz.aes"}, "geheim", 4, "ein am Ende abgeschnittener Container"},
      {{"verify", dir_ / "kurz.aes"}, "geheim", 4, "ein am Ende abgeschnittener Container"},
  };
  for (const Case& c : cases) {
    const Result r = RunCli(c.args, c.password);
    EXPECT_EQ(r.code, c.code) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_TRUE(EveryLineHasThePrefix(r.err)) << r.err;
    EXPECT_EQ(r.err.find("Das ist keine") != std::string::npos, c.code == 4) << r.err;
  }
  EXPECT_EQ(Listing(dir_.path()),
            (std::vector<std::string>{"brief.aes", "brief.txt", "fifo", "kurz.aes"}));
}

TEST_F(CliCauses, AFullDiskExitsWithSix) {
  WriteFile(dir_ / "brief.txt", RandomBytes(3 << 20));
  platform::FaultPlan plan;
  plan.failWriteAt = 2;
  platform::SetFaultPlan(plan);
  const Result enc = RunCli({"encrypt", "--cipher", "rc4", dir_ / "brief.txt"});
  platform::ClearFaultPlan();
  EXPECT_EQ(enc.code, 6);
  EXPECT_EQ(enc.err, "tresolin-cli: Fehler bei der Verschlüsselung: " + dir_.path() +
                         "/: Schreibfehler: kein Platz mehr auf dem Datenträger\n");
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"brief.txt"});

  ASSERT_EQ(RunCli({"encrypt", "--cipher", "rc4", dir_ / "brief.txt"}).code, 0);
  plan = {};
  plan.freeMegabytes = 0;
  platform::SetFaultPlan(plan);
  const Result dec = RunCli({"decrypt", dir_ / "brief.rc4", dir_ / "zurueck.txt"});
  platform::ClearFaultPlan();
  EXPECT_EQ(dec.code, 6);
  EXPECT_EQ(
      dec.err.rfind("tresolin-cli: Zu wenig Festplattenspeicher zum Entschlüsseln vorhanden: ", 0),
      0u)
      << dec.err;
  EXPECT_FALSE(Exists(dir_ / "zurueck.txt"));
}

// The format records the body length in a signed 32-bit field.
TEST_F(CliCauses, AFileOfTwoGibibytesIsRefusedWithTheLimit) {
  testing_support::MakeSparseFile(dir_ / "gross.bin", std::int64_t{1} << 31);
  const Result r = RunCli({"encrypt", "--cipher", "rc4", dir_ / "gross.bin"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err,
            "tresolin-cli: Fehler bei der Verschlüsselung: " + (dir_ / "gross.bin") +
                ": Datei ist 2 GiB groß oder größer (das Format erlaubt weniger als 2 GiB)\n");
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"gross.bin"});
}

// verify on all eight kinds, whole and with one byte of the body flipped:
// every kind with a checksum finds the damage, decrypt refuses it with the
// same exit code, and neither leaves anything behind.
TEST_F(CliCauses, VerifyFindsDamageWhereTheKindCarriesAChecksum) {
  WriteFile(dir_ / "brief.txt", ReportText(3000));
  std::filesystem::create_directories(dir_ / "Ordner/unten");
  WriteFile(dir_ / "Ordner/a.txt", ReportText(2000));
  WriteFile(dir_ / "Ordner/unten/b.txt", ReportText(1000));
  std::filesystem::create_directories(dir_ / "aus");
  for (const std::string cipher : {"aes", "rc4"}) {
    for (const bool pack : {false, true}) {
      for (const bool folder : {false, true}) {
        const std::string label = cipher + (pack ? " packed" : "") + (folder ? " folder" : "");
        std::vector<std::string> args = {folder ? "encrypt-folder" : "encrypt", "--cipher", cipher};
        if (pack) args.push_back("--pack");
        if (folder) {
          args.insert(args.end(), {dir_ / "Ordner", dir_ / "aus"});
        } else {
          args.insert(args.end(), {"--output", dir_ / "aus/Ordner.c", dir_ / "brief.txt"});
        }
        const std::string container = dir_ / (folder ? "aus/Ordner." + cipher : "aus/Ordner.c");
        ASSERT_EQ(RunCli(args).code, 0) << label;
        const Result good = RunCli({"verify", container});
        EXPECT_EQ(good.code, 0) << label << good.err;
        EXPECT_NE(good.out.find(": in Ordnung ("), std::string::npos) << label;

        DamageBody(container);
        const Result bad = RunCli({"verify", container});
        const bool checkable = cipher == "aes" || pack || folder;
        if (checkable) {
          EXPECT_EQ(bad.code, 5) << label << bad.err;
          EXPECT_NE(bad.err.find(container + ": Container beschädigt: "), std::string::npos)
              << label << bad.err;
          const Result dec = RunCli({"decrypt", container, dir_ / "zurueck"});
          EXPECT_EQ(dec.code, 5) << label << dec.err;
          EXPECT_FALSE(Exists(dir_ / "zurueck")) << label;
        } else {
          EXPECT_EQ(bad.code, 0) << label;
          EXPECT_NE(bad.out.find("diese Art trägt keine Prüfsumme"), std::string::npos);
        }
        EXPECT_FALSE(HasWorkFolder(dir_ / "aus")) << label;
        EXPECT_EQ(Listing(dir_ / "aus"),
                  std::vector<std::string>{std::string(crypto::FileNamePart(container))});
        std::filesystem::remove(container);
      }
    }
  }
}

TEST_F(CliCauses, EncryptFolderForceReplacesOnlyARegularFile) {
  std::filesystem::create_directories(dir_ / "Daten");
  WriteFile(dir_ / "Daten/a.txt", "neu");
  std::filesystem::create_directories(dir_ / "aus");
  WriteFile(dir_ / "aus/Daten.rc4", "alt");
  const Result refused =
      RunCli({"encrypt-folder", "--cipher", "rc4", dir_ / "Daten", dir_ / "aus"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("gibt es schon; --force ersetzt es"), std::string::npos);
  const Result forced =
      RunCli({"encrypt-folder", "--force", "--cipher", "rc4", dir_ / "Daten", dir_ / "aus"});
  ASSERT_EQ(forced.code, 0) << forced.err;
  EXPECT_EQ(forced.err, "tresolin-cli: Verschlüsselung erfolgreich beendet: " +
                            (dir_ / "aus/Daten.rc4") + "\n");
  EXPECT_EQ(RunCli({"verify", dir_ / "aus/Daten.rc4"}).code, 0);

  std::filesystem::remove(dir_ / "aus/Daten.rc4");
  ASSERT_EQ(::symlink((dir_ / "opfer").c_str(), (dir_ / "aus/Daten.rc4").c_str()), 0);
  const Result link =
      RunCli({"encrypt-folder", "--force", "--cipher", "rc4", dir_ / "Daten", dir_ / "aus"});
  EXPECT_EQ(link.code, 1);
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "aus/Daten.rc4"));
  EXPECT_FALSE(Exists(dir_ / "opfer"));
}

TEST_F(CliCauses, StandardInputAndOutputCarryTheData) {
  const auto data = RandomBytes(300000);
  std::istringstream input(std::string(data.begin(), data.end()));
  console_.in = &input;
  const Result enc = RunCli({"encrypt", "--output", dir_ / "brief.aes", "-"});
  ASSERT_EQ(enc.code, 0) << enc.err;
  const Result dec = RunCli({"decrypt", dir_ / "brief.aes", "-"});
  ASSERT_EQ(dec.code, 0) << dec.err;
  EXPECT_EQ(dec.out, std::string(data.begin(), data.end()));
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"brief.aes"});

  // Packed, the single entry is named after the container's stem.
  std::istringstream again(std::string(data.begin(), data.end()));
  console_.in = &again;
  ASSERT_EQ(RunCli({"encrypt", "--pack", "--output", dir_ / "paket.rc4.x", "-"}).code, 0);
  ASSERT_EQ(RunCli({"decrypt", dir_ / "paket.rc4.x", dir_ / "aus"}).code, 0);
  EXPECT_EQ(ReadFile(dir_ / "aus/paket"), data);
  const Result packedOut = RunCli({"decrypt", dir_ / "paket.rc4.x", "-"});
  EXPECT_EQ(packedOut.code, 2);
  EXPECT_TRUE(packedOut.out.empty());

  console_.outIsTerminal = true;
  EXPECT_EQ(RunCli({"decrypt", dir_ / "brief.aes", "-"}).code, 2);
  console_.outIsTerminal = false;

  std::istringstream password("geheim\n");
  console_.in = &password;
  const Result fromInput =
      RunCli({"decrypt", "--password-file", "-", dir_ / "brief.aes", "-"}, std::nullopt);
  EXPECT_EQ(fromInput.code, 0) << fromInput.err;
  EXPECT_EQ(fromInput.out.size(), data.size());
  EXPECT_EQ(RunCli({"encrypt", "--password-file", "-", "--output", dir_ / "x.aes", "-"}).code, 2);
  EXPECT_EQ(RunCli({"encrypt", dir_ / "brief.aes", "-"}).code, 2);
  EXPECT_FALSE(HasWorkFolder(dir_.path()));
}

// Checking and piping leave nothing behind, so a container on a read-only
// medium serves them from the temporary folder.
TEST_F(CliCauses, VerifyAndPipeWorkWhereTheContainersFolderTakesNoFile) {
  const auto data = RandomBytes(100000);
  WriteFile(dir_ / "brief.txt", data);
  for (const std::string cipher : {"aes", "rc4"}) {
    const std::string container = dir_ / ("brief." + cipher);
    ASSERT_EQ(RunCli({"encrypt", "--cipher", cipher, dir_ / "brief.txt"}).code, 0);
    platform::FaultPlan plan;
    plan.failOpenForWriteAt = 1;  // the working folder beside the container
    platform::SetFaultPlan(plan);
    const Result verified = RunCli({"verify", container});
    platform::SetFaultPlan(plan);
    const Result piped = RunCli({"decrypt", container, "-"});
    platform::ClearFaultPlan();
    EXPECT_EQ(verified.code, 0) << cipher << verified.err;
    EXPECT_EQ(piped.code, 0) << cipher << piped.err;
    EXPECT_EQ(piped.out, std::string(data.begin(), data.end())) << cipher;
    EXPECT_FALSE(HasWorkFolder(platform::TempFolder())) << cipher;
    std::filesystem::remove(container);
  }
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{"brief.txt"});
}

TEST_F(CliCauses, ProgressLineOnlyOnATerminalAndNotWhenQuiet) {
  WriteFile(dir_ / "gross.bin", RandomBytes(3 << 20));
  console_.progressDelayMs = 0;
  const Result plain = RunCli({"encrypt", "--cipher", "rc4", dir_ / "gross.bin"});
  EXPECT_EQ(plain.err.find('\r'), std::string::npos);
  console_.errIsTerminal = true;
  const Result quiet = RunCli({"decrypt", "--quiet", dir_ / "gross.rc4", dir_ / "a"});
  ASSERT_EQ(quiet.code, 0);
  EXPECT_EQ(quiet.err.find('\r'), std::string::npos);
  const Result shown = RunCli({"decrypt", dir_ / "gross.rc4", dir_ / "b"});
  ASSERT_EQ(shown.code, 0);
  EXPECT_NE(shown.err.find("\rtresolin-cli: Datei wird Entschlüsselt: "), std::string::npos)
      << shown.err;
  EXPECT_NE(shown.err.find(" %, "), std::string::npos);
  EXPECT_NE(shown.err.find(" MB/s, noch "), std::string::npos);
  // The AES engine reports through its call report.
  const Result aes = RunCli({"encrypt", dir_ / "gross.bin"});
  ASSERT_EQ(aes.code, 0);
  EXPECT_NE(aes.err.find("\rtresolin-cli: Datei wird Verschlüsselt: "), std::string::npos);
  // The line is erased before the result is told.
  EXPECT_NE(shown.err.find("\r\x1b[Ktresolin-cli: Entschlüsselung erfolgreich beendet"),
            std::string::npos);
}

// The binary as a script uses it: pipes, a pseudo-terminal, signals and
// the README's own example.
class CliScripted : public CliBinary {
 protected:
  // Runs a shell script in the test folder; returns its exit code and
  // what it wrote to standard output (stderr joined in).
  Result Shell(const std::string& script) {
    const std::string cmd = "cd " + dir_.path() + " && env -u TRESOLIN_PASSWORD B=" + Binary() +
                            " TRESOLIN_PASSWORD=geheim sh -c '" + script + "' 2>&1";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    std::string out;
    std::array<char, 4096> buf;
    while (std::size_t n = std::fread(buf.data(), 1, buf.size(), pipe)) out.append(buf.data(), n);
    const int status = ::pclose(pipe);
    return {WEXITSTATUS(status), out, ""};
  }
};

TEST_F(CliScripted, PipesBothWaysKeepEveryByte) {
  WriteFile(dir_ / "daten", RandomBytes(2 << 20));
  const Result r = Shell(
      "cat daten | $B encrypt --output c.aes - && $B decrypt c.aes - | cmp - daten && "
      "$B encrypt --cipher rc4 --pack --output c.rc4 - < daten && $B decrypt c.rc4 aus && "
      "cmp aus/c daten && echo gleich");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("gleich"), std::string::npos) << r.out;
}

TEST_F(CliScripted, ProgressShowsUnderAPseudoTerminalOnly) {
  if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1)";
  WriteFile(dir_ / "daten", RandomBytes(4 << 20));
  const Result tty =
      Shell("TRESOLIN_PROGRESS_DELAY_MS=0 script -qec \"$B encrypt --cipher rc4 daten\" /dev/null");
  EXPECT_EQ(tty.code, 0) << tty.out;
  EXPECT_NE(tty.out.find("tresolin-cli: Datei wird Verschlüsselt: "), std::string::npos) << tty.out;
  const Result quiet = Shell(
      "TRESOLIN_PROGRESS_DELAY_MS=0 script -qec \"$B decrypt --quiet daten.rc4 a\" /dev/null");
  EXPECT_EQ(quiet.code, 0) << quiet.out;
  EXPECT_EQ(quiet.out.find('%'), std::string::npos) << quiet.out;
  const Result piped = Shell("TRESOLIN_PROGRESS_DELAY_MS=0 $B decrypt daten.rc4 b");
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.out.find('%'), std::string::npos) << piped.out;
}

// A run ended while it stages standard input leaves nothing behind.
TEST_F(CliScripted, TerminatedRunExitsWith143AndLeavesNothing) {
  const Result r = Shell(
      "(sleep 3) | $B encrypt --output c.aes - & p=$!; sleep 0.5; kill -TERM $p; wait $p; "
      "echo \"status $?\"");
  EXPECT_NE(r.out.find("status 143"), std::string::npos) << r.out;
  EXPECT_EQ(Listing(dir_.path()), std::vector<std::string>{});
}

// The README's example block, command by command, in a fresh folder: each
// command succeeds and prints exactly what the README shows.
TEST_F(CliScripted, ReadmeExampleRunsAsWritten) {
  const auto readme = ReadFile(TRESOLIN_README);
  const std::string text(readme.begin(), readme.end());
  const std::size_t start = text.find("```sh\n$ ");
  ASSERT_NE(start, std::string::npos);
  const std::size_t end = text.find("```\n", start + 6);
  std::istringstream block(text.substr(start + 6, end - start - 6));
  std::vector<std::pair<std::string, std::string>> steps;  // command, expected output
  for (std::string line; std::getline(block, line);) {
    if (line.rfind("$ ", 0) == 0) {
      steps.emplace_back(line.substr(2), "");
    } else {
      ASSERT_FALSE(steps.empty());
      steps.back().second += line + "\n";
    }
  }
  ASSERT_GE(steps.size(), 4u);
  std::string script;
  for (auto& [command, expected] : steps) {
    std::string run = command;
    const std::string name = "build/bin/tresolin-cli";
    if (const std::size_t at = run.find(name); at != std::string::npos)
      run.replace(at, name.size(), "$B");
    script += run + "; echo \"@@ $?\"; ";
  }
  const Result r = Shell("unset TRESOLIN_PASSWORD; " + script);
  std::size_t from = 0;
  for (const auto& [command, expected] : steps) {
    const std::size_t mark = r.out.find("@@ ", from);
    ASSERT_NE(mark, std::string::npos) << command;
    EXPECT_EQ(r.out.substr(from, mark - from), expected) << command;
    EXPECT_EQ(r.out.substr(mark, 5), "@@ 0\n") << command;
    from = mark + 5;
  }
}

}  // namespace
