// Loading the compiled-in pictures and composing the button images.
#include "app/shell/images.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QRect>

// The resources live in the static library; nothing would pull them into the
// program without an explicit reference.
static void InitShellResources() {
  Q_INIT_RESOURCE(shell);
}

namespace shell {
namespace {

void EnsureResources() {
  static const bool done = [] {
    InitShellResources();
    return true;
  }();
  (void)done;
}

struct IconPlacement {
  const char* path;
  int x, y, size;
  const char* caption;
};

IconPlacement PlacementOf(ButtonImage which) {
  if (which == ButtonImage::kEncrypt) {
    return {":/shell/encrypt.ico", layout::kEncryptIconX, layout::kEncryptIconY,
            layout::kEncryptIconSize, layout::kEncryptCaption};
  }
  return {":/shell/decrypt.ico", layout::kDecryptIconX, layout::kDecryptIconY,
          layout::kDecryptIconSize, layout::kDecryptCaption};
}

}  // namespace

QFont DefaultFont() {
  QFont font(QString::fromLatin1(layout::kFontFamily), layout::kFontPoints, QFont::Bold);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QImage ComposeButtonImage(ButtonImage which) {
  EnsureResources();
  const IconPlacement placement = PlacementOf(which);
  const QImage icon(QString::fromLatin1(placement.path));
  if (icon.isNull()) return {};

  QImage image(kButtonImageWidth, kButtonImageHeight, QImage::Format_ARGB32_Premultiplied);
  image.fill(QApplication::palette().color(QPalette::Button));
  QPainter painter(&image);
  painter.drawImage(QRect(placement.x, placement.y, placement.size, placement.size), icon);
  painter.setFont(DefaultFont());
  painter.setPen(QApplication::palette().color(QPalette::ButtonText));
  // The caption's cell starts at (8, 45); the background shows through.
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.drawText(QRect(layout::kImageCaptionX, layout::kImageCaptionY,
                         kButtonImageWidth - layout::kImageCaptionX,
                         kButtonImageHeight - layout::kImageCaptionY),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                   QString::fromUtf8(placement.caption));
  return image;
}

QImage MeterBackground() {
  EnsureResources();
  return QImage(QStringLiteral(":/shell/meter.bmp"));
}

}  // namespace shell
