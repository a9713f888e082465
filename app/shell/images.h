// The shell's font and pictures: the default gadget font, the two button
// images composed at start-up, and the meter background. The pictures come
// from files compiled into the program (app/shell/resources). Call these on
// the GUI thread, after the QApplication exists.
#ifndef TRESOLIN_APP_SHELL_IMAGES_H_
#define TRESOLIN_APP_SHELL_IMAGES_H_

#include <QFont>
#include <QImage>
#include <QString>

#include "app/layout/layout.h"

namespace shell {

// Button images: 95 x 60, the button-face colour, an icon, then the caption
// at (8, 45). The encrypt icon is 48 x 48 at (23, 0), the decrypt icon
// 38 x 38 at (28, 5).
using layout::kButtonImageHeight;
using layout::kButtonImageWidth;

enum class ButtonImage { kEncrypt, kDecrypt };

// Returns Arial, 8 points, bold: the font of every gadget. fontconfig
// resolves "Arial" to a metric-compatible face where Arial is missing.
QFont DefaultFont();

// Returns the composed button image; a null image when its icon cannot be
// read.
QImage ComposeButtonImage(ButtonImage which);

// Returns the 230 x 8 meter background, or a null image when it cannot be
// read.
QImage MeterBackground();

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_IMAGES_H_
