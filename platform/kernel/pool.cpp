#include "kernel/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "kernel/verifier.h"

namespace w98 {

namespace {
constexpr size_t kMaxBlock = size_t{1} << 31;  // the 32-bit kernel could never hand out more
constexpr unsigned char kFreshFill = 0xA5;     // new blocks are not zeroed, as on Windows
constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kFreedMemory = 4096;  // freed addresses remembered to recognise double frees

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}
std::string addressText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}
}  // namespace

Pool::Pool(Verifier& verifier) : verifier_(verifier) {}

Pool::~Pool() {
  for (auto& [p, info] : blocks_) std::free(const_cast<void*>(p));
}

std::string Pool::tagText(uint32_t tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return s;
}

void* Pool::allocate(PoolKind kind, size_t size, uint32_t tag) {
  std::lock_guard lock(mutex_);
  uint64_t serial = ++attempts_;
  bool fail = size > kMaxBlock;
  if (failAt_ && *failAt_ == serial) {
    fail = true;
    failAt_.reset();
  }
  if (std::find(failTags_.begin(), failTags_.end(), tag) != failTags_.end()) fail = true;
  if (fraction_ > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < fraction_) fail = true;
  if (fail) {
    ++failures_;
    return nullptr;
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  std::memset(p, kFreshFill, size);
  blocks_[p] = Info{size, tag, kind, serial};
  freed_.erase(p);
  return p;
}

void Pool::free(void* p, std::optional<uint32_t> tag) {
  std::unique_lock lock(mutex_);
  auto it = blocks_.find(p);
  if (it == blocks_.end()) {
    bool doubleFree = freed_.count(p) != 0;
    std::string tagNote = doubleFree ? " (it had tag '" + tagText(freed_[p].tag) + "')" : "";
    lock.unlock();
    if (p == nullptr) {
      verifier_.report(Fault::PoolUnknownBlock, "ExFreePool(NULL)");
    } else if (doubleFree) {
      verifier_.report(Fault::PoolDoubleFree, "pool block " + addressText(p) + " freed twice" + tagNote);
    } else {
      verifier_.report(Fault::PoolUnknownBlock, "ExFreePool of " + addressText(p) +
                                                    ", which the pool never handed out");
    }
    return;
  }
  if (tag && *tag != it->second.tag) {
    uint32_t actual = it->second.tag;
    lock.unlock();
    verifier_.report(Fault::PoolUnknownBlock, "pool block " + addressText(p) + " of tag '" + tagText(actual) +
                                                  "' freed with tag '" + tagText(*tag) + "'");
    lock.lock();
    it = blocks_.find(p);
    if (it == blocks_.end()) return;
  }
  std::memset(p, kFreedFill, it->second.size);
  freed_[p] = Freed{it->second.tag, ++frees_};
  freeOrder_.emplace_back(p, frees_);
  while (freeOrder_.size() > kFreedMemory) {
    const auto [oldest, serial] = freeOrder_.front();
    freeOrder_.pop_front();
    // The address may have been handed out and freed again since: then its later free stays remembered.
    if (auto f = freed_.find(oldest); f != freed_.end() && f->second.serial == serial) freed_.erase(f);
  }
  blocks_.erase(it);
  std::free(p);
}

bool Pool::owns(const void* p) const {
  std::lock_guard lock(mutex_);
  return blocks_.count(p) != 0;
}

std::optional<PoolBlock> Pool::block(const void* p) const {
  std::lock_guard lock(mutex_);
  auto it = blocks_.find(p);
  if (it == blocks_.end()) return std::nullopt;
  return PoolBlock{p, it->second.size, it->second.tag, it->second.kind, it->second.serial};
}

std::vector<PoolBlock> Pool::outstanding(std::optional<uint32_t> tag) const {
  std::lock_guard lock(mutex_);
  std::vector<PoolBlock> out;
  for (const auto& [p, info] : blocks_) {
    if (!tag || *tag == info.tag) out.push_back({p, info.size, info.tag, info.kind, info.serial});
  }
  std::sort(out.begin(), out.end(), [](const PoolBlock& a, const PoolBlock& b) { return a.serial < b.serial; });
  return out;
}

size_t Pool::outstandingBytes(std::optional<uint32_t> tag) const {
  size_t n = 0;
  for (const auto& b : outstanding(tag)) n += b.size;
  return n;
}

std::string Pool::report() const {
  std::map<uint32_t, std::pair<size_t, size_t>> perTag;
  for (const auto& b : outstanding()) {
    auto& e = perTag[b.tag];
    e.first += 1;
    e.second += b.size;
  }
  std::ostringstream out;
  for (const auto& [tag, e] : perTag) {
    out << "'" << tagText(tag) << "' " << hex32(tag) << ": " << e.first << (e.first == 1 ? " block, " : " blocks, ")
        << e.second << " bytes\n";
  }
  return out.str();
}

bool Pool::checkLeaks(std::string_view context, std::optional<uint32_t> tag) {
  auto blocks = outstanding(tag);
  if (blocks.empty()) return true;
  std::ostringstream out;
  out << blocks.size() << " pool block(s) still allocated " << context << ":";
  for (const auto& b : blocks) {
    out << "\n  - '" << tagText(b.tag) << "' " << b.size << " bytes, "
        << (b.kind == PoolKind::Paged ? "paged" : "non-paged") << ", allocation #" << b.serial;
  }
  verifier_.report(Fault::PoolLeak, out.str());
  return false;
}

uint64_t Pool::allocationCount() const {
  std::lock_guard lock(mutex_);
  return attempts_;
}

uint64_t Pool::failuresInjected() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

void Pool::failNth(uint64_t n) {
  std::lock_guard lock(mutex_);
  if (n == 0) {
    failAt_.reset();
  } else {
    failAt_ = attempts_ + n;
  }
}

void Pool::failTag(uint32_t tag, bool fail) {
  std::lock_guard lock(mutex_);
  failTags_.erase(std::remove(failTags_.begin(), failTags_.end(), tag), failTags_.end());
  if (fail) failTags_.push_back(tag);
}

void Pool::failFraction(double fraction, uint32_t seed) {
  std::lock_guard lock(mutex_);
  fraction_ = std::clamp(fraction, 0.0, 1.0);
  rng_.seed(seed);
}

void Pool::clearFaults() {
  std::lock_guard lock(mutex_);
  failAt_.reset();
  failTags_.clear();
  fraction_ = 0.0;
}

}  // namespace w98
