// What both hourspin programs share, the Qt one and the Win32 one: the
// window's layout, the sweep of the bars, the centring arithmetic, reading
// the main window's handle, and the two compiled-in pictures. Nothing here
// needs a window system.

#ifndef HOURSPIN_COMMON_H_
#define HOURSPIN_COMMON_H_

#include <cstdint>
#include <span>

namespace hourspin {

// Window layout: the client area frames the 200 x 30 strip with 5 pixels on
// every side.
inline constexpr int kClientWidth = 210;
inline constexpr int kClientHeight = 40;
inline constexpr int kSurfaceLeft = 5;
inline constexpr int kSurfaceTop = 5;
inline constexpr int kStripWidth = 200;
inline constexpr int kStripHeight = 30;
inline constexpr int kBarsWidth = 45;
inline constexpr int kBarsHeight = 30;

// One right sweep and one left sweep of 201 frames each.
inline constexpr int kFramesPerCycle = 402;
inline constexpr int kFrameSleepMs = 10;

// The pictures compiled into the program, as the files they were drawn as:
// a 24-bit BMP and an ICO with one 32-bit image.
std::span<const std::uint8_t> StripBmp();
std::span<const std::uint8_t> BarsIco();

// The bars' left edge on frame `frame` of the endless animation: -20 up to
// 180, then 180 back to -20, so each end shows on two frames in a row.
// Requires: frame >= 0 (it is taken modulo kFramesPerCycle).
int BarsX(std::int64_t frame);

// A window's top-left corner relative to the screen's.
struct Corner {
  int left;
  int top;
  friend bool operator==(const Corner&, const Corner&) = default;
};

// The corner that centres a window of the given outer size on a screen of
// the given size; halves are rounded toward zero, also when the window is
// the larger.
Corner CentredCorner(int screen_width, int screen_height, int outer_width, int outer_height);

// The window id that the main program passed, read the way a decimal number
// is read from text: leading blanks, an optional sign, then digits up to the
// first non-digit. Returns 0, which no window has, for a missing or
// non-numeric text, a negative number or one beyond 64 bits.
std::uint64_t ParseWindowHandle(const char* text);

}  // namespace hourspin

#endif  // HOURSPIN_COMMON_H_
