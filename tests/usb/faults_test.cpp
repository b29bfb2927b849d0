#include "usb/faults.h"

#include <gtest/gtest.h>

using namespace w98;

namespace {
FaultQuery control(uint64_t index, uint16_t function, uint8_t type, uint8_t request, uint16_t value = 0) {
  FaultQuery q;
  q.index = index;
  q.urbFunction = function;
  q.setup = SetupPacket{type, request, value, 0, 0};
  return q;
}
FaultQuery bulk(uint64_t index, uint8_t endpoint) {
  FaultQuery q;
  q.index = index;
  q.urbFunction = 0x0009;
  q.endpoint = endpoint;
  return q;
}
}  // namespace

TEST(FaultInjector, ByIndexHitsOnlyThatRequest) {
  FaultInjector f;
  f.failIndex(3, FaultAction::Stall);
  EXPECT_FALSE(f.take(bulk(2, 0x01)));
  auto hit = f.take(bulk(3, 0x01));
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->action, FaultAction::Stall);
  EXPECT_FALSE(f.take(bulk(3, 0x01)));  // used up
  EXPECT_EQ(f.active(), 0u);
}

TEST(FaultInjector, SetupMatchNeedsEveryGivenField) {
  FaultInjector f;
  FaultRule rule;
  rule.match.bmRequestType = 0xC0;
  rule.match.bRequest = 3;
  rule.action = FaultAction::Error;
  rule.usbdStatus = int32_t(0xC0000004);
  rule.count = -1;
  f.add(rule);
  EXPECT_FALSE(f.take(control(0, 0x17, 0x40, 3)));  // type differs
  EXPECT_FALSE(f.take(control(1, 0x17, 0xC0, 4)));  // request differs
  EXPECT_FALSE(f.take(bulk(2, 0x81)));              // no setup packet at all
  for (uint64_t i = 3; i < 6; ++i) {
    auto hit = f.take(control(i, 0x17, 0xC0, 3, 1));
    ASSERT_TRUE(hit) << i;
    EXPECT_EQ(hit->usbdStatus, int32_t(0xC0000004));
  }
  EXPECT_EQ(f.active(), 1u);  // count -1 never runs out
}

TEST(FaultInjector, NextNAndFunctionAndEndpointMatches) {
  FaultInjector f;
  f.failNext(2, FaultAction::Hang);
  EXPECT_EQ(f.take(bulk(0, 0x01))->action, FaultAction::Hang);
  EXPECT_EQ(f.take(control(1, 0x0b, 0x80, 6))->action, FaultAction::Hang);
  EXPECT_FALSE(f.take(bulk(2, 0x01)));

  FaultRule byFunction;
  byFunction.match.urbFunction = 0x001f;
  byFunction.action = FaultAction::Slow;
  byFunction.extraDelay = 50'000;
  int id = f.add(byFunction);
  FaultRule byEndpoint;
  byEndpoint.match.endpoint = 0x81;
  f.add(byEndpoint);
  EXPECT_FALSE(f.take(control(3, 0x001b, 0xA1, 1)));
  EXPECT_EQ(f.take(control(4, 0x001f, 0x23, 2))->extraDelay, 50'000);
  EXPECT_FALSE(f.take(bulk(5, 0x01)));
  EXPECT_TRUE(f.take(bulk(6, 0x81)));
  EXPECT_FALSE(f.remove(id));  // already used up and gone
  f.add(byFunction);
  f.clear();
  EXPECT_FALSE(f.take(control(7, 0x001f, 0x23, 2)));
}

TEST(FaultInjector, FirstMatchingRuleWinsAndZeroCountIsIgnored) {
  FaultInjector f;
  FaultRule none;
  none.count = 0;
  f.add(none);
  EXPECT_EQ(f.active(), 0u);
  int first = f.failNext(1, FaultAction::Stall);
  f.failNext(1, FaultAction::Error);
  EXPECT_EQ(f.take(bulk(0, 1))->action, FaultAction::Stall);
  EXPECT_EQ(f.take(bulk(1, 1))->action, FaultAction::Error);
  EXPECT_FALSE(f.remove(first));
}
