// Running a flow off the GUI thread, so that the window keeps painting and
// answering the system while the flow works.
//
// A flow talks to the user only through its front end. GuiThreadFrontEnd
// carries every such call to the GUI thread with SendMessage of a private
// message that holds the call, and waits for its answer there, so the flow
// sees the same order of questions and answers as on the GUI thread itself.
// The GUI thread answers whenever it takes messages (its loop, a modal
// dialog's loop, WaitForEnd). Called on the GUI thread, it calls straight
// through. Progress reports are dropped: the window shows the progress
// program instead.
#ifndef TRESOLIN_APP_WINSHELL_GUI_THREAD_H_
#define TRESOLIN_APP_WINSHELL_GUI_THREAD_H_

#include "app/winshell/win32.h"

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "app/flows/flows.h"

namespace winshell {

// The message that carries a call: lParam points to a std::function<void()>.
inline constexpr UINT kRunOnGuiThread = WM_APP + 1;
// Posted to the window when a flow has ended.
inline constexpr UINT kFlowEnded = WM_APP + 2;

// Runs the call a kRunOnGuiThread message carries; for the window procedure.
LRESULT RunCarriedCall(LPARAM lParam);

class GuiThreadFrontEnd : public flows::CarryingFrontEnd {
 public:
  // target is called on the thread of window, which must outlive every call
  // made from another thread and hand kRunOnGuiThread to RunCarriedCall.
  GuiThreadFrontEnd(flows::FrontEnd& target, HWND window);

 protected:
  // Runs call on the window's thread and returns when it has run.
  void Carry(const std::function<void()>& call) override;

 private:
  HWND window_;
  DWORD guiThread_;
};

// One flow at a time on a thread of its own; window gets kFlowEnded when it
// has ended.
class FlowThread {
 public:
  explicit FlowThread(HWND window) : window_(window) {}
  ~FlowThread() { WaitForEnd(); }

  // Starts flow. Requires: no flow runs.
  void Start(std::function<void()> flow);

  // Returns true from Start until the flow's thread has been joined.
  bool running() const { return thread_.joinable(); }

  // Answers the flow's calls until it has ended, then joins it. GUI thread.
  void WaitForEnd();

  // Joins a flow that has ended (after kFlowEnded). GUI thread.
  void Join();

 private:
  HWND window_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_GUI_THREAD_H_
