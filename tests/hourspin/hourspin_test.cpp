// The pieces of the Qt hourspin that need no window: its compiled-in
// pictures, the icon decoder, the painting of a frame, placement and reading
// the caption.

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "hourspin/hourspin.h"

namespace hourspin {
namespace {

constexpr QRgb kLightRed = qRgb(250, 140, 140);
constexpr QRgb kWhite = qRgb(255, 255, 255);

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

// Whether (x, y) of the bars picture lies on one of the three bars.
bool OnBar(int x, int y) {
  if (y < 3 || y >= 27) return false;
  for (int left : {4, 16, 28}) {
    if (x >= left && x < left + 9) return true;
  }
  return false;
}

TEST(HourspinPictures, StripIsA24BitBmpWithWhiteFieldInsideTwoPixelFrame) {
  const auto bmp = StripBmp();
  ASSERT_EQ(bmp.size(), 18054u);
  EXPECT_EQ(std::memcmp(bmp.data(), "BM", 2), 0);
  EXPECT_EQ(Le32(bmp, 2), 18054u);  // file size
  EXPECT_EQ(Le32(bmp, 10), 54u);    // pixels follow the 54-byte header
  EXPECT_EQ(Le32(bmp, 14), 40u);
  EXPECT_EQ(static_cast<std::int32_t>(Le32(bmp, 22)), 30);  // positive: bottom-up
  EXPECT_EQ(Le16(bmp, 28), 24u);
  EXPECT_EQ(Le32(bmp, 30), 0u);  // uncompressed

  const QImage strip = DecodeStrip(bmp);
  ASSERT_EQ(strip.size(), QSize(200, 30));
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 200; ++x) {
      const bool frame = x < 2 || y < 2 || x >= 198 || y >= 28;
      ASSERT_EQ(strip.pixel(x, y), frame ? kLightRed : kWhite) << x << "," << y;
    }
  }
}

TEST(HourspinPictures, BarsIconHoldsThreeOpaqueBlueBarsOnTransparentGround) {
  const auto ico = BarsIco();
  ASSERT_EQ(ico.size(), 22u + 5680u);
  EXPECT_EQ(Le16(ico, 2), 1u);  // an icon, not a cursor
  EXPECT_EQ(Le16(ico, 4), 1u);  // one image
  EXPECT_EQ(ico[6], 45);
  EXPECT_EQ(ico[7], 30);
  EXPECT_EQ(Le16(ico, 12), 32u);
  EXPECT_EQ(Le32(ico, 14), 5680u);
  EXPECT_EQ(Le32(ico, 18), 22u);

  const QImage bars = DecodeIcon(ico);
  ASSERT_EQ(bars.size(), QSize(45, 30));
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 45; ++x) {
      const QRgb p = bars.pixel(x, y);
      if (OnBar(x, y)) {
        ASSERT_EQ(qAlpha(p), 255) << x << "," << y;
        ASSERT_GT(qBlue(p), qRed(p)) << x << "," << y;
        ASSERT_GT(qBlue(p), qGreen(p)) << x << "," << y;
      } else {
        ASSERT_EQ(qAlpha(p), 0) << x << "," << y;
      }
    }
  }
}

TEST(HourspinIcon, TakesTransparencyFromMaskWhenAlphaIsEmpty) {
  std::vector<std::uint8_t> ico(BarsIco().begin(), BarsIco().end());
  const std::size_t colour = 22 + 40;
  for (std::size_t i = 0; i < 45 * 30; ++i) ico[colour + 4 * i + 3] = 0;

  const QImage bars = DecodeIcon(ico);
  ASSERT_EQ(bars.size(), QSize(45, 30));
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 45; ++x) {
      ASSERT_EQ(qAlpha(bars.pixel(x, y)), OnBar(x, y) ? 255 : 0) << x << "," << y;
    }
  }
}

TEST(HourspinIcon, RefusesDamagedIconsWithoutReadingPastThem) {
  const std::vector<std::uint8_t> good(BarsIco().begin(), BarsIco().end());
  // Every cut short of the colour pixels' end: the mask alone may be missing.
  for (std::size_t length = 0; length < 22 + 40 + 45 * 30 * 4; ++length) {
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + length);
    ASSERT_TRUE(DecodeIcon(cut).isNull()) << length;
  }

  auto patched = [&](std::size_t at, std::uint32_t value, int width) {
    std::vector<std::uint8_t> bytes = good;
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return DecodeIcon(bytes);
  };
  EXPECT_TRUE(patched(2, 2, 2).isNull()) << "a cursor file";
  EXPECT_TRUE(patched(4, 0, 2).isNull()) << "no images";
  EXPECT_TRUE(patched(18, 0xFFFFFFF0u, 4).isNull()) << "image offset past the end";
  EXPECT_TRUE(patched(14, 0xFFFFFFFFu, 4).isNull()) << "image size past the end";
  EXPECT_TRUE(patched(22 + 4, 0, 4).isNull()) << "zero width";
  EXPECT_TRUE(patched(22 + 4, 0x80000000u, 4).isNull()) << "negative width";
  EXPECT_TRUE(patched(22 + 4, 4000, 4).isNull()) << "width beyond the image's bytes";
  EXPECT_TRUE(patched(22 + 8, 61, 4).isNull()) << "odd row count";
  EXPECT_TRUE(patched(22 + 14, 24, 2).isNull()) << "24-bit colour";
  EXPECT_TRUE(patched(22 + 16, 3, 4).isNull()) << "compressed";
  EXPECT_TRUE(DecodeStrip(good).isNull()) << "an icon is no strip";
}

TEST(HourspinAnimation, FrameShowsStripWithBarsClippedAtEitherEdge) {
  const QImage strip = DecodeStrip(StripBmp());
  const QImage bars = DecodeIcon(BarsIco());
  QImage surface = strip.copy();
  // The same surface is reused, as in the program: nothing of an earlier
  // frame may show through.
  for (int x : {-20, 77, 180, -3, 0}) {
    DrawFrame(surface, strip, bars, x);
    int bar_pixels = 0;
    for (int y = 0; y < 30; ++y) {
      for (int sx = 0; sx < 200; ++sx) {
        const bool bar = sx - x >= 0 && sx - x < 45 && OnBar(sx - x, y);
        const QRgb expected = bar ? bars.pixel(sx - x, y) : strip.pixel(sx, y);
        ASSERT_EQ(surface.pixel(sx, y), expected | 0xff000000u) << x << ": " << sx << "," << y;
        bar_pixels += bar;
      }
    }
    // At the ends one bar shows whole and the middle one cut: 5 columns of
    // it at the left edge (x -4 to 4), 4 at the right (196 to 204).
    if (x == -20) {
      EXPECT_EQ(bar_pixels, (9 + 5) * 24);
    } else if (x == 180) {
      EXPECT_EQ(bar_pixels, (9 + 4) * 24);
    }
  }
}

TEST(HourspinPlacement, CentresOnTheScreenItIsGiven) {
  // The arithmetic is CentredCorner's; the screen's own corner is added.
  EXPECT_EQ(CentredOrigin(QRect(0, 0, 1024, 768), QSize(210, 40)), QPoint(407, 364));
  EXPECT_EQ(CentredOrigin(QRect(1920, 0, 1280, 1024), QSize(216, 68)), QPoint(1920 + 532, 478));
  EXPECT_EQ(CentredOrigin(QRect(-300, 50, 200, 30), QSize(211, 41)), QPoint(-305, 45));
}

TEST(HourspinCaption, ReadsUtf8AndFallsBackToLatin1) {
  EXPECT_TRUE(CaptionFromEnvironment(nullptr).isEmpty());
  EXPECT_EQ(CaptionFromEnvironment("Datei wird Verschl\xc3\xbcsselt"),
            QString::fromUtf8("Datei wird Verschl\xc3\xbcsselt"));
  EXPECT_EQ(CaptionFromEnvironment("Ordner wird Entschl\xfcsselt"),
            QString::fromUtf8("Ordner wird Entschl\xc3\xbcsselt"));
}

}  // namespace
}  // namespace hourspin
