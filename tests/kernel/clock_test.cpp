// The virtual clock: timers, waits with deadlines, participants, hang detection.
#include <atomic>
#include <vector>

#include "kernel/irql.h"
#include "kernel_fixture.h"

namespace w98::test {
namespace {

using ClockTest = KernelTest;

TEST_F(ClockTest, TimersRunInDueOrderAtTheirTimeOnTheCompletionThreadAtDispatchLevel) {
  Clock& clock = kernel->clock();
  std::vector<std::pair<int, Ticks>> ran;
  std::vector<uint8_t> irqls;
  bool onCompletion = true;
  // Clock::now() takes the clock's lock, so the callbacks read the time before update().
  auto record2 = [&](int id) {
    return [&, id] {
      Ticks t = clock.now();
      uint8_t irql = currentIrql();
      bool completion = clock.onCompletionThread();
      clock.update([&] {
        ran.emplace_back(id, t);
        irqls.push_back(irql);
        onCompletion = onCompletion && completion;
      });
    };
  };
  clock.schedule(3 * Clock::kMillisecond, record2(3));
  clock.schedule(1 * Clock::kMillisecond, record2(1));
  clock.schedule(3 * Clock::kMillisecond, record2(4));  // same due time: after 3
  clock.schedule(2 * Clock::kMillisecond, record2(2));
  ASSERT_TRUE(clock.waitUntil([&] { return ran.size() == 4; }, "timers"));
  ASSERT_EQ(ran.size(), 4u);
  EXPECT_EQ(ran[0], std::make_pair(1, 1 * Clock::kMillisecond));
  EXPECT_EQ(ran[1], std::make_pair(2, 2 * Clock::kMillisecond));
  EXPECT_EQ(ran[2], std::make_pair(3, 3 * Clock::kMillisecond));
  EXPECT_EQ(ran[3], std::make_pair(4, 3 * Clock::kMillisecond));
  for (uint8_t irql : irqls) EXPECT_EQ(irql, DISPATCH_LEVEL);
  EXPECT_TRUE(onCompletion);
  EXPECT_EQ(clock.now(), 3 * Clock::kMillisecond);
}

TEST_F(ClockTest, CancelledTimerNeverRunsAndTimeStopsAtTheDeadline) {
  Clock& clock = kernel->clock();
  std::atomic<bool> ran{false};
  auto id = clock.schedule(5 * Clock::kSecond, [&] { ran = true; });
  EXPECT_TRUE(clock.cancel(id));
  EXPECT_FALSE(clock.cancel(id));
  EXPECT_FALSE(clock.waitUntil([] { return false; }, "nothing", 2 * Clock::kSecond));
  EXPECT_EQ(clock.now(), 2 * Clock::kSecond);
  EXPECT_FALSE(ran);
  EXPECT_EQ(clock.pendingTimers(), 0u);
}

TEST_F(ClockTest, TimeDoesNotMoveWhileAParticipantRuns) {
  Clock& clock = kernel->clock();
  std::atomic<bool> fired{false};
  clock.schedule(Clock::kSecond, [&] { fired = true; });
  bool workerDone = false;
  std::atomic<bool> sawTimeMove{false};
  // The worker keeps running (it never blocks) while the main thread waits: the clock must not jump.
  auto worker = kernel->spawn(
      [&] {
        for (int i = 0; i < 20000; ++i) {
          if (clock.now() != 0 || fired) sawTimeMove = true;
          if (i % 64 == 0) std::this_thread::yield();
        }
        clock.update([&] { workerDone = true; });
      },
      "busy worker");
  EXPECT_TRUE(clock.waitUntil([&] { return workerDone; }, "worker"));
  EXPECT_FALSE(sawTimeMove);
  EXPECT_EQ(clock.now(), 0);
  worker.join();
  clock.sleepFor(2 * Clock::kSecond);
  EXPECT_TRUE(fired);
  EXPECT_EQ(clock.now(), 2 * Clock::kSecond);
}

TEST_F(ClockTest, SpawnedThreadsSleepInVirtualTimeAndJoin) {
  Clock& clock = kernel->clock();
  std::vector<int> order;
  auto a = kernel->spawn([&] {
    clock.sleepFor(30 * Clock::kMillisecond);
    clock.update([&] { order.push_back(30); });
  });
  auto b = kernel->spawn([&] {
    clock.sleepFor(10 * Clock::kMillisecond);
    clock.update([&] { order.push_back(10); });
  });
  a.join();
  b.join();
  EXPECT_EQ(order, (std::vector<int>{10, 30}));
  EXPECT_EQ(clock.now(), 30 * Clock::kMillisecond);
}

TEST_F(ClockTest, UpdateWakesAWaiterOnAnotherThread) {
  Clock& clock = kernel->clock();
  int value = 0;
  auto t = kernel->spawn([&] { clock.waitUntil([&] { return value == 7; }, "value 7"); });
  clock.sleepFor(Clock::kMillisecond);  // lets the spawned thread block first
  clock.update([&] { value = 7; });
  t.join();
  EXPECT_TRUE(t.finished());
  EXPECT_EQ(clock.now(), Clock::kMillisecond);
}

TEST_F(ClockTest, HangIsReportedWithTheWaitingCalls) {
  recordFaults();
  Clock& clock = kernel->clock();
  // A kernel wait describes itself only when the report is written, on whichever thread writes it: the text
  // still names the waiting thread and the event.
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  auto waiter = kernel->spawn([&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
                              "the event's waiter");
  clock.sleepFor(Clock::kMillisecond);  // the waiter blocks first, so that this thread writes the report
  EXPECT_FALSE(clock.waitUntil([] { return false; }, "the answer that never comes"));
  waiter.join();
  ASSERT_GE(faults(Fault::Hang), 1u);
  const std::string report = kernel->verifier().recorded().front().message;
  EXPECT_NE(report.find("the answer that never comes"), std::string::npos) << report;
  EXPECT_NE(report.find("Plug and Play manager (idle)"), std::string::npos) << report;
  EXPECT_NE(report.find("KeWaitForSingleObject(event 0x"), std::string::npos) << report;
  EXPECT_NE(report.find("Executive, no time-out) on the event's waiter"), std::string::npos) << report;
}

TEST(ClockDeathTest, HangAbortsByDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        kernel.clock().waitUntil([] { return false; }, "a reply from nowhere");
      },
      "HANG.*a reply from nowhere");
}

TEST(ClockDeathTest, WaitFromANonParticipantIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        std::thread t([&] { kernel.clock().waitUntil([] { return true; }, "stranger"); });
        t.join();
      },
      "BAD_CALL.*not a participant");
}

}  // namespace
}  // namespace w98::test

namespace w98::test {
namespace {

TEST_F(ClockTest, AWaitOnTheCompletionThreadIsRefused) {
  recordFaults();
  Clock& clock = kernel->clock();
  bool waited = true, done = false;
  clock.schedule(0, [&] {
    bool r = clock.waitUntil([] { return false; }, "inside a timer");
    clock.update([&] {
      waited = r;
      done = true;
    });
  });
  clock.waitUntil([&] { return done; }, "timer");
  EXPECT_FALSE(waited);
  ASSERT_EQ(faults(Fault::BadCall), 1u);
  EXPECT_NE(kernel->verifier().recorded()[0].message.find("completion thread"), std::string::npos);
}

}  // namespace
}  // namespace w98::test

namespace w98::test {
namespace {

// A machine rebooted from another thread: the new kernel's clock must count this thread again even when it
// lands at the old clock's address.
TEST(ClockRebootTest, KernelDestroyedOnAnotherThreadLeavesTheNextOneWorking) {
  Registry registry;
  auto first = std::make_unique<Kernel>(registry);
  std::thread([&] { first.reset(); }).join();
  Kernel second(registry);
  EXPECT_TRUE(second.clock().isParticipant());
  bool fired = false;
  second.clock().schedule(5 * Clock::kMillisecond, [&] { second.clock().update([&] { fired = true; }); });
  second.clock().sleepFor(10 * Clock::kMillisecond);
  EXPECT_TRUE(fired);
  EXPECT_EQ(second.clock().now(), 10 * Clock::kMillisecond);
}

}  // namespace
}  // namespace w98::test
