// The front end's pieces: the texts it hands to Win32 and back, the path
// fields with their shortened text and tooltip, and the progress launch.
#include "tests/app/winshell/window_fixture.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "app/winshell/wide_text.h"
#include "tests/support/temp_folder.h"

namespace winshell_test {
namespace {

namespace g = flows::gadget;
using namespace std::string_literals;  // NOLINT: NULs inside filter lists
using winshell::Wide;

TEST(WideText, ConvertsAtTheWin32Border) {
  EXPECT_EQ(Wide("Schützen ©"), L"Sch\u00fctzen \u00a9");
  EXPECT_EQ(winshell::Utf8(L"Entschl\u00fcsseln \U0001F511"), "Entschlüsseln \xF0\x9F\x94\x91");
  EXPECT_EQ(winshell::NativePath("C:/Users/Jörg/a b.txt"), L"C:\\Users\\J\u00f6rg\\a b.txt");
  EXPECT_EQ(winshell::PortablePath(L"C:\\Users\\J\u00f6rg\\"), "C:/Users/Jörg/");
  EXPECT_EQ(winshell::UserCharacters(L""), 0);
  EXPECT_EQ(winshell::UserCharacters(L"a\u00fc\U0001F511b"), 4);
}

TEST(WideText, FiltersBecomeDoubleNulLists) {
  EXPECT_EQ(winshell::FilterList("Alle Dateien|*.*"), L"Alle Dateien\0*.*\0\0"s);
  EXPECT_EQ(winshell::FilterList("Verschlüsselte Ordner|*.aes;*.rc4|Alle|*.*"),
            L"Verschl\u00fcsselte Ordner\0*.aes;*.rc4\0Alle\0*.*\0\0"s);
  // A display without its pattern is left out.
  EXPECT_EQ(winshell::FilterList("Alle|*.*|Rest"), L"Alle\0*.*\0\0"s);
  EXPECT_EQ(winshell::FilterList(""), L"\0"s);
}

TEST(WideText, DefaultPathSplitsIntoFolderAndNameAndFoldersEndInASlash) {
  const winshell::DialogStart start = winshell::SplitDefaultPath("C:/Users/anna/Daten.rc4_temp");
  EXPECT_EQ(start.folder, L"C:\\Users\\anna\\");
  EXPECT_EQ(start.name, L"Daten.rc4_temp");
  EXPECT_EQ(winshell::SplitDefaultPath("C:/Users/").name, L"");
  EXPECT_EQ(winshell::SplitDefaultPath("brief.txt").folder, L"");
  EXPECT_EQ(winshell::SplitDefaultPath("brief.txt").name, L"brief.txt");

  EXPECT_EQ(winshell::FolderResult(L"C:\\Users\\anna"), "C:/Users/anna/");
  EXPECT_EQ(winshell::FolderResult(L"D:\\"), "D:/");
  EXPECT_EQ(winshell::FolderResult(L""), "");
}

TEST(ElideMiddle, KeepsBothEndsAndFits) {
  const auto measure = [](std::wstring_view text) { return static_cast<int>(text.size()) * 7; };
  EXPECT_EQ(winshell::ElideMiddle(L"C:\\kurz.txt", 200, measure), L"C:\\kurz.txt");
  const std::wstring path = L"C:\\Users\\anna\\Dokumente\\Steuer\\2026\\Belege\\Quittung.pdf";
  const std::wstring shown = winshell::ElideMiddle(path, 140, measure);
  EXPECT_LE(measure(shown), 140);
  EXPECT_GE(measure(shown), 140 - 2 * 7);  // no more taken off than needed
  const std::size_t dots = shown.find(L"...");
  ASSERT_NE(dots, std::wstring::npos);
  EXPECT_EQ(path.substr(0, dots), shown.substr(0, dots));
  const std::wstring tail = shown.substr(dots + 3);
  EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
  EXPECT_EQ(winshell::ElideMiddle(path, 5, measure), L"...");
}

using PathFields = WindowTest;

TEST_F(PathFields, LongPathShowsShortenedWithTheWholePathInItsTooltip) {
  std::string path = "C:/Users/anna";
  while (path.size() < 300) path += "/Unterordner";
  path += "/brief.txt";
  window_->frontEnd().SetGadgetText(g::kSourceFileField, path);
  const std::wstring shown = TextOf(Gadget(g::kSourceFileField));
  EXPECT_LT(shown.size(), path.size());
  EXPECT_NE(shown.find(L"..."), std::wstring::npos);
  EXPECT_EQ(shown.substr(shown.size() - 9), L"brief.txt");
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFileField), path);

  wchar_t tip[1024] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = GetParent(Gadget(g::kSourceFileField));
  tool.uId = reinterpret_cast<UINT_PTR>(Gadget(g::kSourceFileField));
  tool.lpszText = tip;
  ASSERT_NE(window_->frontEnd().tooltip(), nullptr);
  SendMessageW(window_->frontEnd().tooltip(), TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&tool));
  EXPECT_EQ(std::wstring(tip), winshell::NativePath(path));

  // What is put into the field since is what the field holds.
  SetWindowTextW(Gadget(g::kSourceFileField), L"D:\\Neu\\a.txt");
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFileField), "D:/Neu/a.txt");
  window_->frontEnd().SetGadgetText(g::kSourceFileField, "");
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFileField), "");

  // The kind fields keep their text and its line break as they are.
  const std::string kind = "AES-Verschlüsselung\r\nNicht Gepackt";
  window_->frontEnd().SetGadgetText(g::kFileKindField, kind);
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kFileKindField), kind);
}

// The progress program gets the window's handle in decimal and the caption
// in "titel"; the window waits minimized until the flow restores it.
TEST_F(PathFields, ProgressStartMinimizesPassesTheHandleAndRestores) {
  testing_support::TempFolder folder;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path bin = std::filesystem::path(self).parent_path().parent_path() / "bin";
  std::filesystem::create_directories(std::filesystem::path(folder.path()) / "data");
  std::filesystem::copy_file(bin / "tresolin-cli.exe",
                             std::filesystem::path(folder.path()) / "data" / "hourspin.exe");
  winshell::WindowFrontEnd ui(
      window_->hwnd(), [](int) { return nullptr; }, folder.path() + "/");

  ui.StartProgress("Datei wird gepackt");
  EXPECT_TRUE(IsIconic(window_->hwnd()));
  EXPECT_EQ(ui.mainWindowText(), std::to_string(reinterpret_cast<std::intptr_t>(window_->hwnd())));
  EXPECT_EQ(platform::EnvironmentValue("titel"), "Datei wird gepackt");
  EXPECT_GT(ui.progressProcess(), 0);
  ui.StopProgress();
  EXPECT_EQ(ui.progressProcess(), -1);

  ui.RestoreMainWindow();
  EXPECT_FALSE(IsIconic(window_->hwnd()));
}

// The real common dialogs open in the default path's folder proposing its
// name, and their answer comes back as a program path.
TEST_F(PathFields, FileDialogsOpenAtTheDefaultPathAndAnswerWithProgramPaths) {
  window_->frontEnd().AnswerFrom(nullptr);
  testing_support::TempFolder folder;
  std::string root = folder.path();
  std::replace(root.begin(), root.end(), '\\', '/');
  testing_support::WriteFile(root + "/brief.txt", std::string("Hallo"));
  // Confirms the dialog with this title as soon as it is up.
  const auto confirm = [](const std::string& title) {
    return std::thread([title] {
      const std::wstring wide = Wide(title);
      for (int tries = 0; tries < 400; ++tries) {
        if (HWND dialog = FindWindowW(nullptr, wide.c_str())) {
          Sleep(200);  // let it finish filling its fields
          PostMessageW(dialog, WM_COMMAND, IDOK, 0);
          return;
        }
        Sleep(25);
      }
    });
  };
  std::thread opener = confirm("Datei öffnen zum Test");
  EXPECT_EQ(window_->frontEnd().FileOpenDialog("Datei öffnen zum Test", root + "/brief.txt",
                                               "Alle Dateien|*.*", 0),
            root + "/brief.txt");
  opener.join();
  std::thread saver = confirm("Speichern zum Test");
  EXPECT_EQ(window_->frontEnd().FileSaveDialog("Speichern zum Test", root + "/neu.txt",
                                               "Alle Dateien (*.*)|*.*", 0),
            root + "/neu.txt");
  saver.join();
}

}  // namespace
}  // namespace winshell_test
