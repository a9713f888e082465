// The main window, "Tresolin 0.1": three tabs of gadgets, a status bar, the
// password dialogs it opens, and the one dispatch function through which
// every gadget event reaches its handler.
//
// A confirmed password dialog starts its flow on a worker thread; every
// question the flow asks is answered on the GUI thread, in the flow's order.
// Meanwhile the window keeps painting and answering the window manager, but
// takes no input, no gadget event and no close request: as far as the user
// can act, the flow runs inside its handler. The window owns the
// application state for the whole run; the flow alone touches it while it
// runs. GUI thread only.
#ifndef TRESOLIN_APP_SHELL_MAIN_WINDOW_H_
#define TRESOLIN_APP_SHELL_MAIN_WINDOW_H_

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "app/flows/flows.h"
#include "app/layout/layout.h"
#include "app/shell/flow_thread.h"
#include "app/shell/password_dialog.h"
#include "app/shell/window_front_end.h"

class QCloseEvent;
class QSessionManager;
class QTabWidget;

namespace shell {

// The window's title and client size; the tab panel fills all of it but the
// status bar, which shows the credit line.
using layout::kClientHeight;
using layout::kClientWidth;
using layout::kCredit;
using layout::kMainWindowTitle;
using layout::kTabPanelHeight;

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  // tempFolder ends in "/" and becomes state().tempFolder; programFolder
  // ends in "/" and holds the progress program data/hourspin. The window is
  // built hidden, centred on the screen; show() it.
  MainWindow(std::string tempFolder, std::string programFolder);
  ~MainWindow() override;  // waits for a running flow to end

  // Handles the event of gadget number: the main window's gadgets and the
  // OK buttons of the password dialogs. Numbers without a handler do
  // nothing, and nothing is handled while a flow runs.
  void Dispatch(int gadgetNumber);

  // Handles the close box of window number: 0 ends the program (refused
  // while a flow runs), 1 to 4 close that password dialog, stop its meter
  // and bring the main window back.
  void CloseRequest(int windowNumber);

  // Takes path (absolute) as if the user had chosen it: a container goes to
  // the decryption tab's file or folder panel as its marker says, any other
  // file to the encryption tab's file panel, a folder to its folder panel,
  // each through the choice handler of that panel with all its checks. While
  // a password dialog is open or a flow runs, the path waits until the
  // window is idle again.
  void OpenPath(const std::string& path);

  // Brings the window to the front and makes it active; the open password
  // dialog instead, when there is one. A window minimized by a running flow
  // stays minimized.
  void Present();

  // Returns true iff a flow runs.
  bool flowRunning() const { return flowThread_.running(); }

  // Lets the GUI thread answer the running flow until it has ended.
  void WaitForFlow() { flowThread_.WaitForEnd(); }

  // Returns the gadget with this number in the main window or in the open
  // password dialog, or nullptr.
  QWidget* Gadget(int number) const;

  // Returns the open password dialog, or nullptr.
  PasswordDialog* passwordDialog() const { return dialog_; }

  flows::AppState& state() { return state_; }
  WindowFrontEnd& frontEnd() { return ui_; }

 protected:
  // Builds the password dialog; nullptr when it cannot be built. A test
  // seam: the window copes with a dialog that fails.
  virtual PasswordDialog* CreatePasswordDialog(PasswordDialogKind kind);

  void closeEvent(QCloseEvent* event) override;
  // Drops the user's input to this window while a flow runs.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildGadgets();
  void RunFlow(std::function<void()> flow);
  void FlowEnded();
  void TakePendingPath();
  void ChoosePath(const std::string& path);
  void RefuseLogout(QSessionManager& manager);
  void OpenPasswordDialog(PasswordDialogKind kind);
  bool TakePassword(PasswordDialogKind kind);
  void ClosePasswordDialog();
  void ActivateAgain();
  bool FieldEmpty(int gadgetNumber) const;
  // The encryption options the file or folder panel's buttons show.
  flows::EncryptionOptions FileOptions();
  flows::EncryptionOptions FolderOptions();

  flows::AppState state_;
  WindowFrontEnd ui_;
  GuiThreadFrontEnd onGuiThread_{ui_, *this};  // what the running flow talks to
  FlowThread flowThread_;
  QPointer<PasswordDialog> dialog_;
  QTabWidget* tabs_ = nullptr;
  std::optional<std::string> pendingPath_;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_MAIN_WINDOW_H_
