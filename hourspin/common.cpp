// The window-system-free pieces that both hourspin programs use.

#include "hourspin/common.h"

#include <limits>

namespace hourspin {

int BarsX(std::int64_t frame) {
  constexpr int kSweep = kFramesPerCycle / 2;  // 201 frames each way
  const int step = static_cast<int>(frame % kFramesPerCycle);
  return step < kSweep ? step - 20 : 180 - (step - kSweep);
}

Corner CentredCorner(int screen_width, int screen_height, int outer_width, int outer_height) {
  // Integer division truncates toward zero, as the placement requires.
  return Corner{(screen_width - outer_width) / 2, (screen_height - outer_height) / 2};
}

std::uint64_t ParseWindowHandle(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  std::uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    // Wrapping around could land on some unrelated live window.
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  // Window ids are never negative here; a sign means the text is not one.
  return negative ? 0 : value;
}

}  // namespace hourspin
