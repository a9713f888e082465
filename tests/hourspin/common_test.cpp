// What both hourspin programs share: the sweep of the bars, centring the
// window and reading the main window's handle.

#include <cstdint>

#include <gtest/gtest.h>

#include "hourspin/common.h"

namespace hourspin {
namespace {

TEST(HourspinAnimation, SweepsRightThenLeftShowingEachEndOnTwoFrames) {
  EXPECT_EQ(BarsX(0), -20);
  EXPECT_EQ(BarsX(200), 180);
  EXPECT_EQ(BarsX(201), 180);
  EXPECT_EQ(BarsX(401), -20);
  EXPECT_EQ(BarsX(402), -20);  // the next cycle begins where the last ended

  // One pixel a frame, except where a sweep's last frame and the next
  // sweep's first show the same end.
  for (std::int64_t frame = 1; frame <= 2 * kFramesPerCycle; ++frame) {
    const std::int64_t f = frame % kFramesPerCycle;
    const int expected = (f == 0 || f == 201) ? 0 : (f < 201 ? 1 : -1);
    ASSERT_EQ(BarsX(frame) - BarsX(frame - 1), expected) << frame;
  }
}

TEST(HourspinPlacement, CentresOnScreenRoundingHalvesTowardZero) {
  EXPECT_EQ(CentredCorner(1024, 768, 210, 40), (Corner{407, 364}));
  EXPECT_EQ(CentredCorner(1025, 769, 210, 40), (Corner{407, 364}));
  EXPECT_EQ(CentredCorner(1280, 1024, 216, 68), (Corner{532, 478}));
  // Wider than the screen: -5.5 becomes -5, not -6.
  EXPECT_EQ(CentredCorner(200, 30, 211, 41), (Corner{-5, -5}));
}

TEST(HourspinHandle, ReadsLeadingDecimalNumber) {
  EXPECT_EQ(ParseWindowHandle("2097158"), 2097158u);
  EXPECT_EQ(ParseWindowHandle("  42"), 42u);
  EXPECT_EQ(ParseWindowHandle("+7"), 7u);
  EXPECT_EQ(ParseWindowHandle("123abc"), 123u);
  EXPECT_EQ(ParseWindowHandle("18446744073709551615"), UINT64_MAX);
}

TEST(HourspinHandle, MissingNonNumericNegativeOrOverlongMeansNoWindow) {
  for (const char* text : {static_cast<const char*>(nullptr), "", "abc", " ", "-", "-5", "-0", "0",
                           "18446744073709551616", "99999999999999999999999"}) {
    EXPECT_EQ(ParseWindowHandle(text), 0u) << (text ? text : "(none)");
  }
}

}  // namespace
}  // namespace hourspin
