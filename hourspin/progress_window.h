// The indicator's window: a fixed 210 x 40 client area, always on top, with
// one image area that shows the drawing surface. It takes no input: the
// close box, keys and clicks do nothing, though the window manager can still
// move it by its caption.

#ifndef HOURSPIN_PROGRESS_WINDOW_H_
#define HOURSPIN_PROGRESS_WINDOW_H_

#include <QImage>
#include <QLabel>
#include <QSize>
#include <QString>
#include <QWidget>

namespace hourspin {

class ProgressWindow : public QWidget {
 public:
  explicit ProgressWindow(const QString& caption);

  // Hands the surface to the image area, which repaints it.
  void ShowSurface(const QImage& surface);

  // Centres the window on the primary screen by its outer size. The frame's
  // size is known only once the window manager has framed the window, so
  // this is called on every frame and acts only when the outer size differs
  // from the one last centred for; a window the user has dragged keeps its
  // place.
  void KeepCentred();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QLabel* image_;
  QSize centred_for_;
};

}  // namespace hourspin

#endif  // HOURSPIN_PROGRESS_WINDOW_H_
