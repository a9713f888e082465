// The password dialogs' windows, keys and strength meter.
#include "app/winshell/password_dialog.h"

#include <commctrl.h>

#include <utility>

#include "app/winshell/pictures.h"
#include "app/winshell/wide_text.h"

namespace winshell {
namespace {

constexpr wchar_t kDialogClass[] = L"TresolinPasswordDialog";
constexpr UINT kMeterPicture = WM_APP + 20;  // wParam: characters to show
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

HMENU Id(int number) {
  return reinterpret_cast<HMENU>(static_cast<INT_PTR>(number));
}

}  // namespace

PasswordDialog::PasswordDialog(const layout::DialogLayout& layout, Callbacks callbacks)
    : layout_(&layout), callbacks_(std::move(callbacks)) {}

std::unique_ptr<PasswordDialog> PasswordDialog::Create(int number, HWND owner, HFONT font,
                                                       Callbacks callbacks) {
  const layout::DialogLayout* layout = layout::DialogLayoutOf(number);
  if (layout == nullptr) return nullptr;
  static const bool registered = [] {
    WNDCLASSEXW dialog{};
    dialog.cbSize = sizeof dialog;
    dialog.lpfnWndProc = Proc;
    dialog.hInstance = GetModuleHandleW(nullptr);
    dialog.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    dialog.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    dialog.lpszClassName = kDialogClass;
    return RegisterClassExW(&dialog) != 0;
  }();
  if (!registered) return nullptr;

  std::unique_ptr<PasswordDialog> dialog(new PasswordDialog(*layout, std::move(callbacks)));
  RECT frame{0, 0, layout->width, layout->height};
  AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  dialog->window_ =
      CreateWindowExW(0, kDialogClass, Wide(layout::kPasswordDialogTitle).c_str(), kStyle, x, y,
                      width, height, owner, nullptr, instance, dialog.get());
  if (dialog->window_ == nullptr) return nullptr;

  HWND window = dialog->window_;
  const auto place = [&](const wchar_t* windowClass, const layout::Placed& placed,
                         std::string_view text, DWORD style, DWORD extended) {
    HWND control = CreateWindowExW(extended, windowClass, Wide(text).c_str(),
                                   WS_CHILD | WS_VISIBLE | style, placed.x, placed.y, placed.w,
                                   placed.h, window, Id(placed.number), instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
  };
  // In the order the user meets them: label, field, OK, then the meter.
  place(L"Static", layout->label, layout::kPasswordLabel, SS_LEFT | SS_CENTERIMAGE, 0);
  // Shown in clear on purpose: the user sees what the meter measures.
  HWND field = place(L"Edit", layout->field, "", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE);
  HWND ok = place(L"Button", layout->ok, layout::kOkText, BS_PUSHBUTTON | WS_TABSTOP, 0);
  // Enter and Esc reach the dialog wherever the keyboard focus is.
  SetWindowSubclass(field, KeyProc, 0, reinterpret_cast<DWORD_PTR>(dialog.get()));
  SetWindowSubclass(ok, KeyProc, 0, reinterpret_cast<DWORD_PTR>(dialog.get()));
  if (layout->hasMeter()) {
    place(L"Static", layout->unsafe, layout::kUnsafeText, SS_LEFT, 0);
    place(L"Static", layout->safe, layout::kSafeText, SS_LEFT, 0);
    dialog->background_ = BitmapFromBmp(MeterBmp());
    if (dialog->background_ == nullptr) return nullptr;
    place(L"Static", layout->meter, "", SS_BITMAP, 0);
    dialog->ShowMeter(0);
  }
  SetFocus(field);
  return dialog;
}

PasswordDialog::~PasswordDialog() {
  StopMeter();
  if (window_ != nullptr) {
    // Nothing reaches this object from its window any more.
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (shown_ != nullptr) DeleteObject(shown_);
  if (background_ != nullptr) DeleteObject(background_);
}

HWND PasswordDialog::Gadget(int number) const {
  return number == 0 ? nullptr : GetDlgItem(window_, number);
}

std::wstring PasswordDialog::Password() const {
  HWND field = Gadget(layout_->field.number);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
  return text;
}

void PasswordDialog::StartMeter() {
  if (!layout_->hasMeter() || worker_.joinable()) return;
  stop_.store(false);
  worker_ = std::thread([this] { Work(); });
}

void PasswordDialog::StopMeter() {
  if (!worker_.joinable()) return;
  stop_.store(true);
  worker_.join();
}

void PasswordDialog::Work() {
  int painted = 0;  // the dialog opens showing the empty bar
  bool shown = true;
  while (!stop_.load()) {
    Sleep(static_cast<DWORD>(layout::kMeterPollPause.count()));
    // A covered or hidden dialog is not painted.
    if (GetForegroundWindow() != window_) continue;
    const int characters = characters_.load();
    if (layout::MeterRedraws(characters) && characters != painted) {
      painted = characters;
      shown = false;
    }
    // At most one picture on its way; a newer one waits for the next cycle.
    if (!shown && !handOverPending_.exchange(true)) {
      PostMessageW(window_, kMeterPicture, static_cast<WPARAM>(painted), 0);
      shown = true;
    }
  }
}

void PasswordDialog::ShowMeter(int characters) {
  HBITMAP picture = PaintMeter(background_, characters);
  if (picture == nullptr) return;
  HWND meter = Gadget(layout_->meter.number);
  HBITMAP old = reinterpret_cast<HBITMAP>(
      SendMessageW(meter, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture)));
  if (old != nullptr && old != shown_) DeleteObject(old);  // a copy the control made
  if (shown_ != nullptr) DeleteObject(shown_);
  shown_ = picture;
}

LRESULT CALLBACK PasswordDialog::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* dialog = reinterpret_cast<PasswordDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (dialog == nullptr || dialog->window_ != window)
    return DefWindowProcW(window, message, wParam, lParam);
  return dialog->Handle(message, wParam, lParam);
}

LRESULT PasswordDialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      // IDOK and IDCANCEL: Enter and Esc as the message loop's dialog
      // navigation translates them.
      if (id == IDCANCEL) return Handle(WM_CLOSE, 0, 0);
      if ((id == layout_->ok.number && HIWORD(wParam) == BN_CLICKED) || id == IDOK) {
        // The callback may end this dialog; nothing of it is touched after.
        const auto ok = callbacks_.ok;
        ok(layout_->ok.number);
        return 0;
      }
      if (id == layout_->field.number && HIWORD(wParam) == EN_CHANGE)
        characters_.store(UserCharacters(Password()));
      return 0;
    }
    case WM_CLOSE: {
      const auto close = callbacks_.close;
      close(layout_->window);
      return 0;
    }
    case kMeterPicture:
      handOverPending_.store(false);
      ShowMeter(static_cast<int>(wParam));
      return 0;
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

LRESULT CALLBACK PasswordDialog::KeyProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR, DWORD_PTR data) {
  auto* dialog = reinterpret_cast<PasswordDialog*>(data);
  const bool enter = wParam == VK_RETURN, escape = wParam == VK_ESCAPE;
  if (message == WM_KEYDOWN && (enter || escape)) {
    // Posted: the handler may destroy this very control.
    HWND ok = dialog->Gadget(dialog->layout_->ok.number);
    if (enter) {
      PostMessageW(dialog->window_, WM_COMMAND, MAKEWPARAM(dialog->layout_->ok.number, BN_CLICKED),
                   reinterpret_cast<LPARAM>(ok));
    } else {
      PostMessageW(dialog->window_, WM_CLOSE, 0, 0);
    }
    return 0;
  }
  // The edit control would beep at them.
  if (message == WM_CHAR && (wParam == L'\r' || wParam == 0x1B)) return 0;
  if (message == WM_NCDESTROY) RemoveWindowSubclass(control, KeyProc, 0);
  return DefSubclassProc(control, message, wParam, lParam);
}

}  // namespace winshell
