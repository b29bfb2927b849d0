// Pool memory: tags, leak reports, verifier checks and fault injection.
#include <algorithm>
#include <functional>
#include <vector>

#include "kernel_fixture.h"

namespace w98::test {
namespace {

constexpr ULONG kTag = 0x206B6444;    // "Ddk "
constexpr ULONG kOther = 0x74736554;  // "Test"

using PoolTest = KernelTest;

TEST_F(PoolTest, BlocksKeepTagAndKindAndAreReportedPerTag) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 20, kTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kOther);
  ASSERT_TRUE(a && b && c);
  auto blocks = kernel->pool().outstanding(kTag);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].size, 100u);
  EXPECT_EQ(blocks[0].kind, PoolKind::NonPaged);
  EXPECT_EQ(blocks[1].kind, PoolKind::Paged);
  EXPECT_EQ(kernel->pool().outstandingBytes(kTag), 120u);
  EXPECT_EQ(kernel->pool().report(), "'Ddk ' 0x206B6444: 2 blocks, 120 bytes\n'Test' 0x74736554: 1 block, 7 bytes\n");
  ExFreePool(a);
  ExFreePoolWithTag(b, kTag);
  ExFreePool(c);
  EXPECT_TRUE(kernel->pool().checkLeaks("now"));
  EXPECT_EQ(kernel->pool().report(), "");
}

TEST_F(PoolTest, NewBlocksAreNotZeroed) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
  ASSERT_NE(p, nullptr);
  bool allZero = true;
  for (int i = 0; i < 16; ++i) allZero = allZero && p[i] == 0;
  EXPECT_FALSE(allZero) << "drivers must not rely on zeroed pool";
  ExFreePool(p);
}

TEST_F(PoolTest, LeakDoubleFreeAndUnknownBlockAreReported) {
  recordFaults();
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  ExFreePool(a);
  ExFreePool(a);
  EXPECT_EQ(faults(Fault::PoolDoubleFree), 1u);
  int local = 0;
  ExFreePool(&local);
  EXPECT_EQ(faults(Fault::PoolUnknownBlock), 1u);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  ExFreePoolWithTag(b, kOther);  // wrong tag is reported, the block is still freed
  EXPECT_EQ(faults(Fault::PoolUnknownBlock), 2u);
  void* leak = ExAllocatePoolWithTag(PagedPool, 33, kTag);
  EXPECT_FALSE(kernel->pool().checkLeaks("at unload", kTag));
  ASSERT_EQ(faults(Fault::PoolLeak), 1u);
  EXPECT_NE(kernel->verifier().recorded().back().message.find("'Ddk ' 33 bytes, paged"), std::string::npos);
  ExFreePool(leak);
}

TEST_F(PoolTest, ADoubleFreeIsRecognisedAfterThousandsOfEarlierFrees) {
  recordFaults();
  // Freed from the highest address down, so that the last block freed has the lowest address of all: the
  // pool forgets the oldest frees first, whatever their addresses.
  std::vector<void*> blocks;
  for (int i = 0; i < 5000; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
  std::sort(blocks.begin(), blocks.end(), std::greater<>());
  for (void* block : blocks) ExFreePool(block);
  ExFreePool(blocks.back());
  EXPECT_EQ(faults(Fault::PoolDoubleFree), 1u);
  EXPECT_EQ(faults(Fault::PoolUnknownBlock), 0u);
}

TEST_F(PoolTest, FailNthCountsEveryAttempt) {
  uint64_t before = kernel->pool().allocationCount();
  kernel->pool().failNth(2);
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(kernel->pool().allocationCount() - before, 3u);
  EXPECT_EQ(kernel->pool().failuresInjected(), 1u);
  ExFreePool(a);
  ExFreePool(c);
}

TEST_F(PoolTest, FailTagOnlyHitsThatTag) {
  kernel->pool().failTag(kTag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
  EXPECT_NE(other, nullptr);
  ExFreePool(other);
  kernel->pool().failTag(kTag, false);
  void* again = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(again, nullptr);
  ExFreePool(again);
}

TEST_F(PoolTest, SeededFractionIsReproducible) {
  auto pattern = [&](uint32_t seed) {
    kernel->pool().failFraction(0.5, seed);
    std::string bits;
    for (int i = 0; i < 64; ++i) {
      void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
      bits += p ? '1' : '0';
      if (p) ExFreePool(p);
    }
    kernel->pool().clearFaults();
    return bits;
  };
  std::string a = pattern(42), b = pattern(42), c = pattern(43);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a.find('0'), std::string::npos);
  EXPECT_NE(a.find('1'), std::string::npos);
}

TEST_F(PoolTest, PagedAllocationAtDispatchLevelIsAWrongIrql) {
  recordFaults();
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  void* p = ExAllocatePoolWithTag(PagedPool, 8, kTag);
  void* q = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  KfLowerIrql(old);
  EXPECT_EQ(faults(Fault::WrongIrql), 1u);
  ExFreePool(p);
  ExFreePool(q);
}

TEST(PoolDeathTest, DoubleFreeAbortsByDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        ExFreePool(p);
        ExFreePool(p);
      },
      "POOL_DOUBLE_FREE");
}

TEST(PoolDeathTest, LeakAtTheEndOfTheMachineAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Registry registry;
        Kernel kernel(registry);
        ExAllocatePoolWithTag(NonPagedPool, 12, kTag);
      },
      "POOL_LEAK.*'Ddk ' 12 bytes");
}

}  // namespace
}  // namespace w98::test
