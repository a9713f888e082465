// The strength meter's arithmetic, painting and worker thread.
#include "app/shell/strength_meter.h"

#include <QColor>
#include <QMetaObject>
#include <QPainter>
#include <QPixmap>
#include <cmath>
#include <utility>

namespace shell {

int PasswordCharacters(const QString& text) {
  int characters = 0;
  for (const QChar c : text) {
    if (!c.isLowSurrogate()) ++characters;
  }
  return characters;
}

QImage PaintMeter(const QImage& background, int characters) {
  QImage canvas = background.convertToFormat(QImage::Format_RGB32);
  const QColor bar(kMeterBarRed, kMeterBarGreen, kMeterBarBlue);
  QPainter painter(&canvas);
  // A solid fill of exactly width x 4 pixels: fill and outline share one
  // colour, and width 0 paints nothing.
  painter.fillRect(kMeterBarX, kMeterBarY, MeterBarWidth(characters), kMeterBarHeight, bar);
  return canvas;
}

StrengthMeter::StrengthMeter(QLabel* target, QImage background, QObject* parent)
    : QObject(parent),
      target_(target),
      background_(background.convertToFormat(QImage::Format_RGB32)) {
  target_->setPixmap(QPixmap::fromImage(background_));
}

StrengthMeter::~StrengthMeter() {
  Stop();
}

void StrengthMeter::SetText(const QString& text) {
  std::lock_guard lock(textMutex_);
  text_ = text;
}

void StrengthMeter::SetActive(bool active) {
  active_.store(active);
}

void StrengthMeter::Start() {
  if (worker_.joinable()) return;
  worker_ = std::jthread([this](std::stop_token stop) { Work(std::move(stop)); });
}

void StrengthMeter::Stop() {
  if (!worker_.joinable()) return;
  worker_.request_stop();
  worker_.join();
}

void StrengthMeter::Work(std::stop_token stop) {
  // The canvas starts as a copy of the background and is only ever painted
  // from the clean background, never on top of an older bar.
  QImage canvas = background_.copy();
  int painted = -1;  // characters shown on the canvas; -1 before the first cycle
  bool shown = false;
  while (!stop.stop_requested()) {
    std::this_thread::sleep_for(kMeterPollPause);
    if (!active_.load()) continue;
    int characters;
    {
      std::lock_guard lock(textMutex_);
      characters = PasswordCharacters(text_);
    }
    // Painting the same bar again would show the same picture, so the worker
    // repaints and hands over only when the picture changes.
    if (MeterRedraws(characters) && characters != painted) {
      canvas = PaintMeter(background_, characters);
      painted = characters;
      shown = false;
    }
    if (!shown) shown = HandOver(canvas);
  }
}

bool StrengthMeter::HandOver(const QImage& picture) {
  // At most one picture is on its way; a newer one waits for the next cycle.
  if (handOverPending_.exchange(true)) return false;
  // Queued to this object: a call still pending when the dialog goes is
  // dropped together with it.
  QMetaObject::invokeMethod(
      this,
      [this, picture] {
        handOverPending_.store(false);
        target_->setPixmap(QPixmap::fromImage(picture));
        ++picturesShown_;
      },
      Qt::QueuedConnection);
  return true;
}

}  // namespace shell
