// The window driven as a user drives it: clicks and typed text on the real
// controls, the file dialogs answered from a script. Files go through both
// ciphers and back; a second start hands its path to this window.
//
// With TRESOLIN_KEEP_CONTAINERS set to a folder, the containers and the file
// they protect are copied there, to be opened with the Linux tresolin-cli
// (linux_opens_window_containers.sh).
#include "tests/app/winshell/window_fixture.h"

#include <commctrl.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <iostream>
#include <thread>

#include "app/flows/texts.h"
#include "app/winshell/start_up.h"
#include "tests/support/temp_folder.h"

namespace winshell_test {
namespace {

namespace g = flows::gadget;
namespace text = flows::text;
using testing_support::RandomBytes;
using testing_support::ReadFile;

std::string Portable(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

class DrivenWindow : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    root_ = Portable(folder_.path());
    std::filesystem::create_directories(root_ + "/quelle");
    std::filesystem::create_directories(root_ + "/ziel");
    source_ = root_ + "/quelle/brief.txt";
    testing_support::WriteFile(source_, RandomBytes(300000, 7));
  }

  // Types password into the open dialog and clicks its OK button; waits for
  // the flow that starts to end.
  void Confirm(const std::wstring& password) {
    winshell::PasswordDialog* dialog = window_->passwordDialog();
    ASSERT_NE(dialog, nullptr);
    SendMessageW(dialog->Gadget(dialog->layout().field.number), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(password.c_str()));
    Click(dialog->Gadget(dialog->layout().ok.number));
    ASSERT_TRUE(window_->flowRunning() || window_->passwordDialog() == nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !window_->flowRunning(); }, std::chrono::seconds(120)));
    EXPECT_TRUE(IsWindowEnabled(window_->hwnd()));
    EXPECT_FALSE(IsIconic(window_->hwnd()));
  }

  std::string Encrypt(int cipherButton, const std::wstring& password) {
    answers_.fileOpen = {source_};
    Click(Gadget(g::kChooseSourceFile));
    EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFileField), source_);
    Click(Gadget(cipherButton));
    Click(Gadget(g::kEncryptFile));
    Confirm(password);
    EXPECT_EQ(answers_.messages.back(),
              (winshell::DialogAnswers::Message{std::string(text::kEncryption),
                                                std::string(text::kEncryptionDone),
                                                flows::kStyleInformation}));
    return cipherButton == g::kFileAes ? root_ + "/quelle/brief.aes" : root_ + "/quelle/brief.rc4";
  }

  void Decrypt(const std::string& container, const std::wstring& password,
               const std::string& output) {
    SCOPED_TRACE(container);
    answers_.fileOpen = {container};
    Click(Gadget(g::kChooseFileContainer));
    EXPECT_EQ(window_->frontEnd().GadgetText(g::kFileContainerField), container);
    Click(Gadget(g::kDecryptFile));
    answers_.fileSave = {output};
    Confirm(password);
  }

  void Keep(const std::string& container) {
    std::cout << "container: " << container << '\n';
    const std::optional<std::string> keep = platform::EnvironmentValue("TRESOLIN_KEEP_CONTAINERS");
    if (!keep || keep->empty()) return;
    std::filesystem::create_directories(*keep);
    const std::filesystem::path target =
        std::filesystem::path(*keep) / std::filesystem::path(container).filename();
    std::filesystem::copy_file(container, target,
                               std::filesystem::copy_options::overwrite_existing);
  }

  testing_support::TempFolder folder_;
  std::string root_, source_;
};

TEST_F(DrivenWindow, FileGoesThroughAesAndRc4AndBackIntoAnotherFolder) {
  const std::string aes = Encrypt(g::kFileAes, L"Geheim \u00e4\u00f6\u00fc");
  const std::string rc4 = Encrypt(g::kFileRc4, L"zweites Passwort");
  ASSERT_TRUE(testing_support::Exists(aes));
  ASSERT_TRUE(testing_support::Exists(rc4));
  Keep(aes);
  Keep(rc4);
  Keep(source_);

  Decrypt(aes, L"Geheim \u00e4\u00f6\u00fc", root_ + "/ziel/aus_aes.txt");
  Decrypt(rc4, L"zweites Passwort", root_ + "/ziel/aus_rc4.txt");
  EXPECT_EQ(ReadFile(root_ + "/ziel/aus_aes.txt"), ReadFile(source_));
  EXPECT_EQ(ReadFile(root_ + "/ziel/aus_rc4.txt"), ReadFile(source_));
  EXPECT_EQ(answers_.dialogTitles,
            (std::vector<std::string>{
                std::string(text::kChooseFileToEncrypt), std::string(text::kChooseFileToEncrypt),
                std::string(text::kChooseContainer), std::string(text::kChooseOutputName),
                std::string(text::kChooseContainer), std::string(text::kChooseOutputName)}));
}

// The folder panel's options come from its own buttons: packed RC4 here.
TEST_F(DrivenWindow, FolderGoesThroughPackedRc4AndBackIntoAnotherFolder) {
  const std::string akten = root_ + "/akten/";
  std::filesystem::create_directories(akten + "unter");
  testing_support::WriteFile(akten + "a.txt", std::string("erste Akte"));
  testing_support::WriteFile(akten + "unter/b.bin", RandomBytes(70000, 3));
  std::filesystem::create_directories(root_ + "/tresor");
  const std::filesystem::path before = std::filesystem::current_path();

  answers_.folder = {akten, root_ + "/tresor/"};
  Click(Gadget(g::kChooseSourceFolder));
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFolderField), akten);
  Click(Gadget(g::kFolderPackYes));
  Click(Gadget(g::kFolderRc4));
  Click(Gadget(g::kEncryptFolder));
  Confirm(L"Ordnerpasswort");
  EXPECT_EQ(answers_.messages.back().text, text::kEncryptionDone);
  std::filesystem::current_path(before);  // the flow leaves the folder current
  ASSERT_EQ(testing_support::Listing(root_ + "/tresor").size(), 1u);
  const std::string container = root_ + "/tresor/" + testing_support::Listing(root_ + "/tresor")[0];
  Keep(container);

  answers_.fileOpen = {container};
  Click(Gadget(g::kChooseFolderContainer));
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kFolderKindField), text::kFolderKindTexts[1]);
  Click(Gadget(g::kDecryptFolder));
  answers_.folder = {root_ + "/ziel/"};
  Confirm(L"Ordnerpasswort");
  std::filesystem::current_path(before);
  EXPECT_EQ(answers_.messages.back().text, text::kDecryptionDone);
  ASSERT_EQ(testing_support::Listing(root_ + "/ziel").size(), 1u);
  const std::string restored = root_ + "/ziel/" + testing_support::Listing(root_ + "/ziel")[0];
  EXPECT_EQ(ReadFile(restored + "/a.txt"), ReadFile(akten + "a.txt"));
  EXPECT_EQ(ReadFile(restored + "/unter/b.bin"), ReadFile(akten + "unter/b.bin"));
}

TEST_F(DrivenWindow, WrongPasswordWritesNothing) {
  const std::string aes = Encrypt(g::kFileAes, L"richtig");
  Decrypt(aes, L"falsch", root_ + "/ziel/aus.txt");
  EXPECT_EQ(answers_.messages.back().text, text::kWrongPassword);
  EXPECT_TRUE(std::filesystem::is_empty(root_ + "/ziel"));
}

// While the flow waits for its answer, the window refuses the user, its
// close box and the end of the session, and answers on its own thread.
TEST_F(DrivenWindow, RunningFlowRefusesInputCloseAndLogout) {
  const std::string aes = Encrypt(g::kFileAes, L"x");
  answers_.fileOpen = {aes};
  Click(Gadget(g::kChooseFileContainer));
  Click(Gadget(g::kDecryptFile));
  const DWORD guiThread = GetCurrentThreadId();
  int questions = 0;
  answers_.onQuestion = [&] {
    ++questions;
    EXPECT_EQ(GetCurrentThreadId(), guiThread);
    EXPECT_TRUE(window_->flowRunning());
    EXPECT_EQ(SendMessageW(window_->hwnd(), WM_QUERYENDSESSION, 0, 0), FALSE);
    SendMessageW(window_->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window_->hwnd()));
    MSG press{};
    press.hwnd = Gadget(g::kChooseSourceFile);
    press.message = WM_LBUTTONDOWN;
    EXPECT_TRUE(window_->DropInput(press));
    const std::size_t asked = answers_.dialogTitles.size();
    Click(Gadget(g::kChooseSourceFile));  // no handler runs meanwhile
    EXPECT_EQ(answers_.dialogTitles.size(), asked);
  };
  answers_.fileSave = {root_ + "/ziel/aus.txt"};
  Confirm(L"x");
  EXPECT_GE(questions, 2);  // the save dialog and the closing message
  answers_.onQuestion = nullptr;

  MSG press{};
  press.hwnd = Gadget(g::kChooseSourceFile);
  press.message = WM_LBUTTONDOWN;
  EXPECT_FALSE(window_->DropInput(press));
  EXPECT_EQ(SendMessageW(window_->hwnd(), WM_QUERYENDSESSION, 0, 0), TRUE);
}

// A second start finds this window by its class and hands its path over;
// a container lands on the decryption tab, any other file on encryption.
TEST_F(DrivenWindow, SecondStartHandsItsPathToThisWindow) {
  const auto handOver = [&](const std::string& path) {
    auto sent = std::async(std::launch::async, [path] {
      return winshell::HandOverToRunningCopy(path, std::chrono::seconds(5));
    });
    EXPECT_TRUE(PumpUntil(
        [&] { return sent.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
    EXPECT_TRUE(sent.get());
    Pump();
  };
  handOver(source_);
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFileField), source_);
  EXPECT_EQ(SendMessageW(window_->gadgets().tabs, TCM_GETCURSEL, 0, 0), layout::kEncryptTab);

  const std::string aes = Encrypt(g::kFileAes, L"x");
  handOver(aes);
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kFileContainerField), aes);
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kFileKindField), text::kFileKindTexts[3]);
  EXPECT_EQ(SendMessageW(window_->gadgets().tabs, TCM_GETCURSEL, 0, 0), layout::kDecryptTab);

  // While a dialog is open the path waits for it to close.
  Click(Gadget(g::kEncryptFile));
  ASSERT_NE(window_->passwordDialog(), nullptr);
  handOver(root_ + "/quelle");
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFolderField), "");
  SendMessageW(window_->passwordDialog()->hwnd(), WM_CLOSE, 0, 0);
  EXPECT_EQ(window_->frontEnd().GadgetText(g::kSourceFolderField), root_ + "/quelle/");
}

}  // namespace
}  // namespace winshell_test
