// The password dialogs: their layout, their life around the main window,
// the empty-field answers before them, and the strength meter.
#include <string>

#include "app/flows/texts.h"
#include "app/layout/layout.h"
#include "app/winshell/pictures.h"
#include "tests/app/winshell/window_fixture.h"

namespace winshell_test {
namespace {

namespace g = flows::gadget;
namespace text = flows::text;
using winshell::Wide;

struct Opener {
  int field, button;
};
// Dialog n opens from the image button of the panel whose path field holds
// something.
Opener OpenerOf(int dialog) {
  switch (dialog) {
    case 1:
      return {g::kSourceFileField, g::kEncryptFile};
    case 2:
      return {g::kFileContainerField, g::kDecryptFile};
    case 3:
      return {g::kSourceFolderField, g::kEncryptFolder};
    default:
      return {g::kFolderContainerField, g::kDecryptFolder};
  }
}

class PasswordDialogs : public WindowTest {
 protected:
  winshell::PasswordDialog* Open(int dialog) {
    const Opener opener = OpenerOf(dialog);
    window_->frontEnd().SetGadgetText(opener.field, "C:/Daten/brief.txt");
    Click(Gadget(opener.button));
    Pump();
    return window_->passwordDialog();
  }

  void Type(winshell::PasswordDialog* dialog, const std::wstring& text) {
    SetWindowTextW(dialog->Gadget(dialog->layout().field.number), text.c_str());
  }

  // The width of the bar the meter gadget shows: its orange pixels in the
  // bar's top row.
  static int ShownBar(winshell::PasswordDialog* dialog) {
    auto picture = reinterpret_cast<HBITMAP>(
        SendMessageW(dialog->Gadget(dialog->layout().meter.number), STM_GETIMAGE, IMAGE_BITMAP, 0));
    if (picture == nullptr) return -1;
    const COLORREF orange =
        RGB(layout::kMeterBarRed, layout::kMeterBarGreen, layout::kMeterBarBlue);
    int width = 0;
    for (int x = 0; x < layout::kMeterWidth; ++x)
      width += winshell::PixelOf(picture, x, layout::kMeterBarY) == orange ? 1 : 0;
    return width;
  }

  bool BarBecomes(winshell::PasswordDialog* dialog, int width) {
    return PumpUntil([&] { return ShownBar(dialog) == width; }, std::chrono::seconds(5));
  }
};

TEST_F(PasswordDialogs, EachDialogHasTheTablesSizeAndGadgetsAndDisablesTheMainWindow) {
  for (int number = 1; number <= 4; ++number) {
    SCOPED_TRACE("dialog " + std::to_string(number));
    winshell::PasswordDialog* dialog = Open(number);
    ASSERT_NE(dialog, nullptr);
    const layout::DialogLayout& table = *layout::DialogLayoutOf(number);
    EXPECT_EQ(dialog->number(), number);
    EXPECT_EQ(TextOf(dialog->hwnd()), Wide(layout::kPasswordDialogTitle));
    EXPECT_EQ(GetWindow(dialog->hwnd(), GW_OWNER), window_->hwnd());
    EXPECT_FALSE(IsWindowEnabled(window_->hwnd()));
    RECT client;
    GetClientRect(dialog->hwnd(), &client);
    EXPECT_EQ(client.right, table.width);
    EXPECT_EQ(client.bottom, table.height);
    const LONG style = GetWindowLongW(dialog->hwnd(), GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & (WS_MAXIMIZEBOX | WS_THICKFRAME));

    for (const layout::Placed& placed :
         {table.label, table.field, table.ok, table.unsafe, table.safe, table.meter}) {
      if (placed.number == 0) continue;
      SCOPED_TRACE("gadget " + std::to_string(placed.number));
      HWND control = GetDlgItem(dialog->hwnd(), placed.number);
      ASSERT_NE(control, nullptr);
      const RECT rect = RectIn(control, dialog->hwnd());
      EXPECT_EQ(rect.left, placed.x);
      EXPECT_EQ(rect.top, placed.y);
      EXPECT_EQ(rect.right - rect.left, placed.w);
      EXPECT_EQ(rect.bottom - rect.top, placed.h);
    }
    EXPECT_EQ(TextOf(dialog->Gadget(table.label.number)), Wide(layout::kPasswordLabel));
    EXPECT_EQ(TextOf(dialog->Gadget(table.ok.number)), Wide(layout::kOkText));
    const LONG field = GetWindowLongW(dialog->Gadget(table.field.number), GWL_STYLE);
    EXPECT_FALSE(field & ES_PASSWORD);  // shown in clear
    EXPECT_TRUE(field & ES_AUTOHSCROLL);
    EXPECT_EQ(dialog->meterRunning(), table.hasMeter());
    if (table.hasMeter()) {
      EXPECT_EQ(TextOf(dialog->Gadget(table.unsafe.number)), Wide(layout::kUnsafeText));
      EXPECT_EQ(TextOf(dialog->Gadget(table.safe.number)), Wide(layout::kSafeText));
    }

    // Esc closes it and gives the main window back.
    SendMessageW(dialog->Gadget(table.field.number), WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(PumpUntil([&] { return window_->passwordDialog() == nullptr; }));
    EXPECT_TRUE(IsWindowEnabled(window_->hwnd()));
  }
  EXPECT_TRUE(answers_.messages.empty());
}

TEST_F(PasswordDialogs, CloseBoxClosesAndEnterConfirmsWithTheTypedPassword) {
  winshell::PasswordDialog* dialog = Open(2);
  ASSERT_NE(dialog, nullptr);
  SendMessageW(dialog->hwnd(), WM_CLOSE, 0, 0);
  EXPECT_EQ(window_->passwordDialog(), nullptr);
  EXPECT_TRUE(IsWindowEnabled(window_->hwnd()));

  dialog = Open(2);
  ASSERT_NE(dialog, nullptr);
  Type(dialog, Wide(" Schlüssel "));
  SendMessageW(dialog->Gadget(dialog->layout().ok.number), WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(PumpUntil([&] { return window_->passwordDialog() == nullptr; }));
  window_->WaitForFlow();
  EXPECT_TRUE(IsWindowEnabled(window_->hwnd()));
  // Taken unchanged, blanks and all, as the bytes containers hash.
  EXPECT_EQ(window_->state().password.view(), platform::PasswordBytes(" Schlüssel "));
}

// The image buttons answer an empty path field before any dialog opens;
// the folder decryption panel's wording has two blanks.
TEST_F(PasswordDialogs, EmptyPathFieldsAreAnsweredWithFehler) {
  for (int button : {g::kEncryptFile, g::kEncryptFolder, g::kDecryptFile, g::kDecryptFolder})
    Click(Gadget(button));
  const int info = flows::kStyleInformation;
  const std::string error(text::kError);
  EXPECT_EQ(answers_.messages, (std::vector<winshell::DialogAnswers::Message>{
                                   {error, std::string(text::kNoFileChosen), info},
                                   {error, std::string(text::kNoFolderChosen), info},
                                   {error, std::string(text::kNoFileChosen), info},
                                   {error, std::string(text::kNoFolderChosenDecrypt), info}}));
  EXPECT_EQ(window_->passwordDialog(), nullptr);
  EXPECT_TRUE(IsWindowEnabled(window_->hwnd()));
}

TEST_F(PasswordDialogs, MeterBarFollowsTheCharactersUpToTheEighth) {
  for (int number : {1, 3}) {
    SCOPED_TRACE("dialog " + std::to_string(number));
    winshell::PasswordDialog* dialog = Open(number);
    ASSERT_NE(dialog, nullptr);
    SetForegroundWindow(dialog->hwnd());
    ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == dialog->hwnd(); }));
    EXPECT_EQ(ShownBar(dialog), 0);

    std::wstring typed;
    for (int characters = 1; characters <= 8; ++characters) {
      typed += L'x';
      Type(dialog, typed);
      EXPECT_TRUE(BarBecomes(dialog, layout::MeterBarWidth(characters))) << characters;
    }
    // From the ninth on the bar stays as it was.
    Type(dialog, typed + L"x");
    Pump();
    Sleep(50);
    Pump();
    EXPECT_EQ(ShownBar(dialog), layout::MeterBarWidth(8));

    Type(dialog, L"");
    EXPECT_TRUE(BarBecomes(dialog, 0));
    // Pasted at once, twelve characters leave the empty bar ...
    Type(dialog, L"123456789012");
    Sleep(50);
    Pump();
    EXPECT_EQ(ShownBar(dialog), 0);
    // ... and deleting down to eight draws the full bar.
    Type(dialog, L"12345678");
    EXPECT_TRUE(BarBecomes(dialog, layout::MeterBarWidth(8)));
    // A character outside the Basic Multilingual Plane is one character.
    Type(dialog, L"\U0001F511\U0001F511");
    EXPECT_TRUE(BarBecomes(dialog, layout::MeterBarWidth(2)));

    SendMessageW(dialog->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(window_->passwordDialog(), nullptr);
  }
}

// The worker paints only while its dialog is the foreground window.
TEST_F(PasswordDialogs, MeterRestsWhileAnotherWindowIsInFront) {
  winshell::PasswordDialog* dialog = Open(1);
  ASSERT_NE(dialog, nullptr);
  SetForegroundWindow(dialog->hwnd());
  ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == dialog->hwnd(); }));
  Type(dialog, L"ab");
  ASSERT_TRUE(BarBecomes(dialog, layout::MeterBarWidth(2)));

  HWND other = CreateWindowExW(0, L"Static", L"anderes Programm", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(other);
  ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == other; }));
  Type(dialog, L"abcde");
  Sleep(100);
  Pump();
  EXPECT_EQ(ShownBar(dialog), layout::MeterBarWidth(2));

  SetForegroundWindow(dialog->hwnd());
  EXPECT_TRUE(BarBecomes(dialog, layout::MeterBarWidth(5)));
  DestroyWindow(other);
}

}  // namespace
}  // namespace winshell_test
