// Loading, composing and painting the window's pictures with GDI.
#include "app/winshell/pictures.h"

#include <cstring>
#include <vector>

#include "app/winshell/wide_text.h"

namespace winshell {
namespace {

// A 24-bit top-down DIB section of width x height; *bits gets its pixels.
HBITMAP NewCanvas(int width, int height, void** bits) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

// A memory device context with bitmap selected, undone on destruction.
class Canvas {
 public:
  explicit Canvas(HBITMAP bitmap)
      : dc_(CreateCompatibleDC(nullptr)), old_(SelectObject(dc_, bitmap)) {}
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  HDC dc() const { return dc_; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

std::uint32_t Read32(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

}  // namespace

HFONT CreateGadgetFont() {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(layout::kFontPoints, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, Wide(layout::kFontFamily).c_str());
}

HICON IconFromIco(std::span<const std::uint8_t> ico, int size) {
  // ICONDIR (6 bytes), then 16-byte entries: ..., bytes at 8, offset at 12.
  constexpr std::size_t kDirectory = 6, kEntry = 16;
  if (ico.size() < kDirectory + kEntry || ico[2] != 1 || ico[4] == 0) return nullptr;
  const std::uint32_t length = Read32(ico, kDirectory + 8);
  const std::uint32_t offset = Read32(ico, kDirectory + 12);
  if (offset > ico.size() || length > ico.size() - offset) return nullptr;
  // CreateIconFromResourceEx wants a writable-looking pointer; it only reads.
  auto* image = const_cast<std::uint8_t*>(ico.data() + offset);
  return CreateIconFromResourceEx(image, length, TRUE, 0x00030000, size, size, LR_DEFAULTCOLOR);
}

HBITMAP BitmapFromBmp(std::span<const std::uint8_t> bmp) {
  constexpr std::size_t kFileHeader = 14;
  if (bmp.size() < kFileHeader + sizeof(BITMAPINFOHEADER) || bmp[0] != 'B' || bmp[1] != 'M')
    return nullptr;
  BITMAPINFOHEADER header;
  std::memcpy(&header, bmp.data() + kFileHeader, sizeof header);
  const std::uint32_t offset = Read32(bmp, 10);
  if (header.biBitCount != 24 || header.biCompression != BI_RGB || header.biHeight <= 0)
    return nullptr;
  const int width = header.biWidth, height = header.biHeight;
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  if (offset > bmp.size() || stride * height > bmp.size() - offset) return nullptr;
  void* bits = nullptr;
  HBITMAP bitmap = NewCanvas(width, height, &bits);
  if (bitmap == nullptr) return nullptr;
  // The file is bottom-up, the canvas top-down; rows have the same stride.
  for (int row = 0; row < height; ++row) {
    std::memcpy(static_cast<std::uint8_t*>(bits) + stride * row,
                bmp.data() + offset + stride * (height - 1 - row), stride);
  }
  return bitmap;
}

HBITMAP ComposeButtonImage(layout::Picture picture, HFONT font) {
  const bool encrypt = picture == layout::Picture::kEncrypt;
  const int size = encrypt ? layout::kEncryptIconSize : layout::kDecryptIconSize;
  HICON icon = IconFromIco(encrypt ? EncryptIco() : DecryptIco(), size);
  void* bits = nullptr;
  HBITMAP image = NewCanvas(layout::kButtonImageWidth, layout::kButtonImageHeight, &bits);
  if (image == nullptr || icon == nullptr) {
    if (icon != nullptr) DestroyIcon(icon);
    if (image != nullptr) DeleteObject(image);
    return nullptr;
  }
  {
    Canvas canvas(image);
    RECT all{0, 0, layout::kButtonImageWidth, layout::kButtonImageHeight};
    FillRect(canvas.dc(), &all, GetSysColorBrush(COLOR_BTNFACE));
    if (encrypt) {
      DrawIconEx(canvas.dc(), layout::kEncryptIconX, layout::kEncryptIconY, icon, size, size, 0,
                 nullptr, DI_NORMAL);
    } else {
      DrawIconEx(canvas.dc(), layout::kDecryptIconX, layout::kDecryptIconY, icon, size, size, 0,
                 nullptr, DI_NORMAL);
    }
    const HGDIOBJ oldFont = SelectObject(canvas.dc(), font);
    SetBkMode(canvas.dc(), TRANSPARENT);
    SetTextColor(canvas.dc(), GetSysColor(COLOR_BTNTEXT));
    const std::wstring caption = Wide(encrypt ? layout::kEncryptCaption : layout::kDecryptCaption);
    TextOutW(canvas.dc(), layout::kImageCaptionX, layout::kImageCaptionY, caption.c_str(),
             static_cast<int>(caption.size()));
    SelectObject(canvas.dc(), oldFont);
  }
  DestroyIcon(icon);
  return image;
}

HBITMAP PaintMeter(HBITMAP background, int characters) {
  void* bits = nullptr;
  HBITMAP canvas = NewCanvas(layout::kMeterWidth, layout::kMeterHeight, &bits);
  if (canvas == nullptr) return nullptr;
  Canvas target(canvas);
  {
    // Always from the clean background, never over an older bar.
    Canvas source(background);
    BitBlt(target.dc(), 0, 0, layout::kMeterWidth, layout::kMeterHeight, source.dc(), 0, 0,
           SRCCOPY);
  }
  const RECT bar{layout::kMeterBarX, layout::kMeterBarY,
                 layout::kMeterBarX + layout::MeterBarWidth(characters),
                 layout::kMeterBarY + layout::kMeterBarHeight};
  HBRUSH orange =
      CreateSolidBrush(RGB(layout::kMeterBarRed, layout::kMeterBarGreen, layout::kMeterBarBlue));
  FillRect(target.dc(), &bar, orange);  // width 0 paints nothing
  DeleteObject(orange);
  return canvas;
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  GetObjectW(bitmap, sizeof info, &info);
  return {info.bmWidth, info.bmHeight};
}

COLORREF PixelOf(HBITMAP bitmap, int x, int y) {
  const SIZE size = BitmapSize(bitmap);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = size.cx;
  info.bmiHeader.biHeight = -size.cy;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size.cx) * size.cy);
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, bitmap, 0, size.cy, pixels.data(), &info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  const std::uint32_t bgr = pixels[static_cast<std::size_t>(y) * size.cx + x];
  return RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF);
}

}  // namespace winshell
