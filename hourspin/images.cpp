// Decoding the two compiled-in pictures and painting a frame from them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <QPainter>

#include "hourspin/hourspin.h"

namespace hourspin {
namespace {

// Little-endian fields read with a bounds check, so that a damaged picture
// yields "no image" rather than a read past its end.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::optional<std::uint32_t> U16(std::uint64_t at) const { return Le(at, 2); }
  std::optional<std::uint32_t> U32(std::uint64_t at) const { return Le(at, 4); }
  std::optional<std::int32_t> I32(std::uint64_t at) const {
    const auto v = Le(at, 4);
    if (!v) return std::nullopt;
    return static_cast<std::int32_t>(*v);
  }
  bool Holds(std::uint64_t at, std::uint64_t length) const {
    return at <= bytes_.size() && length <= bytes_.size() - at;
  }
  const std::uint8_t* At(std::uint64_t at) const { return bytes_.data() + at; }

 private:
  std::optional<std::uint32_t> Le(std::uint64_t at, int width) const {
    if (!Holds(at, width)) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | bytes_[at + i];
    return v;
  }

  std::span<const std::uint8_t> bytes_;
};

// BMP file header: "BM", file size, two reserved words, pixel offset; then
// the 40-byte info header with the bit count at offset 14 of its own.
constexpr std::uint64_t kBmpBitCount = 14 + 14;

// ICO: 6-byte directory head (reserved, type 1, count), then 16-byte entries
// (width, height, colours, reserved, planes, bit count, size, offset).
constexpr std::uint64_t kIcoHead = 6;
constexpr std::uint64_t kIcoEntryImageSize = 8;
constexpr std::uint64_t kIcoEntryImageOffset = 12;
// The image's DIB header: size, width, height (colour and mask rows
// together, so twice the picture's), planes, bit count, compression.
constexpr std::uint64_t kDibWidth = 4, kDibHeight = 8, kDibPlanes = 12, kDibBitCount = 14,
                        kDibCompression = 16;
constexpr std::uint32_t kDibMinHeader = 40;
constexpr std::int32_t kIconMaxSide = 256;

}  // namespace

QImage DecodeStrip(std::span<const std::uint8_t> bmp) {
  const Reader in(bmp);
  if (in.U16(kBmpBitCount) != 24u) return QImage();
  QImage image = QImage::fromData(bmp.data(), static_cast<int>(bmp.size()), "BMP");
  if (image.size() != QSize(kStripWidth, kStripHeight)) return QImage();
  return image.convertToFormat(QImage::Format_RGB32);
}

QImage DecodeIcon(std::span<const std::uint8_t> ico) {
  const Reader in(ico);
  if (in.U16(0) != 0u || in.U16(2) != 1u) return QImage();
  const auto count = in.U16(4);
  if (!count || *count == 0) return QImage();
  const auto size = in.U32(kIcoHead + kIcoEntryImageSize);
  const auto offset = in.U32(kIcoHead + kIcoEntryImageOffset);
  if (!size || !offset || !in.Holds(*offset, *size)) return QImage();
  const Reader dib(ico.subspan(*offset, *size));

  const auto header = dib.U32(0);
  const auto width = dib.I32(kDibWidth);
  const auto rows = dib.I32(kDibHeight);
  if (!header || *header < kDibMinHeader || !width || !rows) return QImage();
  if (dib.U16(kDibPlanes) != 1u || dib.U16(kDibBitCount) != 32u || dib.U32(kDibCompression) != 0u) {
    return QImage();
  }
  const int w = *width;
  const int h = *rows / 2;
  if (w < 1 || w > kIconMaxSide || h < 1 || h > kIconMaxSide || *rows != 2 * h) return QImage();

  const std::uint64_t colour_at = *header;
  const std::uint64_t colour_row = static_cast<std::uint64_t>(w) * 4;
  const std::uint64_t mask_at = colour_at + colour_row * h;
  const std::uint64_t mask_row = (static_cast<std::uint64_t>(w) + 31) / 32 * 4;
  if (!dib.Holds(colour_at, colour_row * h)) return QImage();

  QImage image(w, h, QImage::Format_ARGB32);
  bool any_alpha = false;
  for (int y = 0; y < h; ++y) {
    // DIB rows run bottom-up.
    const std::uint8_t* src = dib.At(colour_at + colour_row * (h - 1 - y));
    auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < w; ++x, src += 4) {
      dst[x] = qRgba(src[2], src[1], src[0], src[3]);
      any_alpha = any_alpha || src[3] != 0;
    }
  }
  if (any_alpha) return image;

  // An icon without alpha: the mask says what is transparent (bit set).
  if (!dib.Holds(mask_at, mask_row * h)) return QImage();
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* bits = dib.At(mask_at + mask_row * (h - 1 - y));
    auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < w; ++x) {
      const bool transparent = (bits[x / 8] >> (7 - x % 8)) & 1;
      dst[x] = transparent ? qRgba(0, 0, 0, 0) : (dst[x] | 0xff000000u);
    }
  }
  return image;
}

void DrawFrame(QImage& surface, const QImage& strip, const QImage& bars, int x) {
  // One painter per frame; it clips whatever of the bars falls outside.
  QPainter painter(&surface);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.drawImage(0, 0, strip);
  painter.drawImage(x, 0, bars);
}

QPoint CentredOrigin(const QRect& screen, const QSize& outer) {
  const Corner corner =
      CentredCorner(screen.width(), screen.height(), outer.width(), outer.height());
  return QPoint(screen.x() + corner.left, screen.y() + corner.top);
}

}  // namespace hourspin
