// The main window, "Tresolin 0.1": three tabs of gadgets, a status bar, the
// password dialogs it opens, and the one dispatch function through which
// every gadget event reaches its handler.
//
// A confirmed password dialog starts its flow on a worker thread; every
// question the flow asks is answered on the GUI thread, in the flow's order
// (gui_thread.h). Meanwhile the window keeps painting and answering the
// system, but takes no input (DropInput), no gadget event, no close request
// and refuses the end of the session: as far as the user can act, the flow
// runs inside its handler. The window owns the application state for the
// whole run; the flow alone touches it while it runs. GUI thread only.
#ifndef TRESOLIN_APP_WINSHELL_MAIN_WINDOW_H_
#define TRESOLIN_APP_WINSHELL_MAIN_WINDOW_H_

#include "app/winshell/win32.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/flows/flows.h"
#include "app/winshell/front_end.h"
#include "app/winshell/gadgets.h"
#include "app/winshell/gui_thread.h"
#include "app/winshell/password_dialog.h"

namespace winshell {

// The window class a second start looks for, and the tag of the path it
// hands over in WM_COPYDATA (UTF-8, absolute, "" for none).
inline constexpr wchar_t kMainWindowClass[] = L"Tresolin.Hauptfenster.1_xy_z_11_12_13";
inline constexpr ULONG_PTR kHandOverTag = 0x54726573;  // "Tres"

class MainWindow {
 public:
  // tempFolder ends in "/" and becomes state().tempFolder; programFolder
  // ends in "/" and holds data/hourspin.exe. The window is built hidden,
  // centred on the screen; Show() it.
  MainWindow(std::string tempFolder, std::string programFolder);
  ~MainWindow();  // waits for a running flow to end

  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND hwnd() const { return window_; }
  void Show();

  // Handles the event of gadget number: the main window's gadgets and the
  // OK buttons of the password dialogs. Numbers without a handler do
  // nothing, and nothing is handled while a flow runs.
  void Dispatch(int gadgetNumber);

  // Handles the close box of window number: 0 ends the window (refused
  // while a flow runs), 1 to 4 close that password dialog, stop its meter
  // and bring the main window back.
  void CloseRequest(int windowNumber);

  // Takes path (absolute, UTF-8) as if the user had chosen it: a container
  // goes to the decryption tab's file or folder panel as its marker says,
  // any other file to the encryption tab's file panel, a folder to its
  // folder panel, each through that panel's choice handler. While a
  // password dialog is open or a flow runs, the path waits until the window
  // is idle again.
  void OpenPath(const std::string& path);

  // Brings the window to the front; the open password dialog instead, when
  // there is one. A window minimized by a running flow stays minimized.
  void Present();

  bool flowRunning() const { return flowThread_->running(); }

  // Answers the running flow until it has ended.
  void WaitForFlow();

  // The control with this number in the main window or the open password
  // dialog, or nullptr.
  HWND Gadget(int number) const;
  const MainGadgets& gadgets() const { return gadgets_; }
  HFONT font() const { return font_; }

  PasswordDialog* passwordDialog() const { return dialog_.get(); }
  flows::AppState& state() { return state_; }
  WindowFrontEnd& frontEnd() { return *ui_; }

  // True for a message the message loop must drop: the user's keyboard and
  // mouse input to this window while a flow runs.
  bool DropInput(const MSG& message) const;

  // Ends the message loop (PostQuitMessage) when the window goes.
  void QuitWhenDestroyed() { quitWhenDestroyed_ = true; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Clicked(int number);
  void RunFlow(std::function<void()> flow);
  void FlowEnded();
  void TakePendingPath();
  void ChoosePath(const std::string& path);
  void OpenPasswordDialog(int number);
  bool TakePassword(int number);
  void ClosePasswordDialog();
  void ActivateAgain();
  bool FieldEmpty(int gadgetNumber);
  flows::EncryptionOptions FileOptions();
  flows::EncryptionOptions FolderOptions();

  flows::AppState state_;
  std::string programFolder_;
  HFONT font_ = nullptr;
  HWND window_ = nullptr;
  MainGadgets gadgets_;
  std::unique_ptr<WindowFrontEnd> ui_;
  std::unique_ptr<GuiThreadFrontEnd> onGuiThread_;  // what the running flow talks to
  std::unique_ptr<FlowThread> flowThread_;
  std::unique_ptr<PasswordDialog> dialog_;
  std::vector<std::unique_ptr<PasswordDialog>> closing_;  // go on the next turn
  std::optional<std::string> pendingPath_;
  bool quitWhenDestroyed_ = false;
};

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_MAIN_WINDOW_H_
