// Flows on a worker thread, their front-end calls on the GUI thread.
#include "app/shell/flow_thread.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <utility>

namespace shell {

GuiThreadFrontEnd::GuiThreadFrontEnd(flows::FrontEnd& target, QObject& guiObject)
    : target_(target), guiObject_(guiObject) {}

void GuiThreadFrontEnd::OnGuiThread(const std::function<void()>& call) {
  // A blocking call into one's own thread would wait for itself.
  if (QThread::currentThread() == guiObject_.thread()) {
    call();
    return;
  }
  QMetaObject::invokeMethod(&guiObject_, call, Qt::BlockingQueuedConnection);
}

// Each call's arguments live on the calling thread's stack, which waits
// until the GUI thread is done with them.
void GuiThreadFrontEnd::MessageBox(std::string_view title, std::string_view text, int style) {
  OnGuiThread([&] { target_.MessageBox(title, text, style); });
}

std::string GuiThreadFrontEnd::FileOpenDialog(std::string_view title, std::string_view defaultPath,
                                              std::string_view filter, int filterIndex) {
  std::string chosen;
  OnGuiThread([&] { chosen = target_.FileOpenDialog(title, defaultPath, filter, filterIndex); });
  return chosen;
}

std::string GuiThreadFrontEnd::FileSaveDialog(std::string_view title, std::string_view proposedPath,
                                              std::string_view filter, int filterIndex) {
  std::string chosen;
  OnGuiThread([&] { chosen = target_.FileSaveDialog(title, proposedPath, filter, filterIndex); });
  return chosen;
}

std::string GuiThreadFrontEnd::FolderDialog(std::string_view title, std::string_view startFolder) {
  std::string chosen;
  OnGuiThread([&] { chosen = target_.FolderDialog(title, startFolder); });
  return chosen;
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

FlowThread::FlowThread(QObject* parent) : QObject(parent) {}

FlowThread::~FlowThread() {
  WaitForEnd();
}

bool FlowThread::Start(std::function<void()> flow) {
  if (running_) return false;
  running_ = true;
  worker_ = std::thread([this, flow = std::move(flow)] {
    flow();
    // Queued: the GUI thread joins once the flow is off its stack.
    QMetaObject::invokeMethod(
        this, [this] { Joined(); }, Qt::QueuedConnection);
  });
  return true;
}

void FlowThread::WaitForEnd() {
  if (!running_) return;
  QEventLoop loop;
  connect(this, &FlowThread::finished, &loop, &QEventLoop::quit);
  // finished() may have been emitted from a nested loop in the meantime.
  if (running_) loop.exec();
}

void FlowThread::Joined() {
  if (worker_.joinable()) worker_.join();
  running_ = false;
  emit finished();
}

}  // namespace shell
