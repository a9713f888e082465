// Starting with a path: the command line, the hand-over from a second start
// to the running copy, and where the window puts the path it is given.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTabWidget>
#include <string>
#include <thread>

#include "app/shell/command_line.h"
#include "app/shell/instance_channel.h"
#include "crypto/trailer.h"
#include "tests/app/shell/shell_test_support.h"

namespace {

using shell::CommandLine;
using shell::ParseCommandLine;
using shell_testing::WaitUntil;
using Action = CommandLine::Action;

TEST(CommandLine, TakesOnePathHelpVersionAndRefusesTheRest) {
  EXPECT_EQ(ParseCommandLine({}).action, Action::kRun);
  EXPECT_EQ(ParseCommandLine({}).path, "");
  EXPECT_EQ(ParseCommandLine({"brief.aes"}).path, "brief.aes");
  EXPECT_EQ(ParseCommandLine({"--", "-brief.aes"}).path, "-brief.aes");
  EXPECT_EQ(ParseCommandLine({"-"}).path, "-");
  EXPECT_EQ(ParseCommandLine({"--help"}).action, Action::kHelp);
  EXPECT_EQ(ParseCommandLine({"a", "-h"}).action, Action::kHelp);
  EXPECT_EQ(ParseCommandLine({"--version"}).action, Action::kVersion);
  EXPECT_EQ(ParseCommandLine({"--", "--help"}).path, "--help");

  const CommandLine unknown = ParseCommandLine({"-platform", "offscreen"});
  EXPECT_EQ(unknown.action, Action::kUsageError);
  EXPECT_EQ(unknown.error, "unbekannte Option: -platform");
  EXPECT_EQ(ParseCommandLine({"a", "b"}).action, Action::kUsageError);
}

class HandOver : public ::testing::Test {
 protected:
  testing_support::TempFolder dir_;
  std::string socket_ = dir_ / "lock.socket";
};

TEST_F(HandOver, TheRunningCopyReceivesEachPathByteForByte) {
  shell::InstanceServer server;
  std::vector<std::string> received;
  QObject::connect(&server, &shell::InstanceServer::openRequested,
                   [&received](const std::string& path) { received.push_back(path); });
  ASSERT_TRUE(server.Listen(socket_));
  // An empty path only asks for the window; a name need not be UTF-8.
  const std::vector<std::string> sent = {"/home/anna/brief.aes", "",
                                         "/tmp/Gr\xFC\xDF"
                                         "e.rc4"};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    bool delivered = false;
    std::thread second(
        [&] { delivered = shell::SendToRunningCopy(socket_, sent[i], std::chrono::seconds(5)); });
    EXPECT_TRUE(WaitUntil([&] { return received.size() == i + 1; }));
    second.join();
    EXPECT_TRUE(delivered);
  }
  EXPECT_EQ(received, sent);
}

TEST_F(HandOver, AStaleSocketIsReplacedAnythingElseIsLeftAlone) {
  {
    shell::InstanceServer gone;
    ASSERT_TRUE(gone.Listen(socket_));
  }
  // The socket file of a copy that is gone may stay behind.
  std::error_code ec;
  if (!std::filesystem::exists(socket_, ec)) {
    QLocalServer leftover;
    leftover.setSocketOptions(QLocalServer::NoOptions);
    ASSERT_TRUE(leftover.listen(QString::fromStdString(socket_)));
    leftover.close();
  }
  shell::InstanceServer server;
  EXPECT_TRUE(server.Listen(socket_));

  const std::string file = dir_ / "datei";
  testing_support::WriteFile(file, "meins");
  shell::InstanceServer refused;
  EXPECT_FALSE(refused.Listen(file));
  EXPECT_EQ(testing_support::ReadFile(file), std::vector<std::uint8_t>({'m', 'e', 'i', 'n', 's'}));
}

TEST_F(HandOver, NobodyListeningIsAFailureAfterThePatience) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(shell::SendToRunningCopy(socket_, "/x", std::chrono::milliseconds(300)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

class OpenPath : public shell_testing::WindowTest {
 protected:
  int Tab() { return window().findChild<QTabWidget*>(QStringLiteral("tab-panel"))->currentIndex(); }
  std::string Field(int number) { return Gadget<QLineEdit>(number)->text().toStdString(); }

  // A container of marker: a few body bytes and the trailer.
  std::string Container(const std::string& name, std::string_view marker) {
    const std::string path = dir_ / name;
    testing_support::WriteFile(path, testing_support::RandomBytes(64));
    EXPECT_TRUE(crypto::AppendTrailer(path, marker, "pw"));
    return path;
  }
};

TEST_F(OpenPath, EachKindLandsInItsPanelAsIfChosenThere) {
  const std::string fileContainer = Container("brief.aes", "aesno");
  window().OpenPath(fileContainer);
  EXPECT_EQ(Tab(), 1);
  EXPECT_EQ(Field(45), fileContainer);
  EXPECT_EQ(window().frontEnd().GadgetText(48), "AES-Verschlüsselung\r\nNicht Gepackt");
  EXPECT_EQ(window().state().fileSelection.containerPath, fileContainer);

  // The marker decides, not the name.
  const std::string folderContainer = Container("Fotos.rc4", "rc4foldye");
  window().OpenPath(folderContainer);
  EXPECT_EQ(Tab(), 1);
  EXPECT_EQ(Field(50), folderContainer);
  EXPECT_EQ(window().state().folderSelection.kind, 1);

  const std::string plain = dir_ / "brief.txt";
  testing_support::WriteFile(plain, "Hallo");
  window().OpenPath(plain);
  EXPECT_EQ(Tab(), 0);
  EXPECT_EQ(Field(5), plain);
  EXPECT_EQ(window().state().sourceFile, plain);

  window().OpenPath(dir_.path());
  EXPECT_EQ(Tab(), 0);
  EXPECT_EQ(Field(28), dir_.path() + "/");
  EXPECT_EQ(window().state().sourceFolder, dir_.path() + "/");

  // None of these asked the user anything.
  EXPECT_TRUE(answers_.dialogTitles.empty());
  EXPECT_TRUE(answers_.messages.empty());
}

TEST_F(OpenPath, APathGivenWhileADialogIsOpenWaitsUntilItCloses) {
  const std::string plain = dir_ / "brief.txt";
  testing_support::WriteFile(plain, "Hallo");
  window().OpenPath(plain);
  Click(11);
  ASSERT_NE(window().passwordDialog(), nullptr);

  const std::string container = Container("brief.aes", "aesye");
  window().OpenPath(container);
  EXPECT_EQ(Field(45), "");
  EXPECT_EQ(Tab(), 0);
  window().CloseRequest(1);
  EXPECT_EQ(Field(45), container);
  EXPECT_EQ(Tab(), 1);
}

}  // namespace
