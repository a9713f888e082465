// The four password dialogs, "Passwort Eingabe:": 1 encrypts a file, 2
// decrypts a file, 3 encrypts a folder, 4 decrypts a folder. Each has a
// label, a password field shown in clear as typed, and an OK button; 1 and
// 3 also carry the strength meter. The dialog only raises events: OK (or
// Enter) as a gadget event, its close box (or Esc) as a close request; the
// main window decides what follows. GUI thread only.
#ifndef TRESOLIN_APP_SHELL_PASSWORD_DIALOG_H_
#define TRESOLIN_APP_SHELL_PASSWORD_DIALOG_H_

#include <QString>
#include <QWidget>

#include "app/layout/layout.h"
#include "app/shell/strength_meter.h"

class QCloseEvent;
class QEvent;
class QKeyEvent;

namespace shell {

// The dialogs' title.
using layout::kPasswordDialogTitle;

// Which of the four dialogs; the value is the window number it carries.
enum class PasswordDialogKind {
  kEncryptFile = 1,
  kDecryptFile = 2,
  kEncryptFolder = 3,
  kDecryptFolder = 4,
};

class PasswordDialog : public QWidget {
  Q_OBJECT

 public:
  // Builds the dialog, hidden, with the object name "window-N" for its
  // window number N. Returns nullptr when it cannot be built: a meter dialog
  // whose meter background cannot be read.
  static PasswordDialog* Create(PasswordDialogKind kind);
  ~PasswordDialog() override;  // stops the meter

  PasswordDialogKind kind() const { return static_cast<PasswordDialogKind>(number_); }
  int number() const { return number_; }  // the window number

  // The OK button's and the password field's gadget numbers.
  int okGadget() const;
  int fieldGadget() const;

  // The text of the password field, as typed.
  QString password() const;

  // The meter of dialogs 1 and 3; nullptr for 2 and 4.
  StrengthMeter* meter() const { return meter_; }

  // Starts resp. stops the meter's worker; nothing for dialogs 2 and 4.
  void StartMeter();
  void StopMeter();

 signals:
  // OK was pressed.
  void gadgetEvent(int gadgetNumber);
  // The close box was pressed; the dialog stays until the main window acts.
  void closeRequested(int windowNumber);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  // Enter presses OK, Esc is the close box.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  explicit PasswordDialog(int number);

  int number_;
  StrengthMeter* meter_ = nullptr;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_PASSWORD_DIALOG_H_
