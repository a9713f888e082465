// Starting and ending the progress program, with a stand-in that records
// the caption, its argument and its folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QRadioButton>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "app/shell/progress_launch.h"
#include "tests/app/shell/shell_test_support.h"

namespace {

using shell::ProgressLauncher;
using shell_testing::WaitUntil;
using testing_support::TempFolder;

// Puts a stand-in progress program at <folder>/data/hourspin. Each start
// appends "titel|argument|current folder" to <folder>/seen, then waits to be
// killed.
void InstallStandIn(const TempFolder& folder) {
  ASSERT_TRUE(platform::MakeFolders(folder / "data"));
  const std::string script = folder / "data/hourspin";
  testing_support::WriteFile(script,
                             "#!/bin/sh\n"
                             "printf '%s|%s|%s\\n' \"$titel\" \"$1\" \"$(pwd)\" >> \"$(dirname "
                             "\"$0\")/../seen\"\n"
                             "exec sleep 60\n");
  ASSERT_TRUE(platform::SetFileMode(script, 0755));
}

std::vector<std::string> Seen(const TempFolder& folder) {
  std::vector<std::string> lines;
  std::ifstream in(folder / "seen");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool SeenLines(const TempFolder& folder, std::size_t count) {
  return WaitUntil([&] { return Seen(folder).size() >= count; }, 10000);
}

// Returns true iff pid is gone and reaped: no zombie of ours is left.
bool Reaped(int pid) {
  int status;
  return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD &&
         !platform::IsProcessAlive(pid);
}

TEST(ProgressLaunch, EachPhaseSeesItsOwnCaptionAndTheWindowHandle) {
  TempFolder folder;
  InstallStandIn(folder);
  ProgressLauncher launcher(folder.path() + "/");
  EXPECT_EQ(launcher.programPath(), folder / "data/hourspin");

  launcher.Start("Datei wird gepackt", "4711");
  ASSERT_GT(launcher.pid(), 0);
  ASSERT_TRUE(SeenLines(folder, 1));
  launcher.Stop();
  launcher.Start("Datei wird Verschlüsselt", "4711");
  ASSERT_TRUE(SeenLines(folder, 2));
  launcher.Stop();

  const std::string here = platform::CurrentFolder();
  EXPECT_EQ(Seen(folder), (std::vector<std::string>{"Datei wird gepackt|4711|" + here,
                                                    "Datei wird Verschlüsselt|4711|" + here}));
  EXPECT_STREQ(std::getenv("titel"), "Datei wird Verschlüsselt");
}

// Installed, the program sits in bin/ and the indicator in
// libexec/tresolin/; the build tree's data/ wins where both are.
TEST(ProgressLaunch, FindsTheIndicatorBesideTheBuildOrWhereItIsInstalled) {
  TempFolder prefix;
  ASSERT_TRUE(platform::MakeFolders(prefix / "bin"));
  ProgressLauncher launcher(prefix / "bin/");
  EXPECT_EQ(launcher.programPath(), prefix / "bin/data/hourspin");  // none: the start fails

  ASSERT_TRUE(platform::MakeFolders(prefix / "libexec/tresolin"));
  testing_support::WriteFile(prefix / "libexec/tresolin/hourspin", "#!/bin/sh\n");
  EXPECT_EQ(launcher.programPath(), prefix / "libexec/tresolin/hourspin");

  ASSERT_TRUE(platform::MakeFolders(prefix / "bin/data"));
  testing_support::WriteFile(prefix / "bin/data/hourspin", "#!/bin/sh\n");
  EXPECT_EQ(launcher.programPath(), prefix / "bin/data/hourspin");
}

TEST(ProgressLaunch, StopKillsAndReapsTheIndicator) {
  TempFolder folder;
  InstallStandIn(folder);
  ProgressLauncher launcher(folder.path() + "/");
  launcher.Start("Ordner wird gepackt", "1");
  const int pid = launcher.pid();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(SeenLines(folder, 1));
  launcher.Stop();
  EXPECT_EQ(launcher.pid(), -1);
  EXPECT_TRUE(Reaped(pid));
}

TEST(ProgressLaunch, StartWhileOneRunsEndsTheOldOneFirst) {
  TempFolder folder;
  InstallStandIn(folder);
  ProgressLauncher launcher(folder.path() + "/");
  launcher.Start("eins", "1");
  const int first = launcher.pid();
  ASSERT_TRUE(SeenLines(folder, 1));
  launcher.Start("zwei", "1");
  EXPECT_TRUE(Reaped(first));
  EXPECT_NE(launcher.pid(), first);
  launcher.Stop();
}

TEST(ProgressLaunch, StopWithNothingStartedTouchesNoProcess) {
  // A child of ours that Stop must leave alone.
  const int bystander = platform::StartProgram("/bin/sleep", {"30"});
  ASSERT_GT(bystander, 0);
  TempFolder folder;
  ProgressLauncher launcher(folder.path() + "/");
  launcher.Stop();
  EXPECT_EQ(launcher.pid(), -1);
  // The program is missing: the start fails quietly and the caption is set.
  launcher.Start("Datei wird Entschlüsselt", "1");
  EXPECT_EQ(launcher.pid(), -1);
  EXPECT_STREQ(std::getenv("titel"), "Datei wird Entschlüsselt");
  launcher.Stop();
  EXPECT_TRUE(platform::IsProcessAlive(bystander));
  platform::KillProgram(bystander);
}

class ProgressFromWindow : public shell_testing::WindowTest {
 protected:
  void SetUp() override { InstallStandIn(dir_); }
};

TEST_F(ProgressFromWindow, StartPassesTheMainWindowHandleAndMinimizesTheWindow) {
  window().show();
  window().frontEnd().StartProgress("Ordner wird Verschlüsselt");
  const int pid = window().frontEnd().progress().pid();
  ASSERT_GT(pid, 0);
  const std::string handle = std::to_string(window().winId());
  EXPECT_EQ(window().frontEnd().mainWindowText(), handle);
  EXPECT_TRUE(window().isMinimized());
  ASSERT_TRUE(SeenLines(dir_, 1));
  EXPECT_EQ(Seen(dir_)[0].substr(0, Seen(dir_)[0].rfind('|')),
            "Ordner wird Verschlüsselt|" + handle);
  window().frontEnd().StopProgress();
  EXPECT_TRUE(Reaped(pid));
  window().frontEnd().RestoreMainWindow();
  EXPECT_FALSE(window().isMinimized());
}

TEST_F(ProgressFromWindow, FileEncryptionShowsTheIndicatorDuringItsPhase) {
  const std::string file = dir_ / "brief.txt";
  testing_support::WriteFile(file, "Inhalt");
  answers_.fileOpen = {file};
  Click(6);
  Click(16);
  Click(11);
  TypePassword(QStringLiteral("geheim"));
  PressOk();
  EXPECT_EQ(LastMessage().text, "Verschlüsselung erfolgreich beendet");
  EXPECT_EQ(window().frontEnd().progress().pid(), -1);  // stopped before the message
  // The stand-in may have been killed before it wrote its line; the caption
  // was set for it either way.
  EXPECT_STREQ(std::getenv("titel"), "Datei wird Verschlüsselt");
  EXPECT_FALSE(window().isMinimized());
}

}  // namespace
