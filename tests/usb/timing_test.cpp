#include "usb/timing.h"

#include <gtest/gtest.h>

using namespace w98;

TEST(UsbTiming, BulkFramesFollowPacketsPerFrame) {
  using namespace usb_timing;
  EXPECT_EQ(bulkFrames(0), 1u);           // a zero-length packet still takes a frame
  EXPECT_EQ(bulkFrames(1), 1u);
  EXPECT_EQ(bulkFrames(64 * 19), 1u);     // 1216 bytes: 19 packets, one frame
  EXPECT_EQ(bulkFrames(64 * 19 + 1), 2u); // the 20th packet spills into the next frame
  EXPECT_EQ(bulkFrames(1024), 1u);        // 16 packets
  EXPECT_EQ(bulkFrames(4096), 4u);        // 64 packets -> ceil(64/19) = 4
  EXPECT_EQ(bulkPackets(65), 2u);
  EXPECT_EQ(bulkDuration(4096), 4 * kFrame);
  EXPECT_EQ(kFrame, 10'000);              // 1 ms in 100-ns units
  EXPECT_DOUBLE_EQ(kBulkLimitBytesPerSecond, 1'216'000.0);
}

TEST(UsbTiming, StatisticsStateTheFractionOfTheBulkLimit) {
  BusStatistics s;
  EXPECT_EQ(s.bulkLimitFraction(0), 0.0);
  s.bulkBytesOut = 1'216'000 / 2;
  s.bulkBytesIn = 1'216'000 / 4;
  s.controlFrames = 3;
  s.bulkFrames = 7;
  EXPECT_EQ(s.frames(), 10u);
  EXPECT_EQ(s.bulkBytes(), 912'000u);
  EXPECT_DOUBLE_EQ(s.bulkLimitFraction(10'000'000), 0.75);  // over one second
  EXPECT_DOUBLE_EQ(s.bulkLimitFraction(20'000'000), 0.375);
}
