// A main window for a test, built hidden-free on the test's thread (the GUI
// thread), with every modal question answered from a script, and the
// helpers that let its messages flow while a test waits.
#ifndef TRESOLIN_TESTS_APP_WINSHELL_WINDOW_FIXTURE_H_
#define TRESOLIN_TESTS_APP_WINSHELL_WINDOW_FIXTURE_H_

#include <gtest/gtest.h>
#include "app/winshell/win32.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/winshell/front_end.h"
#include "app/winshell/main_window.h"
#include "app/winshell/wide_text.h"
#include "platform/platform.h"

namespace winshell_test {

// Handles every waiting message once.
inline void Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Pumps until done() or timeout; returns done().
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    Pump();
  }
  return true;
}

inline std::wstring TextOf(HWND control) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(control, buffer, 1024);
  return buffer;
}

// The rectangle of control in the client coordinates of parent.
inline RECT RectIn(HWND control, HWND parent) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

inline void Click(HWND button) {
  SendMessageW(button, BM_CLICK, 0, 0);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ =
        std::make_unique<winshell::MainWindow>(platform::TempFolder(), platform::TempFolder());
    window_->frontEnd().AnswerFrom(&answers_);
    window_->Show();
    Pump();
  }
  void TearDown() override {
    window_.reset();
    Pump();
  }

  HWND Gadget(int number) const { return window_->Gadget(number); }

  winshell::DialogAnswers answers_;
  std::unique_ptr<winshell::MainWindow> window_;
};

}  // namespace winshell_test

#endif  // TRESOLIN_TESTS_APP_WINSHELL_WINDOW_FIXTURE_H_
