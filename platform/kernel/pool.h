// Pool memory: ExAllocatePoolWithTag and friends. Every block keeps its tag and pool type; the pool can
// report what is still allocated per tag, check for leaks, and fail allocations on purpose (the N-th
// allocation, every allocation of a tag, a seeded fraction) for low-resource tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace w98 {

class Verifier;

enum class PoolKind { NonPaged, Paged };

struct PoolBlock {
  const void* address;
  size_t size;
  uint32_t tag;
  PoolKind kind;
  uint64_t serial;  // 1 for the first allocation attempt of the pool, counting failed ones
};

class Pool {
 public:
  explicit Pool(Verifier& verifier);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // nullptr when a fault is injected (or size is absurd). New blocks are filled with a non-zero pattern.
  void* allocate(PoolKind kind, size_t size, uint32_t tag);
  // Reports a double free or an unknown block to the verifier (and leaves memory alone); with a tag given,
  // a block of another tag is reported too.
  void free(void* p, std::optional<uint32_t> tag = {});
  bool owns(const void* p) const;
  std::optional<PoolBlock> block(const void* p) const;

  std::vector<PoolBlock> outstanding(std::optional<uint32_t> tag = {}) const;
  size_t outstandingBytes(std::optional<uint32_t> tag = {}) const;
  // One line per tag: "'Ddk ' 0x206B6444: 2 blocks, 1040 bytes".
  std::string report() const;
  // True when nothing (of `tag`) is allocated; otherwise reports PoolLeak to the verifier with `context`.
  bool checkLeaks(std::string_view context, std::optional<uint32_t> tag = {});

  // Allocation attempts made so far (including failed ones); for campaigns that count, then fail each in turn.
  uint64_t allocationCount() const;
  uint64_t failuresInjected() const;

  // Fault injection. failNth(n): the n-th attempt from now fails (1 = the next one).
  void failNth(uint64_t n);
  void failTag(uint32_t tag, bool fail = true);
  void failFraction(double fraction, uint32_t seed);
  void clearFaults();

  static std::string tagText(uint32_t tag);  // 0x206B6444 -> "Ddk "

 private:
  struct Info {
    size_t size;
    uint32_t tag;
    PoolKind kind;
    uint64_t serial;
  };
  Verifier& verifier_;
  mutable std::mutex mutex_;
  std::map<const void*, Info> blocks_;
  // Recently freed addresses (address -> tag and the serial of that free), to tell double frees from unknown
  // blocks; the oldest frees are forgotten first (freeOrder_, with the serial, since malloc reuses addresses).
  struct Freed {
    uint32_t tag;
    uint64_t serial;
  };
  std::map<const void*, Freed> freed_;
  std::deque<std::pair<const void*, uint64_t>> freeOrder_;
  uint64_t frees_ = 0;
  uint64_t attempts_ = 0;
  uint64_t failures_ = 0;
  std::optional<uint64_t> failAt_;
  std::vector<uint32_t> failTags_;
  double fraction_ = 0.0;
  std::mt19937 rng_;
};

}  // namespace w98
