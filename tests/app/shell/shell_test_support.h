// Test support for the window program: a main window whose dialogs answer
// from a script, and waiting for the event loop.
#ifndef TRESOLIN_TESTS_APP_SHELL_SHELL_TEST_SUPPORT_H_
#define TRESOLIN_TESTS_APP_SHELL_SHELL_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QThread>
#include <functional>
#include <memory>
#include <string>

#include "app/shell/main_window.h"
#include "app/shell/window_front_end.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace shell_testing {

// Runs the event loop until done() holds or timeoutMs passes. Returns done().
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

// Lets deleteLater() take effect.
inline void FlushDeletes() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

// A main window on a scratch folder. Its program folder holds no progress
// program unless a test puts one there; every modal question is answered by
// `answers`.
class WindowTest : public ::testing::Test {
 protected:
  WindowTest()
      : window_(std::make_unique<shell::MainWindow>(platform::TempFolder(), dir_.path() + "/")) {
    window_->frontEnd().AnswerFrom(&answers_);
  }

  shell::MainWindow& window() { return *window_; }

  template <typename W = QWidget>
  W* Gadget(int number) {
    return qobject_cast<W*>(window_->Gadget(number));
  }

  void Click(int number) {
    auto* button = Gadget<QAbstractButton>(number);
    ASSERT_NE(button, nullptr) << "gadget " << number;
    button->click();
  }

  // Types text into the open dialog's password field.
  void TypePassword(const QString& text) {
    shell::PasswordDialog* dialog = window_->passwordDialog();
    ASSERT_NE(dialog, nullptr);
    auto* field = qobject_cast<QLineEdit*>(window_->Gadget(dialog->fieldGadget()));
    ASSERT_NE(field, nullptr);
    field->setText(text);
  }

  // Presses OK in the open dialog and waits for the flow it starts.
  void PressOk() {
    shell::PasswordDialog* dialog = window_->passwordDialog();
    ASSERT_NE(dialog, nullptr);
    Click(dialog->okGadget());
    window_->WaitForFlow();
  }

  shell::DialogAnswers::Message LastMessage() const {
    return answers_.messages.empty() ? shell::DialogAnswers::Message{} : answers_.messages.back();
  }

  testing_support::TempFolder dir_;
  shell::DialogAnswers answers_;
  std::unique_ptr<shell::MainWindow> window_;
};

}  // namespace shell_testing

#endif  // TRESOLIN_TESTS_APP_SHELL_SHELL_TEST_SUPPORT_H_
