// The strength meter of the two encryption password dialogs: an orange bar
// that grows by 28.25 pixels with every character typed, up to the eighth.
//
// A worker thread polls once a millisecond while its dialog is the active
// window. Qt widgets belong to the GUI thread, so the worker never touches
// one: it reads the password through a copy that the GUI thread keeps up to
// date under a mutex, paints its own canvas image, and hands a copy of that
// image to the GUI thread with a queued call. The free functions are pure
// and thread-safe; StrengthMeter's members are for the GUI thread only.
#ifndef TRESOLIN_APP_SHELL_STRENGTH_METER_H_
#define TRESOLIN_APP_SHELL_STRENGTH_METER_H_

#include <QImage>
#include <QLabel>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stop_token>
#include <thread>

#include "app/layout/layout.h"

namespace shell {

// The meter picture: 230 x 8 pixels, a white field at x 2 to 227, y 1 to 6
// inside a grey frame. The bar lies in the field at x 2, y 2, 4 pixels high.
// Sizes, colour, step and pause are the window tables' (app/layout).
using layout::kMeterBarBlue;
using layout::kMeterBarGreen;
using layout::kMeterBarHeight;
using layout::kMeterBarRed;
using layout::kMeterBarStep;
using layout::kMeterBarX;
using layout::kMeterBarY;
using layout::kMeterHeight;
using layout::kMeterPollPause;
using layout::kMeterRedrawLimit;
using layout::kMeterWidth;
using layout::MeterBarWidth;
using layout::MeterRedraws;

// Returns the number of characters of a password text as the user sees
// them: a character outside the Basic Multilingual Plane counts once.
int PasswordCharacters(const QString& text);

// Returns background with the bar for `characters` painted on it.
// Requires: MeterRedraws(characters).
QImage PaintMeter(const QImage& background, int characters);

// The worker and its hand-over to the meter image gadget of one dialog.
class StrengthMeter : public QObject {
  Q_OBJECT

 public:
  // Shows its pictures in target, which must outlive this object (the
  // dialog owns both). background is the 230 x 8 meter background.
  StrengthMeter(QLabel* target, QImage background, QObject* parent = nullptr);
  ~StrengthMeter() override;  // stops the worker

  // Keeps the worker's copy of the password text current.
  void SetText(const QString& text);

  // Tells the worker whether its dialog is the active window; it paints
  // only while it is.
  void SetActive(bool active);

  // Starts the worker. Does nothing while one runs.
  void Start();

  // Asks the worker to stop at the start of its next cycle and waits for it.
  // Afterwards the worker touches nothing. Does nothing when none runs.
  void Stop();

  // Returns true iff a worker has been started and not stopped.
  bool running() const { return worker_.joinable(); }

  // Returns the number of pictures handed to the GUI thread and shown.
  int picturesShown() const { return picturesShown_; }

 private:
  void Work(std::stop_token stop);
  // Returns true iff picture is now on its way to the GUI thread.
  bool HandOver(const QImage& picture);

  QLabel* target_;
  const QImage background_;
  mutable std::mutex textMutex_;
  QString text_;  // guarded by textMutex_
  std::atomic<bool> active_{false};
  std::atomic<bool> handOverPending_{false};
  int picturesShown_ = 0;
  std::jthread worker_;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_STRENGTH_METER_H_
