// hourspin: the progress window that Tresolin shows while a long step runs.
// It slides three bars back and forth inside a framed strip until it is
// killed, or until the window whose id it was given is gone.
//
// Everything here runs on the one GUI thread. The program links nothing of
// Tresolin's other parts, so the little it needs from the OS lives here too.

#ifndef HOURSPIN_HOURSPIN_H_
#define HOURSPIN_HOURSPIN_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include "hourspin/common.h"

namespace hourspin {

// Returns the strip as a 200 x 30 image, or a null image if `bmp` is no
// 24-bit BMP of that size.
QImage DecodeStrip(std::span<const std::uint8_t> bmp);

// Returns the first image of an ICO file holding 32-bit colour with alpha as
// an ARGB32 image, or a null image when the bytes are not such an icon (never
// reads outside `ico`). An icon whose alpha is zero throughout takes its
// transparency from the 1-bit mask instead, as icon loaders do.
QImage DecodeIcon(std::span<const std::uint8_t> ico);

// Paints one frame onto `surface`: the strip over all of it, then the bars
// at (x, 0), blended by their alpha and clipped at the surface's edges.
void DrawFrame(QImage& surface, const QImage& strip, const QImage& bars, int x);

// Top-left corner that centres a window of `outer` size on `screen`, by
// CentredCorner's arithmetic.
QPoint CentredOrigin(const QRect& screen, const QSize& outer);

// The caption from the bytes of the "titel" variable: UTF-8 as the main
// program writes it; bytes that are no valid UTF-8 are read as Latin-1 so
// that no letter turns into a replacement mark.
QString CaptionFromEnvironment(const char* value);

// Answers "is the main window still there?". On X11 it asks the X server
// about the window id; elsewhere a window of another process cannot be
// looked up, so it asks whether the process that started us still lives.
// Either way a handle of 0 means no window.
class MainWindowWatch {
 public:
  // Watches X11 window `handle` on `display` (nullptr: $DISPLAY). Returns
  // nullptr when no connection to that display can be made.
  static std::unique_ptr<MainWindowWatch> OnX11(std::uint64_t handle, const char* display);
  // Watches the process `parent`, which must be our parent at the time of
  // the call.
  static std::unique_ptr<MainWindowWatch> OnParent(std::uint64_t handle, pid_t parent);

  ~MainWindowWatch();
  MainWindowWatch(const MainWindowWatch&) = delete;
  MainWindowWatch& operator=(const MainWindowWatch&) = delete;

  // Returns true iff the window (or, without X11, the parent) still exists.
  // A broken X connection counts as gone: the window went with its server.
  [[nodiscard]] bool StillThere();

 private:
  struct XConnection;
  MainWindowWatch(std::uint64_t handle, pid_t parent, XConnection* x)
      : handle_(handle), parent_(parent), x_(x) {}

  std::uint64_t handle_;
  pid_t parent_;
  XConnection* x_;  // owned; null when watching the parent
};

}  // namespace hourspin

#endif  // HOURSPIN_HOURSPIN_H_
