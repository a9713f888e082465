// Carrying the flow's front-end calls to the GUI thread.
#include "app/winshell/gui_thread.h"

#include <utility>

namespace winshell {

LRESULT RunCarriedCall(LPARAM lParam) {
  (*reinterpret_cast<const std::function<void()>*>(lParam))();
  return 0;
}

GuiThreadFrontEnd::GuiThreadFrontEnd(flows::FrontEnd& target, HWND window)
    : target_(target), window_(window), guiThread_(GetWindowThreadProcessId(window, nullptr)) {}

void GuiThreadFrontEnd::OnGuiThread(const std::function<void()>& call) {
  if (GetCurrentThreadId() == guiThread_) {
    call();
    return;
  }
  SendMessageW(window_, kRunOnGuiThread, 0, reinterpret_cast<LPARAM>(&call));
}

void GuiThreadFrontEnd::MessageBox(std::string_view title, std::string_view text, int style) {
  OnGuiThread([&] { target_.MessageBox(title, text, style); });
}

std::string GuiThreadFrontEnd::FileOpenDialog(std::string_view title, std::string_view defaultPath,
                                              std::string_view filter, int filterIndex) {
  std::string answer;
  OnGuiThread([&] { answer = target_.FileOpenDialog(title, defaultPath, filter, filterIndex); });
  return answer;
}

std::string GuiThreadFrontEnd::FileSaveDialog(std::string_view title, std::string_view proposedPath,
                                              std::string_view filter, int filterIndex) {
  std::string answer;
  OnGuiThread([&] { answer = target_.FileSaveDialog(title, proposedPath, filter, filterIndex); });
  return answer;
}

std::string GuiThreadFrontEnd::FolderDialog(std::string_view title, std::string_view startFolder) {
  std::string answer;
  OnGuiThread([&] { answer = target_.FolderDialog(title, startFolder); });
  return answer;
}

std::string GuiThreadFrontEnd::GadgetText(int gadgetNumber) {
  std::string text;
  OnGuiThread([&] { text = target_.GadgetText(gadgetNumber); });
  return text;
}

void GuiThreadFrontEnd::SetGadgetText(int gadgetNumber, std::string_view text) {
  OnGuiThread([&] { target_.SetGadgetText(gadgetNumber, text); });
}

void GuiThreadFrontEnd::StartProgress(std::string_view caption) {
  OnGuiThread([&] { target_.StartProgress(caption); });
}

void GuiThreadFrontEnd::StopProgress() {
  OnGuiThread([&] { target_.StopProgress(); });
}

void GuiThreadFrontEnd::RestoreMainWindow() {
  OnGuiThread([&] { target_.RestoreMainWindow(); });
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
