// Running a flow off the GUI thread, so that the window keeps painting and
// answering the window manager while the flow works.
//
// A flow talks to the user only through its front end. GuiThreadFrontEnd
// carries every such call over to the GUI thread and waits there for its
// answer, so the flow sees the same order of questions and answers as if it
// ran on the GUI thread itself. Called on the GUI thread, it calls straight
// through. Progress reports are dropped: the window shows its own progress
// program instead.
#ifndef TRESOLIN_APP_SHELL_FLOW_THREAD_H_
#define TRESOLIN_APP_SHELL_FLOW_THREAD_H_

#include <QObject>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "app/flows/flows.h"

namespace shell {

class GuiThreadFrontEnd : public flows::CarryingFrontEnd {
 public:
  // target is called on the thread of guiObject, which must outlive every
  // call made from another thread.
  GuiThreadFrontEnd(flows::FrontEnd& target, QObject& guiObject);

 protected:
  // Runs call on the GUI thread and returns when it has run.
  void Carry(const std::function<void()>& call) override;

 private:
  QObject& guiObject_;
};

// One flow at a time on a thread of its own. GUI thread only.
class FlowThread : public QObject {
  Q_OBJECT

 public:
  explicit FlowThread(QObject* parent = nullptr);
  // Requires: no flow runs (see WaitForEnd).
  ~FlowThread() override;

  // Starts flow on the worker thread. Returns false (and runs nothing) while
  // another flow runs.
  bool Start(std::function<void()> flow);

  // Returns true iff a flow has been started and finished() not yet
  // emitted.
  bool running() const { return running_; }

  // Keeps the GUI thread's events flowing until the running flow has ended:
  // the flow may still be waiting for the GUI thread to answer it.
  void WaitForEnd();

 signals:
  // The flow has returned and its thread is joined. On the GUI thread.
  void finished();

 private:
  void Joined();

  std::thread worker_;
  bool running_ = false;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_FLOW_THREAD_H_
