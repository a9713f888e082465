// The four password dialogs: "Passwort Eingabe:" windows owned by the main
// window (so they stay above it), built from layout::DialogLayoutOf(n).
// Dialogs 1 and 3 carry the strength meter.
//
// The OK button, Enter in the dialog, Esc and the close box are handed to
// the callbacks the owner gives; the owner decides what they do (take the
// password, close the dialog, enable itself again).
//
// The meter's worker thread polls once a millisecond while the dialog is
// the foreground window. It never calls into the GUI thread and waits for
// nothing of it: it reads the character count from an atomic the GUI thread
// keeps current on every change of the field, and hands a new bar width
// over with PostMessage, at most one on its way at a time. StopMeter asks it
// to stop at the start of its next cycle and joins it, so a GUI thread that
// stops it never waits on a worker that waits on it. GUI thread only, but
// for the worker.
#ifndef TRESOLIN_APP_WINSHELL_PASSWORD_DIALOG_H_
#define TRESOLIN_APP_WINSHELL_PASSWORD_DIALOG_H_

#include "app/winshell/win32.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/layout/layout.h"

namespace winshell {

class PasswordDialog {
 public:
  struct Callbacks {
    std::function<void(int okNumber)> ok;   // OK clicked or Enter
    std::function<void(int window)> close;  // close box or Esc
  };

  // Builds dialog number (1 to 4), hidden, centred on the screen, owned by
  // owner; nullptr when the window cannot be made.
  static std::unique_ptr<PasswordDialog> Create(int number, HWND owner, HFONT font,
                                                Callbacks callbacks);
  ~PasswordDialog();  // stops the meter and destroys the window

  PasswordDialog(const PasswordDialog&) = delete;
  PasswordDialog& operator=(const PasswordDialog&) = delete;

  HWND hwnd() const { return window_; }
  int number() const { return layout_->window; }
  const layout::DialogLayout& layout() const { return *layout_; }

  // The control with this gadget number, or nullptr.
  HWND Gadget(int number) const;

  // The text of the password field, as typed.
  std::wstring Password() const;

  // Starts the meter's worker (meter dialogs only; once).
  void StartMeter();
  // Stops the worker and waits for it; afterwards it touches nothing.
  void StopMeter();
  bool meterRunning() const { return worker_.joinable(); }

  // The picture the meter gadget shows now (owned by the dialog).
  HBITMAP meterPicture() const { return shown_; }

 private:
  explicit PasswordDialog(const layout::DialogLayout& layout, Callbacks callbacks);
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK KeyProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR id, DWORD_PTR data);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Work();
  void ShowMeter(int characters);

  const layout::DialogLayout* layout_;
  Callbacks callbacks_;
  HWND window_ = nullptr;
  HBITMAP background_ = nullptr;
  HBITMAP shown_ = nullptr;
  std::atomic<int> characters_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> handOverPending_{false};
  std::thread worker_;
};

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_PASSWORD_DIALOG_H_
