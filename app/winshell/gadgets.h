// The main window's controls, built from the window tables (app/layout):
// a status bar with the credit, a tab control with one page per tab, and on
// each page every row of layout::MainWindowGadgets() as a Win32 control
// whose control ID is the gadget number, placed at the row's coordinates
// in the page's client area. A page is a window over the tab control's
// display area, so a gadget's coordinates are relative to its tab page as in
// the Qt window. Pages pass their controls' notifications on to the
// top-level window. GUI thread only.
#ifndef TRESOLIN_APP_WINSHELL_GADGETS_H_
#define TRESOLIN_APP_WINSHELL_GADGETS_H_

#include "app/winshell/win32.h"

#include <map>

#include "app/layout/layout.h"

namespace winshell {

struct MainGadgets {
  HWND tabs = nullptr;
  HWND status = nullptr;
  HWND pages[layout::kTabCount] = {};
  std::map<int, HWND> byNumber;
  HBITMAP encryptImage = nullptr;  // shared by the image buttons; owned
  HBITMAP decryptImage = nullptr;

  HWND Find(int number) const {
    const auto found = byNumber.find(number);
    return found == byNumber.end() ? nullptr : found->second;
  }
};

// Builds every control into window, whose client area must be
// layout::kClientWidth x kClientHeight, with font on each. Shows the first
// tab.
void BuildGadgets(HWND window, HFONT font, MainGadgets& gadgets);

// Shows the page of tab and selects its tab.
void ShowTab(const MainGadgets& gadgets, int tab);

// Frees the pictures; the controls go with their window.
void FreeGadgetPictures(MainGadgets& gadgets);

// Returns true iff the option button or check box is on.
bool IsOn(HWND button);

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_GADGETS_H_
