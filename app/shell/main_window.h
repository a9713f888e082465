// The main window, "Tresolin 0.1": three tabs of gadgets, a status bar, the
// password dialogs it opens, and the one dispatch function through which
// every gadget event reaches its handler. The flows run inside those
// handlers, on the GUI thread, to their end. The window owns the
// application state for the whole run. GUI thread only.
#ifndef TRESOLIN_APP_SHELL_MAIN_WINDOW_H_
#define TRESOLIN_APP_SHELL_MAIN_WINDOW_H_

#include <QPointer>
#include <QWidget>
#include <string>

#include "app/flows/flows.h"
#include "app/shell/password_dialog.h"
#include "app/shell/window_front_end.h"

class QCloseEvent;

namespace shell {

// The window's title and client size; the tab panel fills all of it but the
// status bar.
inline constexpr char kMainWindowTitle[] = "Tresolin 0.1";
inline constexpr int kClientWidth = 490;
inline constexpr int kClientHeight = 355;
inline constexpr int kTabPanelHeight = 335;

// The credit line of the status bar and the Info tab.
inline constexpr char kCredit[] = "© 2026 Das Tresolin-Team";

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  // tempFolder ends in "/" and becomes state().tempFolder; programFolder
  // ends in "/" and holds the progress program data/hourspin. The window is
  // built hidden, centred on the screen; show() it.
  MainWindow(std::string tempFolder, std::string programFolder);
  ~MainWindow() override;

  // Handles the event of gadget number: the main window's gadgets and the
  // OK buttons of the password dialogs. Numbers without a handler do
  // nothing.
  void Dispatch(int gadgetNumber);

  // Handles the close box of window number: 0 ends the program, 1 to 4
  // close that password dialog, stop its meter and bring the main window
  // back.
  void CloseRequest(int windowNumber);

  // Returns the gadget with this number in the main window or in the open
  // password dialog, or nullptr.
  QWidget* Gadget(int number) const;

  // Returns the open password dialog, or nullptr.
  PasswordDialog* passwordDialog() const { return dialog_; }

  flows::AppState& state() { return state_; }
  WindowFrontEnd& frontEnd() { return ui_; }

 protected:
  // Builds password dialog number; nullptr when it cannot be built. A test
  // seam: the window copes with a dialog that fails.
  virtual PasswordDialog* CreatePasswordDialog(int number);

  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildGadgets();
  void OpenPasswordDialog(int number);
  bool TakePassword(int number);
  void ClosePasswordDialog();
  void ActivateAgain();
  bool FieldEmpty(int gadgetNumber) const;

  flows::AppState state_;
  WindowFrontEnd ui_;
  QPointer<PasswordDialog> dialog_;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_MAIN_WINDOW_H_
