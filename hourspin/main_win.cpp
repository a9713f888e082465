// hourspin.exe <decimal handle of the main window>, caption in %titel%.
//
// The Win32 progress window: a caption bar without sizing border or
// minimise and maximise boxes, always on top, whose one image control shows
// a drawing surface onto which every frame paints the strip and then the
// bars. Every window message that a frame takes runs the liveness check:
// once the main window is gone, the program ends with exit code 0.

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hourspin/common.h"

namespace {

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr wchar_t kWindowClass[] = L"TresolinHourspin";
constexpr UINT kIconVersion = 0x00030000;

// The main window's handle as the first parameter says, read anew for each
// check. A number that does not fit a handle names no window.
HWND MainWindow(int argc, char** argv) {
  const std::uint64_t handle = hourspin::ParseWindowHandle(argc > 1 ? argv[1] : nullptr);
  if (handle > UINTPTR_MAX) return nullptr;
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
}

std::wstring CaptionFromEnvironment() {
  const DWORD needed = ::GetEnvironmentVariableW(L"titel", nullptr, 0);
  if (needed == 0) return std::wstring();
  std::wstring caption(needed, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(L"titel", caption.data(), needed);
  caption.resize(length < needed ? length : 0);
  return caption;
}

// A 24-bit DIB section holding the strip's pixels, made from the BMP file's
// bytes; null when they are not the 200 x 30 strip.
HBITMAP StripBitmap(std::span<const std::uint8_t> bmp) {
  constexpr std::size_t kFileHeader = sizeof(BITMAPFILEHEADER);
  if (bmp.size() < kFileHeader + sizeof(BITMAPINFOHEADER) || bmp[0] != 'B' || bmp[1] != 'M') {
    return nullptr;
  }
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  std::memcpy(&file, bmp.data(), sizeof file);
  std::memcpy(&info, bmp.data() + kFileHeader, sizeof info);
  if (info.biWidth != hourspin::kStripWidth || info.biHeight != hourspin::kStripHeight ||
      info.biBitCount != 24 || info.biCompression != BI_RGB) {
    return nullptr;
  }
  // Rows are padded to four bytes; 200 pixels of three bytes need none.
  const std::size_t pixels_size = static_cast<std::size_t>(hourspin::kStripWidth) * 3 *
                                  static_cast<std::size_t>(hourspin::kStripHeight);
  if (file.bfOffBits > bmp.size() || bmp.size() - file.bfOffBits < pixels_size) return nullptr;

  BITMAPINFO format{};
  format.bmiHeader = info;
  format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr) return nullptr;
  std::memcpy(bits, bmp.data() + file.bfOffBits, pixels_size);
  return bitmap;
}

// The icon file's first image as an icon at its own 45 x 30 size.
HICON BarsIcon(std::span<const std::uint8_t> ico) {
  constexpr std::size_t kEntry = 6;
  if (ico.size() < kEntry + 16) return nullptr;
  auto le32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(ico[at] | ico[at + 1] << 8 | ico[at + 2] << 16) |
           static_cast<std::uint32_t>(ico[at + 3]) << 24;
  };
  const std::uint32_t size = le32(kEntry + 8);
  const std::uint32_t offset = le32(kEntry + 12);
  if (offset > ico.size() || ico.size() - offset < size) return nullptr;
  // The call takes a writable pointer but only reads through it.
  std::vector<BYTE> image(ico.begin() + offset, ico.begin() + offset + size);
  return ::CreateIconFromResourceEx(image.data(), size, TRUE, kIconVersion, hourspin::kBarsWidth,
                                    hourspin::kBarsHeight, LR_DEFAULTCOLOR);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // The close box stays but does nothing: only the main program, by ending
  // this process, or the loss of its window ends the indicator.
  if (message == WM_CLOSE) return 0;
  return ::DefWindowProcW(window, message, wparam, lparam);
}

HWND OpenWindow(HINSTANCE instance, const std::wstring& caption) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProcedure;
  window_class.hInstance = instance;
  // IDC_ARROW, whose macro names the narrow call's form without UNICODE.
  window_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kWindowClass;
  if (::RegisterClassExW(&window_class) == 0) return nullptr;

  RECT outer{0, 0, hourspin::kClientWidth, hourspin::kClientHeight};
  ::AdjustWindowRect(&outer, kWindowStyle, FALSE);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  const hourspin::Corner corner = hourspin::CentredCorner(
      ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), width, height);
  return ::CreateWindowExW(0, kWindowClass, caption.c_str(), kWindowStyle, corner.left, corner.top,
                           width, height, nullptr, nullptr, instance, nullptr);
}

// Paints one frame onto `surface`: the strip over all of it, then the bars
// at (x, 0) with their transparency, clipped at the surface's edges. The
// surface is selected into a context only while it is painted, so that the
// image control can select it into its own to show it.
void DrawFrame(HBITMAP surface, HDC strip, HICON bars, int x) {
  HDC context = ::CreateCompatibleDC(nullptr);
  if (context == nullptr) return;
  const HGDIOBJ before = ::SelectObject(context, surface);
  ::BitBlt(context, 0, 0, hourspin::kStripWidth, hourspin::kStripHeight, strip, 0, 0, SRCCOPY);
  ::DrawIconEx(context, x, 0, bars, hourspin::kBarsWidth, hourspin::kBarsHeight, 0, nullptr,
               DI_NORMAL);
  ::SelectObject(context, before);
  ::DeleteDC(context);
}

}  // namespace

int main(int argc, char** argv) {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const HICON bars = BarsIcon(hourspin::BarsIco());
  const HBITMAP strip = StripBitmap(hourspin::StripBmp());
  const HBITMAP surface = StripBitmap(hourspin::StripBmp());
  // The strip stays selected into a context of its own as the source of
  // every frame.
  HDC strip_context = ::CreateCompatibleDC(nullptr);
  const HGDIOBJ strip_before = ::SelectObject(strip_context, strip);

  const HWND window = OpenWindow(instance, CaptionFromEnvironment());
  HWND image = nullptr;
  if (window != nullptr) {
    image = ::CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE | SS_BITMAP,
                              hourspin::kSurfaceLeft, hourspin::kSurfaceTop, hourspin::kStripWidth,
                              hourspin::kStripHeight, window, nullptr, instance, nullptr);
    if (image != nullptr) {
      ::SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(surface));
    }
    // Shown only now, complete and on top.
    ::SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  }

  auto release = [&] {
    if (window != nullptr) ::DestroyWindow(window);
    ::SelectObject(strip_context, strip_before);
    ::DeleteDC(strip_context);
    if (bars != nullptr) ::DestroyIcon(bars);
    if (strip != nullptr) ::DeleteObject(strip);
    if (surface != nullptr) ::DeleteObject(surface);
  };

  for (std::int64_t frame = 0;; frame = (frame + 1) % hourspin::kFramesPerCycle) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::DispatchMessageW(&message);
      if (!::IsWindow(MainWindow(argc, argv))) {
        release();
        return 0;
      }
    }
    ::Sleep(hourspin::kFrameSleepMs);
    if (surface == nullptr) continue;
    DrawFrame(surface, strip_context, bars, hourspin::BarsX(frame));
    if (image != nullptr) {
      ::SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(surface));
    }
  }
}
