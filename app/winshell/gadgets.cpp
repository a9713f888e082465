// Creating the main window's controls from the rows of the window tables.
#include "app/winshell/gadgets.h"

#include <commctrl.h>

#include <string>

#include "app/winshell/pictures.h"
#include "app/winshell/wide_text.h"

namespace winshell {
namespace {

using layout::GadgetRow;
using layout::Kind;

constexpr wchar_t kPageClass[] = L"TresolinTabPage";

LRESULT CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
      // The main window dispatches them.
      return SendMessageW(GetAncestor(page, GA_ROOT), message, wParam, lParam);
    default:
      return DefWindowProcW(page, message, wParam, lParam);
  }
}

void RegisterPageClass() {
  static const bool registered = [] {
    WNDCLASSEXW page{};
    page.cbSize = sizeof page;
    page.lpfnWndProc = PageProc;
    page.hInstance = GetModuleHandleW(nullptr);
    page.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    page.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    page.lpszClassName = kPageClass;
    return RegisterClassExW(&page) != 0;
  }();
  (void)registered;
}

struct ControlKind {
  const wchar_t* windowClass;
  DWORD style;
  DWORD extendedStyle;
};

ControlKind KindOf(const GadgetRow& row) {
  switch (row.kind) {
    case Kind::kFrame:
      return {L"Button", BS_GROUPBOX, 0};
    case Kind::kField:
      return {L"Edit", ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case Kind::kArea:
      return {L"Edit", ES_READONLY | ES_MULTILINE | ES_AUTOVSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case Kind::kButton:
      return {L"Button", BS_PUSHBUTTON | WS_TABSTOP, 0};
    case Kind::kImage:
      return {L"Button", BS_PUSHBUTTON | BS_BITMAP | WS_TABSTOP, 0};
    case Kind::kOption:
      // Not automatic: the window keeps each group's one "on" by the table's
      // groups, whatever lies between the buttons in the tab order.
      return {L"Button", BS_RADIOBUTTON, 0};
    case Kind::kCheck:
      return {L"Button", BS_AUTOCHECKBOX | WS_TABSTOP, 0};
    case Kind::kStaticText:
      return {L"Static", SS_CENTER, 0};
  }
  return {L"Static", 0, 0};
}

// A keyboard group starts at every control that is not the second button
// of an option group, so arrow keys move only within a group.
bool StartsKeyboardGroup(const GadgetRow& row) {
  if (row.kind != Kind::kOption) return true;
  for (const GadgetRow& other : layout::MainWindowGadgets()) {
    if (other.group == row.group) return &other == &row;
  }
  return true;
}

std::wstring InitialText(const GadgetRow& row) {
  if (row.kind == Kind::kStaticText)
    return Wide(layout::kInfoText) + L"\r\n" + Wide(layout::kCredit);
  return Wide(row.text);
}

}  // namespace

void BuildGadgets(HWND window, HFONT font, MainGadgets& gadgets) {
  RegisterPageClass();
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const auto setFont = [font](HWND control) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  };

  // The status bar sits below the tab control, sized by the tables, not by
  // its own idea of its height.
  gadgets.status = CreateWindowExW(
      0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | CCS_NORESIZE | CCS_NOPARENTALIGN, 0,
      layout::kTabPanelHeight, layout::kClientWidth,
      layout::kClientHeight - layout::kTabPanelHeight, window, nullptr, instance, nullptr);
  setFont(gadgets.status);
  // Text after two tabs is right-aligned.
  const std::wstring credit = L"\t\t" + Wide(layout::kCredit);
  SendMessageW(gadgets.status, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(credit.c_str()));

  gadgets.tabs = CreateWindowExW(
      0, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, 0, 0,
      layout::kClientWidth, layout::kTabPanelHeight, window, nullptr, instance, nullptr);
  setFont(gadgets.tabs);
  for (int tab = 0; tab < layout::kTabCount; ++tab) {
    std::wstring title = Wide(layout::kTabTitles[tab]);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = title.data();
    SendMessageW(gadgets.tabs, TCM_INSERTITEMW, tab, reinterpret_cast<LPARAM>(&item));
  }
  // Pages lie over the tab control's display area as its siblings, not its
  // children: the dialog navigation of the keyboard walks into them then.
  RECT display;
  GetClientRect(gadgets.tabs, &display);
  SendMessageW(gadgets.tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
  MapWindowPoints(gadgets.tabs, window, reinterpret_cast<POINT*>(&display), 2);
  for (HWND& page : gadgets.pages) {
    page = CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, L"", WS_CHILD | WS_CLIPSIBLINGS,
                           display.left, display.top, display.right - display.left,
                           display.bottom - display.top, window, nullptr, instance, nullptr);
    SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  gadgets.encryptImage = ComposeButtonImage(layout::Picture::kEncrypt, font);
  gadgets.decryptImage = ComposeButtonImage(layout::Picture::kDecrypt, font);

  for (const GadgetRow& row : layout::MainWindowGadgets()) {
    const ControlKind kind = KindOf(row);
    DWORD style = WS_CHILD | kind.style;
    if (row.initially != layout::Initially::kHidden) style |= WS_VISIBLE;
    if (StartsKeyboardGroup(row)) style |= WS_GROUP;
    if (row.kind == Kind::kOption && StartsKeyboardGroup(row)) style |= WS_TABSTOP;
    HWND control = CreateWindowExW(kind.extendedStyle, kind.windowClass, InitialText(row).c_str(),
                                   style, row.x, row.y, row.w, row.h, gadgets.pages[row.tab],
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.number)),
                                   instance, nullptr);
    setFont(control);
    if (row.kind == Kind::kImage) {
      HBITMAP image =
          row.picture == layout::Picture::kEncrypt ? gadgets.encryptImage : gadgets.decryptImage;
      SendMessageW(control, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(image));
    }
    if (row.initially == layout::Initially::kOn) SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
    gadgets.byNumber[row.number] = control;
  }
  ShowTab(gadgets, layout::kEncryptTab);
}

void ShowTab(const MainGadgets& gadgets, int tab) {
  SendMessageW(gadgets.tabs, TCM_SETCURSEL, tab, 0);
  for (int other = 0; other < layout::kTabCount; ++other)
    ShowWindow(gadgets.pages[other], other == tab ? SW_SHOW : SW_HIDE);
}

void FreeGadgetPictures(MainGadgets& gadgets) {
  for (HBITMAP* image : {&gadgets.encryptImage, &gadgets.decryptImage}) {
    if (*image != nullptr) DeleteObject(*image);
    *image = nullptr;
  }
}

bool IsOn(HWND button) {
  return button != nullptr && SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

}  // namespace winshell
