// Flows on the worker thread: their questions are answered on the GUI
// thread in their order, and the window refuses the user while they run.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QMouseEvent>
#include <QRadioButton>
#include <QTimer>
#include <string>
#include <thread>
#include <vector>

#include "app/shell/flow_thread.h"
#include "tests/app/shell/shell_test_support.h"

namespace {

using shell_testing::WaitUntil;

// Answers every call and notes which it was and on which thread it ran.
class RecordingFrontEnd : public flows::FrontEnd {
 public:
  std::vector<std::string> calls;
  bool allOnGuiThread = true;

  void MessageBox(std::string_view, std::string_view text, int) override {
    Note("message " + std::string(text));
  }
  std::string FileOpenDialog(std::string_view, std::string_view, std::string_view, int) override {
    Note("open");
    return "/a";
  }
  std::string FileSaveDialog(std::string_view, std::string_view, std::string_view, int) override {
    Note("save");
    return "/b";
  }
  std::string FolderDialog(std::string_view, std::string_view) override {
    Note("folder");
    return "/c/";
  }
  std::string GadgetText(int number) override {
    Note("text " + std::to_string(number));
    return "t" + std::to_string(number);
  }
  void SetGadgetText(int number, std::string_view text) override {
    Note("set " + std::to_string(number) + " " + std::string(text));
  }
  void StartProgress(std::string_view caption) override { Note("start " + std::string(caption)); }
  void StopProgress() override { Note("stop"); }
  void RestoreMainWindow() override { Note("restore"); }
  void ReportProgress(std::string_view, std::int64_t, std::int64_t) override { Note("report"); }

 private:
  void Note(std::string call) {
    allOnGuiThread = allOnGuiThread && QThread::currentThread() == qApp->thread();
    calls.push_back(std::move(call));
  }
};

TEST(FlowThread, EveryCallRunsOnTheGuiThreadInOrderWithItsAnswer) {
  RecordingFrontEnd target;
  QObject gui;
  shell::GuiThreadFrontEnd onGui(target, gui);
  shell::FlowThread thread;
  std::vector<std::string> answers;
  std::thread::id flowThread;
  // The GUI thread keeps its timers running meanwhile.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
  ticker.start(1);

  ASSERT_TRUE(thread.Start([&] {
    flowThread = std::this_thread::get_id();
    onGui.StartProgress("Datei wird gepackt");
    answers.push_back(onGui.GadgetText(5));
    answers.push_back(onGui.FileOpenDialog("t", "/", "Alle Dateien|*.*", 0));
    answers.push_back(onGui.FileSaveDialog("t", "/", "Alle Dateien|*.*", 0));
    answers.push_back(onGui.FolderDialog("t", ""));
    onGui.SetGadgetText(45, "/x.aes");
    onGui.ReportProgress("Datei wird gepackt", 1, 2);  // dropped: not the window's business
    onGui.StopProgress();
    onGui.RestoreMainWindow();
    onGui.MessageBox("Verschlüsselung", "fertig", 64);
    // Long enough for the GUI thread to show that it is not waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }));
  EXPECT_FALSE(thread.Start([] {}));  // one flow at a time
  EXPECT_TRUE(thread.running());
  thread.WaitForEnd();
  EXPECT_FALSE(thread.running());

  EXPECT_NE(flowThread, std::this_thread::get_id());
  EXPECT_TRUE(target.allOnGuiThread);
  EXPECT_EQ(target.calls, (std::vector<std::string>{"start Datei wird gepackt", "text 5", "open",
                                                    "save", "folder", "set 45 /x.aes", "stop",
                                                    "restore", "message fertig"}));
  EXPECT_EQ(answers, (std::vector<std::string>{"t5", "/a", "/b", "/c/"}));
  EXPECT_GT(ticks, 5);
}

class FlowInWindow : public shell_testing::WindowTest {};

// While the flow waits for its first answer, the window is asked to close,
// clicked and dispatched to; none of it may act.
TEST_F(FlowInWindow, RefusesCloseClicksAndGadgetsWhileAFlowRuns) {
  window().show();
  const std::string file = dir_ / "brief.txt";
  testing_support::WriteFile(file, "Inhalt");
  answers_.fileOpen = {file};
  Click(6);
  Click(16);  // RC4
  answers_.dialogTitles.clear();

  bool asked = false;
  bool closeRefused = false;
  bool running = false;
  answers_.onQuestion = [&] {
    if (asked) return;
    asked = true;
    running = window().flowRunning();
    QCloseEvent close;
    QApplication::sendEvent(&window(), &close);
    closeRefused = !close.isAccepted() && window().isVisible();
    // A click on "ja" changes nothing; gadget events open no dialog.
    auto* yes = Gadget<QRadioButton>(8);
    const QPointF middle(8, yes->height() / 2.0);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QMouseEvent mouse(type, middle, yes->mapToGlobal(middle), Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
      QApplication::sendEvent(yes, &mouse);
    }
    window().Dispatch(6);
    window().Dispatch(11);
  };
  Click(11);
  TypePassword(QStringLiteral("geheim"));
  PressOk();

  EXPECT_TRUE(asked);
  EXPECT_TRUE(running);
  EXPECT_TRUE(closeRefused);
  EXPECT_FALSE(Gadget<QRadioButton>(8)->isChecked());
  // Only the flow's own questions came: no file dialog, no second dialog.
  EXPECT_TRUE(answers_.dialogTitles.empty());
  EXPECT_EQ(window().passwordDialog(), nullptr);
  EXPECT_EQ(LastMessage().text, "Verschlüsselung erfolgreich beendet");
  EXPECT_EQ(window().state().sourceFile, file);

  // Idle again: clicks count and the close box works.
  Click(8);
  EXPECT_TRUE(Gadget<QRadioButton>(8)->isChecked());
  EXPECT_FALSE(window().flowRunning());
  EXPECT_TRUE(window().close());
}

}  // namespace
