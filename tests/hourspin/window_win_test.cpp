// hourspin.exe as the main program sees it: started with a caption in
// "titel" and the decimal handle of a window made here. Needs a display
// (under Wine, scripts/wine-run provides one). Every wait is bounded; every
// process started here is ended when its test ends.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hourspin/common.h"

namespace hourspin {
namespace {

constexpr wchar_t kCaption[] = L"Datei wird Verschl\u00fcsselt";

// Takes what is pending for this thread's windows for about `ms`, so that
// nothing sent to them waits on this test.
void Pump(DWORD ms) {
  const ULONGLONG until = ::GetTickCount64() + ms;
  do {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    ::Sleep(10);
  } while (::GetTickCount64() < until);
}

// A hidden top-level window standing in for the main program's, and its
// handle as the main program writes it.
HWND MainWindowStandIn() {
  return ::CreateWindowExW(0, L"STATIC", L"main", WS_OVERLAPPED, 0, 0, 50, 50, nullptr, nullptr,
                           nullptr, nullptr);
}
std::string Decimal(HWND window) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(window));
}

// A running hourspin.exe; ended on destruction if it still runs.
class Indicator {
 public:
  // Starts the program, found from this test program's folder, with
  // `caption` in "titel" (null: unset) and `parameter` after its name.
  Indicator(const wchar_t* caption, const std::string& parameter) {
    wchar_t self[MAX_PATH];
    std::wstring program(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    program.resize(program.find_last_of(L'\\') + 1);
    for (const char* c = HOURSPIN_PROGRAM_FROM_TESTS; *c != '\0'; ++c) {
      program.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    }
    std::wstring line = L"\"" + program + L"\" " + std::wstring(parameter.begin(), parameter.end());
    // The child inherits "titel" from here, as from the main program.
    ::SetEnvironmentVariableW(L"titel", caption);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process_) != 0;
    ::SetEnvironmentVariableW(L"titel", nullptr);
  }
  ~Indicator() {
    if (!started_) return;
    if (!ExitCode(0)) ::TerminateProcess(process_.hProcess, 1);
    ::WaitForSingleObject(process_.hProcess, 5000);
    ::CloseHandle(process_.hProcess);
    ::CloseHandle(process_.hThread);
  }
  Indicator(const Indicator&) = delete;
  Indicator& operator=(const Indicator&) = delete;

  bool started() const { return started_; }

  // The exit code once the program has ended within `ms`, else nothing.
  std::optional<DWORD> ExitCode(DWORD ms) {
    const ULONGLONG until = ::GetTickCount64() + ms;
    while (::WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) {
      if (::GetTickCount64() >= until) return std::nullopt;
      Pump(20);
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

  // Its visible top-level window, once it has one (waits up to 10 s).
  HWND Window() {
    Search search{process_.dwProcessId, nullptr};
    for (int i = 0; i < 500 && search.found == nullptr; ++i) {
      ::EnumWindows(OfProcess, reinterpret_cast<LPARAM>(&search));
      if (search.found == nullptr) Pump(20);
    }
    return search.found;
  }

 private:
  struct Search {
    DWORD pid;
    HWND found;
  };
  static BOOL CALLBACK OfProcess(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid || !::IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
  }

  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

std::wstring CaptionOf(HWND window) {
  wchar_t text[256];
  return std::wstring(text, ::GetWindowTextW(window, text, 256));
}

// The 200 x 30 picture that `image` shows, top row first, as 0xRRGGBB. It
// is read from the screen: the control's bitmap belongs to the other process.
std::vector<std::uint32_t> ShownPicture(HWND image) {
  RECT placed{};
  ::GetWindowRect(image, &placed);
  HDC screen = ::GetDC(nullptr);
  HDC context = ::CreateCompatibleDC(screen);
  HBITMAP copy = ::CreateCompatibleBitmap(screen, kStripWidth, kStripHeight);
  const HGDIOBJ before = ::SelectObject(context, copy);
  ::BitBlt(context, 0, 0, kStripWidth, kStripHeight, screen, placed.left, placed.top, SRCCOPY);
  ::SelectObject(context, before);
  BITMAPINFO format{};
  format.bmiHeader = {
      sizeof(BITMAPINFOHEADER), kStripWidth, -kStripHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<std::uint32_t> pixels(kStripWidth * kStripHeight);
  if (::GetDIBits(context, copy, 0, kStripHeight, pixels.data(), &format, DIB_RGB_COLORS) == 0) {
    pixels.clear();
  }
  ::DeleteObject(copy);
  ::DeleteDC(context);
  ::ReleaseDC(nullptr, screen);
  for (auto& pixel : pixels) pixel &= 0xffffff;
  return pixels;
}

// The mean column of the blue pixels in a picture; nothing without any.
std::optional<double> BarsCentre(const std::vector<std::uint32_t>& picture) {
  double sum = 0, count = 0;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    const int r = picture[i] >> 16 & 0xff, g = picture[i] >> 8 & 0xff, b = picture[i] & 0xff;
    if (b > r + 40 && b > g + 40) {
      sum += static_cast<double>(i % kStripWidth);
      ++count;
    }
  }
  if (count == 0) return std::nullopt;
  return sum / count;
}

TEST(HourspinWindow, CentredTopmostFramedStripWithMovingBarsThatTheCloseBoxLeavesOpen) {
  const HWND main = MainWindowStandIn();
  Indicator indicator(kCaption, Decimal(main));
  ASSERT_TRUE(indicator.started());
  const HWND window = indicator.Window();
  ASSERT_NE(window, nullptr);

  EXPECT_EQ(CaptionOf(window), kCaption);
  RECT client, outer;
  ASSERT_TRUE(::GetClientRect(window, &client) && ::GetWindowRect(window, &outer));
  EXPECT_EQ(client.right, kClientWidth);
  EXPECT_EQ(client.bottom, kClientHeight);
  const LONG style = ::GetWindowLongW(window, GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  EXPECT_TRUE(::GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
  const Corner centred =
      CentredCorner(::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN),
                    outer.right - outer.left, outer.bottom - outer.top);
  EXPECT_EQ(outer.left, centred.left);
  EXPECT_EQ(outer.top, centred.top);

  // The image control sits 5 pixels in, 200 x 30, and shows the strip's
  // white field and light-red frame, whose top and bottom lines the bars'
  // transparent edges leave whole, and the blue bars, which move.
  const HWND image = ::FindWindowExW(window, nullptr, L"Static", nullptr);
  ASSERT_NE(image, nullptr);
  RECT placed;
  ASSERT_TRUE(::GetWindowRect(image, &placed));
  ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_EQ(placed.left, kSurfaceLeft);
  EXPECT_EQ(placed.top, kSurfaceTop);
  EXPECT_EQ(placed.right - placed.left, kStripWidth);
  EXPECT_EQ(placed.bottom - placed.top, kStripHeight);
  Pump(300);
  const auto first = ShownPicture(image);
  ASSERT_EQ(first.size(), static_cast<std::size_t>(kStripWidth * kStripHeight));
  for (int x = 0; x < kStripWidth; ++x) {
    EXPECT_EQ(first[x], 0xfa8c8cu) << x;
    EXPECT_EQ(first[kStripWidth * (kStripHeight - 1) + x], 0xfa8c8cu) << x;
  }
  EXPECT_GT(std::count(first.begin(), first.end(), 0xffffffu), 1000);
  const auto from = BarsCentre(first);
  ASSERT_TRUE(from) << "no bars shown";
  Pump(200);
  const auto to = BarsCentre(ShownPicture(image));
  ASSERT_TRUE(to) << "no bars shown";
  EXPECT_NE(*from, *to) << "the bars stand still";

  // The close box and a close request are taken and dropped.
  ASSERT_TRUE(::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0));
  ASSERT_TRUE(::PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_FALSE(indicator.ExitCode(500));
  EXPECT_TRUE(::IsWindowVisible(window));
}

TEST(HourspinWindow, EndsWithZeroAtTheFirstMessageAfterTheMainWindowIsGone) {
  const HWND main = MainWindowStandIn();
  Indicator indicator(nullptr, Decimal(main));
  const HWND window = indicator.Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(CaptionOf(window), L"") << "no titel, no caption";
  EXPECT_FALSE(indicator.ExitCode(300)) << "ended while the main window lives";

  ::DestroyWindow(main);
  ::PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));
  EXPECT_EQ(indicator.ExitCode(5000), 0u);
}

TEST(HourspinWindow, EndsByItselfWithoutAUsableParameter) {
  for (const char* parameter : {"", "abc", "-1"}) {
    Indicator indicator(kCaption, parameter);
    ASSERT_TRUE(indicator.started());
    EXPECT_EQ(indicator.ExitCode(5000), 0u) << "parameter \"" << parameter << "\"";
  }
}

}  // namespace
}  // namespace hourspin
