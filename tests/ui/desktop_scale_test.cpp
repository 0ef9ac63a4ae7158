#include "desktop_scale.h"

#include <gtest/gtest.h>

namespace {

TEST(DesktopScale, FollowsXftDpiInQuarterSteps) {
  EXPECT_EQ(desktopScale(nullptr), 1.0);
  EXPECT_EQ(desktopScale("96"), 1.0);
  EXPECT_EQ(desktopScale("192"), 2.0);
  EXPECT_EQ(desktopScale("144"), 1.5);
  EXPECT_EQ(desktopScale("120"), 1.25);
  EXPECT_EQ(desktopScale("110"), 1.25);  // 1.146
  EXPECT_EQ(desktopScale("96.5"), 1.0);
  EXPECT_EQ(desktopScale("288"), 3.0);
}

TEST(DesktopScale, NonsenseAndExtremesStayUsable) {
  EXPECT_EQ(desktopScale(""), 1.0);
  EXPECT_EQ(desktopScale("large"), 1.0);
  EXPECT_EQ(desktopScale("-192"), 1.0);
  EXPECT_EQ(desktopScale("nan"), 1.0);
  EXPECT_EQ(desktopScale("72"), 1.0);  // never smaller than the layout was drawn for
  EXPECT_EQ(desktopScale("10000"), 4.0);
}

}  // namespace
