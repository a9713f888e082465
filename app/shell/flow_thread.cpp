// Flows on a worker thread, their front-end calls on the GUI thread.
#include "app/shell/flow_thread.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <utility>

namespace shell {

GuiThreadFrontEnd::GuiThreadFrontEnd(flows::FrontEnd& target, QObject& guiObject)
    : CarryingFrontEnd(target), guiObject_(guiObject) {}

void GuiThreadFrontEnd::Carry(const std::function<void()>& call) {
  // A blocking call into one's own thread would wait for itself.
  if (QThread::currentThread() == guiObject_.thread()) {
    call();
    return;
  }
  QMetaObject::invokeMethod(&guiObject_, call, Qt::BlockingQueuedConnection);
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
