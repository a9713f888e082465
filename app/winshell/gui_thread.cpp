// Carrying the flow's front-end calls to the GUI thread.
#include "app/winshell/gui_thread.h"

#include <utility>

namespace winshell {

LRESULT RunCarriedCall(LPARAM lParam) {
  (*reinterpret_cast<const std::function<void()>*>(lParam))();
  return 0;
}

GuiThreadFrontEnd::GuiThreadFrontEnd(flows::FrontEnd& target, HWND window)
    : CarryingFrontEnd(target),
      window_(window),
      guiThread_(GetWindowThreadProcessId(window, nullptr)) {}

void GuiThreadFrontEnd::Carry(const std::function<void()>& call) {
  // A message sent to one's own thread would run at once anyway; calling
  // straight through says so.
  if (GetCurrentThreadId() == guiThread_) {
    call();
    return;
  }
  SendMessageW(window_, kRunOnGuiThread, 0, reinterpret_cast<LPARAM>(&call));
}

void FlowThread::Start(std::function<void()> flow) {
  ended_.store(false);
  thread_ = std::thread([this, flow = std::move(flow)] {
    flow();
    ended_.store(true);
    PostMessageW(window_, kFlowEnded, 0, 0);
  });
}

void FlowThread::WaitForEnd() {
  if (!thread_.joinable()) return;
  // Sent messages (the flow's calls) are answered inside the wait.
  while (!ended_.load()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  thread_.join();
}

void FlowThread::Join() {
  if (thread_.joinable() && ended_.load()) thread_.join();
}

}  // namespace winshell
