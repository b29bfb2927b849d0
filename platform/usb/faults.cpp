#include "faults.h"

namespace w98 {

const char* toString(FaultAction action) {
  switch (action) {
    case FaultAction::Stall: return "stall";
    case FaultAction::Error: return "error";
    case FaultAction::Slow: return "slow";
    case FaultAction::Hang: return "hang";
  }
  return "?";
}

int FaultInjector::add(FaultRule rule) {
  std::lock_guard lock(mutex_);
  int id = nextId_++;
  if (rule.count != 0) rules_.push_back({id, rule});
  return id;
}

bool FaultInjector::remove(int id) {
  std::lock_guard lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->id == id) {
      rules_.erase(it);
      return true;
    }
  }
  return false;
}

void FaultInjector::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

size_t FaultInjector::active() const {
  std::lock_guard lock(mutex_);
  return rules_.size();
}

bool FaultInjector::matches(const FaultMatch& m, const FaultQuery& q) {
  if (m.requestIndex && *m.requestIndex != q.index) return false;
  if (m.urbFunction && *m.urbFunction != q.urbFunction) return false;
  const bool wantsSetup = m.bmRequestType || m.bRequest || m.wValue || m.wIndex;
  if (wantsSetup) {
    if (!q.setup) return false;
    if (m.bmRequestType && *m.bmRequestType != q.setup->bmRequestType) return false;
    if (m.bRequest && *m.bRequest != q.setup->bRequest) return false;
    if (m.wValue && *m.wValue != q.setup->wValue) return false;
    if (m.wIndex && *m.wIndex != q.setup->wIndex) return false;
  }
  if (m.endpoint && (!q.endpoint || *m.endpoint != *q.endpoint)) return false;
  return true;
}

std::optional<FaultRule> FaultInjector::take(const FaultQuery& query) {
  std::lock_guard lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (!matches(it->rule.match, query)) continue;
    FaultRule rule = it->rule;
    if (it->rule.count > 0 && --it->rule.count == 0) rules_.erase(it);
    return rule;
  }
  return std::nullopt;
}

int FaultInjector::failNext(int64_t n, FaultAction action, int32_t usbdStatus) {
  FaultRule rule;
  rule.action = action;
  rule.usbdStatus = usbdStatus;
  rule.count = n;
  return add(rule);
}

int FaultInjector::failIndex(uint64_t index, FaultAction action) {
  FaultRule rule;
  rule.match.requestIndex = index;
  rule.action = action;
  return add(rule);
}

}  // namespace w98
