// hourspin <decimal id of the main window>, caption in $titel.
//
// Runs its own frame loop rather than QApplication::exec(): every frame takes
// all pending events, sleeps 10 ms, draws and shows the next picture. The
// liveness check runs once per frame right after the events are taken. Each
// frame's new picture makes a repaint event that the next frame takes, so
// while the window shows there is at least one event per frame, and one check
// per frame answers the same as one check per event (a check costs one round
// trip to the X server, so it is not repeated for each of a burst of events).

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

#include <QApplication>
#include <QEventLoop>

#include "hourspin/hourspin.h"
#include "hourspin/progress_window.h"

int main(int argc, char** argv) {
  // Taken first: the starter may be gone by the time we ask again.
  const pid_t parent = getppid();
  // Read before Qt sees the arguments, as it removes the ones it knows.
  const std::uint64_t handle = hourspin::ParseWindowHandle(argc > 1 ? argv[1] : nullptr);
  const QString caption = hourspin::CaptionFromEnvironment(std::getenv("titel"));

  QApplication app(argc, argv);

  std::unique_ptr<hourspin::MainWindowWatch> watch;
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    watch = hourspin::MainWindowWatch::OnX11(handle, nullptr);
  }
  if (!watch) watch = hourspin::MainWindowWatch::OnParent(handle, parent);

  const QImage strip = hourspin::DecodeStrip(hourspin::StripBmp());
  const QImage bars = hourspin::DecodeIcon(hourspin::BarsIco());
  QImage surface = strip.copy();

  hourspin::ProgressWindow window(caption);
  window.ShowSurface(surface);
  window.show();

  for (std::int64_t frame = 0;; frame = (frame + 1) % hourspin::kFramesPerCycle) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (!watch->StillThere()) return 0;
    window.KeepCentred();
    std::this_thread::sleep_for(std::chrono::milliseconds(hourspin::kFrameSleepMs));
    hourspin::DrawFrame(surface, strip, bars, hourspin::BarsX(frame));
    window.ShowSurface(surface);
  }
}
