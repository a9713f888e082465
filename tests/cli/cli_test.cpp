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
    const int code = cli::Run(args, out, err, sources);
    return {code, out.str(), err.str()};
  }
  TempFolder dir_;
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
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
  }
}

TEST_F(CliCommands, Rc4RoundTripWithDefaultOutputName) {
  const auto data = RandomBytes(1000);
  WriteFile(dir_ / "bericht.txt", data);
  const Result enc = RunCli({"encrypt", "--cipher", "rc4", dir_ / "bericht.txt"});
  ASSERT_EQ(enc.code, 0) << enc.err;
  EXPECT_EQ(enc.err, "Verschlüsselung erfolgreich beendet\n-> " + (dir_ / "bericht.rc4") + "\n");
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
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Falsches Passwort\n");
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
            "marker: rc4no\nkind: RC4, not packed, file\nbody length: 1000\n"
            "trailer matches file size: yes\n");
  WriteFile(dir_ / "plain", "just text");
  const Result notOurs = RunCli({"info", dir_ / "plain"});
  EXPECT_EQ(notOurs.code, 1);
  EXPECT_EQ(notOurs.err, "Das ist keine mit diesem Program verschlüsselte Datei.\n");
}

TEST_F(CliCommands, DecryptOfAFileThatIsNoContainerFails) {
  WriteFile(dir_ / "plain", "just text");
  const Result r = RunCli({"decrypt", dir_ / "plain"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Das ist keine mit diesem Program verschlüsselte Datei.\n");
}

TEST_F(CliCommands, MissingInputIsNamed) {
  const Result r = RunCli({"encrypt", "--cipher", "rc4", dir_ / "nothing"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no such file"), std::string::npos);
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
  EXPECT_NE(info.out.find("marker: rc4no"), std::string::npos);
  const Result dec = Run("decrypt " + (dir_ / "f.rc4") + " " + (dir_ / "g.bin"));
  ASSERT_EQ(dec.code, 0) << dec.err;
  EXPECT_EQ(ReadFile(dir_ / "g.bin"), data);
}

TEST_F(CliBinary, WithoutPasswordOrTerminalItIsAUsageError) {
  WriteFile(dir_ / "f.bin", RandomBytes(10));
  const Result r = Run("encrypt --cipher rc4 " + (dir_ / "f.bin"), "");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("no password"), std::string::npos);
}

TEST_F(CliBinary, WrongPasswordExitsWithOne) {
  WriteFile(dir_ / "f.bin", RandomBytes(10));
  ASSERT_EQ(Run("encrypt --cipher rc4 " + (dir_ / "f.bin")).code, 0);
  const Result r = Run("decrypt " + (dir_ / "f.rc4"), "TRESOLIN_PASSWORD=anders");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Falsches Passwort\n");
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
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
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
  EXPECT_EQ(RunCli({"info", dir_ / "daten.aes"}).out.substr(0, 14), "marker: aesno\n");
  ASSERT_EQ(RunCli({"decrypt", dir_ / "daten.aes", dir_ / "zurueck.bin"}).code, 0);
  EXPECT_EQ(ReadFile(dir_ / "zurueck.bin"), data);

  auto bytes = ReadFile(dir_ / "daten.aes");
  bytes[100] ^= 0x01;
  WriteFile(dir_ / "kaputt.aes", bytes);
  const Result damaged = RunCli({"decrypt", dir_ / "kaputt.aes", dir_ / "nichts.bin"});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_EQ(damaged.err, "Fehler bei der Entschlüsselung\n");
  EXPECT_FALSE(Exists(dir_ / "nichts.bin"));
  EXPECT_EQ(Listing(dir_.path()),
            (std::vector<std::string>{"daten.aes", "daten.bin", "kaputt.aes", "zurueck.bin"}));
}

}  // namespace
