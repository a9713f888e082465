#include "hourspin/progress_window.h"

#include <QCloseEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include "hourspin/hourspin.h"

namespace hourspin {

ProgressWindow::ProgressWindow(const QString& caption)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::WindowStaysOnTopHint),
      image_(new QLabel(this)) {
  setWindowTitle(caption);
  // Equal minimum and maximum size: window managers then offer no sizing
  // border and no maximize box.
  setFixedSize(kClientWidth, kClientHeight);
  image_->setGeometry(kSurfaceLeft, kSurfaceTop, kStripWidth, kStripHeight);
  KeepCentred();
}

void ProgressWindow::ShowSurface(const QImage& surface) {
  image_->setPixmap(QPixmap::fromImage(surface));
}

void ProgressWindow::KeepCentred() {
  const QSize outer = frameGeometry().size();
  if (outer == centred_for_) return;
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  centred_for_ = outer;
  // For a top-level widget, move() places the outer frame's corner.
  move(CentredOrigin(screen->geometry(), outer));
}

bool ProgressWindow::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
      // Taken and dropped: the indicator only shows that work goes on.
      event->accept();
      return true;
    default:
      return QWidget::event(event);
  }
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
  // The close box stays but does nothing: only the main program, by killing
  // us, or the loss of its window ends the indicator.
  event->ignore();
}

}  // namespace hourspin
