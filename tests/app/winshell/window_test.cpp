// The main window as built: sizes, every gadget's place, texts, states and
// font, read back from the real controls.
// The fixture brings <windows.h>, which <commctrl.h> needs first.
#include "tests/app/winshell/window_fixture.h"

#include <commctrl.h>

#include "app/layout/layout.h"
#include "app/winshell/pictures.h"

namespace winshell_test {
namespace {

using layout::GadgetRow;
using layout::Kind;
using winshell::Wide;

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

using MainWindowLayout = WindowTest;

TEST_F(MainWindowLayout, ClientAreaTabsAndStatusBarHaveTheTablesSizes) {
  const HWND main = window_->hwnd();
  RECT client;
  GetClientRect(main, &client);
  EXPECT_EQ(client.right - client.left, layout::kClientWidth);
  EXPECT_EQ(client.bottom - client.top, layout::kClientHeight);
  EXPECT_EQ(TextOf(main), Wide(layout::kMainWindowTitle));

  const LONG style = GetWindowLongW(main, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);

  const winshell::MainGadgets& gadgets = window_->gadgets();
  const RECT tabs = RectIn(gadgets.tabs, main);
  EXPECT_EQ(tabs.left, 0);
  EXPECT_EQ(tabs.top, 0);
  EXPECT_EQ(tabs.right, layout::kClientWidth);
  EXPECT_EQ(tabs.bottom, layout::kTabPanelHeight);
  const RECT status = RectIn(gadgets.status, main);
  EXPECT_EQ(status.top, layout::kTabPanelHeight);
  EXPECT_EQ(status.bottom, layout::kClientHeight);
  EXPECT_EQ(status.right - status.left, layout::kClientWidth);

  wchar_t credit[128] = {};
  SendMessageW(gadgets.status, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(credit));
  EXPECT_EQ(std::wstring(credit), L"\t\t" + Wide(layout::kCredit));  // right-aligned

  ASSERT_EQ(SendMessageW(gadgets.tabs, TCM_GETITEMCOUNT, 0, 0), layout::kTabCount);
  for (int tab = 0; tab < layout::kTabCount; ++tab) {
    wchar_t title[64] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = title;
    item.cchTextMax = 64;
    SendMessageW(gadgets.tabs, TCM_GETITEMW, tab, reinterpret_cast<LPARAM>(&item));
    EXPECT_EQ(std::wstring(title), Wide(layout::kTabTitles[tab]));
  }
}

// Gadget coordinates are client coordinates of the tab page, and each page
// fills the tab control's display area.
TEST_F(MainWindowLayout, EveryGadgetLiesAtItsRowOnItsTabPage) {
  const winshell::MainGadgets& gadgets = window_->gadgets();
  RECT display;
  GetClientRect(gadgets.tabs, &display);
  SendMessageW(gadgets.tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
  for (HWND page : gadgets.pages) {
    const RECT placed = RectIn(page, gadgets.tabs);
    EXPECT_EQ(placed.left, display.left);
    EXPECT_EQ(placed.top, display.top);
  }
  for (const GadgetRow& row : layout::MainWindowGadgets()) {
    SCOPED_TRACE("gadget " + std::to_string(row.number));
    // Found by its number as control ID on the page of its tab.
    HWND control = GetDlgItem(gadgets.pages[row.tab], row.number);
    ASSERT_NE(control, nullptr);
    const RECT rect = RectIn(control, gadgets.pages[row.tab]);
    EXPECT_EQ(rect.left, row.x);
    EXPECT_EQ(rect.top, row.y);
    EXPECT_EQ(rect.right - rect.left, row.w);
    EXPECT_EQ(rect.bottom - rect.top, row.h);
  }
}

TEST_F(MainWindowLayout, GadgetsShowTheirTextsKindsStatesAndFont) {
  HDC screen = GetDC(nullptr);
  const int pointsHeight = -MulDiv(layout::kFontPoints, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  for (const GadgetRow& row : layout::MainWindowGadgets()) {
    SCOPED_TRACE("gadget " + std::to_string(row.number));
    HWND control = Gadget(row.number);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    switch (row.kind) {
      case Kind::kStaticText:
        EXPECT_EQ(TextOf(control), Wide(layout::kInfoText) + L"\r\n" + Wide(layout::kCredit));
        EXPECT_EQ(style & SS_TYPEMASK, SS_CENTER);
        break;
      case Kind::kField:
        EXPECT_EQ(ClassOf(control), L"Edit");
        EXPECT_TRUE(style & ES_READONLY);
        EXPECT_TRUE(style & ES_AUTOHSCROLL);
        EXPECT_FALSE(style & ES_MULTILINE);
        break;
      case Kind::kArea:
        EXPECT_TRUE(style & ES_READONLY);
        EXPECT_TRUE(style & ES_MULTILINE);
        break;
      case Kind::kFrame:
        EXPECT_EQ(style & BS_TYPEMASK, BS_GROUPBOX);
        break;
      case Kind::kImage: {
        EXPECT_TRUE(style & BS_BITMAP);
        auto image = reinterpret_cast<HBITMAP>(SendMessageW(control, BM_GETIMAGE, IMAGE_BITMAP, 0));
        ASSERT_NE(image, nullptr);
        const SIZE size = winshell::BitmapSize(image);
        EXPECT_EQ(size.cx, layout::kButtonImageWidth);
        EXPECT_EQ(size.cy, layout::kButtonImageHeight);
        // The face shows where neither icon nor caption lies.
        EXPECT_EQ(winshell::PixelOf(image, 0, 0), GetSysColor(COLOR_BTNFACE));
        break;
      }
      default:
        break;
    }
    if (row.kind != Kind::kStaticText) {
      EXPECT_EQ(TextOf(control), Wide(row.text));
    }
    if (row.initially == layout::Initially::kOn || row.initially == layout::Initially::kOff) {
      EXPECT_EQ(winshell::IsOn(control), row.initially == layout::Initially::kOn);
    }
    EXPECT_EQ((style & WS_VISIBLE) == 0, row.initially == layout::Initially::kHidden);

    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font,
               &font);
    EXPECT_EQ(font.lfHeight, pointsHeight);
    EXPECT_EQ(font.lfWeight, FW_BOLD);
    EXPECT_EQ(std::wstring(font.lfFaceName), Wide(layout::kFontFamily));
  }
}

// Each option group keeps exactly one button on, whatever lies between its
// two buttons; the other groups and the check box stay as they were.
TEST_F(MainWindowLayout, OptionGroupsAreIndependent) {
  namespace g = flows::gadget;
  Click(Gadget(g::kFileRc4));
  EXPECT_TRUE(winshell::IsOn(Gadget(g::kFileRc4)));
  EXPECT_FALSE(winshell::IsOn(Gadget(g::kFileAes)));
  EXPECT_TRUE(winshell::IsOn(Gadget(g::kFilePackNo)));
  EXPECT_TRUE(winshell::IsOn(Gadget(g::kFolderAes)));

  Click(Gadget(g::kFilePackYes));
  EXPECT_TRUE(winshell::IsOn(Gadget(g::kFilePackYes)));
  EXPECT_FALSE(winshell::IsOn(Gadget(g::kFilePackNo)));
  EXPECT_TRUE(winshell::IsOn(Gadget(g::kFileRc4)));

  Click(Gadget(g::kFolderRc4));
  Click(Gadget(g::kFolderPackYes));
  EXPECT_FALSE(winshell::IsOn(Gadget(g::kFolderAes)));
  EXPECT_FALSE(winshell::IsOn(Gadget(g::kFolderPackNo)));
  EXPECT_TRUE(winshell::IsOn(Gadget(g::kFileRc4)));

  Click(Gadget(g::kReplaceOriginal));
  EXPECT_TRUE(winshell::IsOn(Gadget(g::kReplaceOriginal)));
  EXPECT_TRUE(answers_.messages.empty());
}

// The tab control shows one page at a time.
TEST_F(MainWindowLayout, SelectingATabShowsItsPageAlone) {
  const winshell::MainGadgets& gadgets = window_->gadgets();
  EXPECT_TRUE(IsWindowVisible(gadgets.pages[layout::kEncryptTab]));
  winshell::ShowTab(gadgets, layout::kInfoTab);
  EXPECT_TRUE(IsWindowVisible(gadgets.pages[layout::kInfoTab]));
  EXPECT_FALSE(IsWindowVisible(gadgets.pages[layout::kEncryptTab]));
  EXPECT_EQ(SendMessageW(gadgets.tabs, TCM_GETCURSEL, 0, 0), layout::kInfoTab);
}

// Tab moves from the tab control into the page shown, not past it.
TEST_F(MainWindowLayout, KeyboardWalksFromTheTabsIntoThePageShown) {
  namespace g = flows::gadget;
  const winshell::MainGadgets& gadgets = window_->gadgets();
  HWND next = GetNextDlgTabItem(window_->hwnd(), gadgets.tabs, FALSE);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(GetParent(next), gadgets.pages[layout::kEncryptTab]);
  winshell::ShowTab(gadgets, layout::kDecryptTab);
  next = GetNextDlgTabItem(window_->hwnd(), gadgets.tabs, FALSE);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(GetParent(next), gadgets.pages[layout::kDecryptTab]);
  // The tab control is a stop of its own.
  EXPECT_EQ(GetNextDlgTabItem(window_->hwnd(), Gadget(g::kFileContainerField), TRUE), gadgets.tabs);
}

}  // namespace
}  // namespace winshell_test
