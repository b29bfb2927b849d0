#include "kernel/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace w98 {

std::string_view faultName(Fault f) {
  switch (f) {
    case Fault::WrongIrql: return "WRONG_IRQL";
    case Fault::IrqlNotRestored: return "IRQL_NOT_RESTORED";
    case Fault::SpinLock: return "SPIN_LOCK";
    case Fault::DoubleCompletion: return "DOUBLE_COMPLETION";
    case Fault::PendingNotMarked: return "PENDING_NOT_MARKED";
    case Fault::MarkedNotPending: return "MARKED_NOT_PENDING";
    case Fault::BadCompletion: return "BAD_COMPLETION";
    case Fault::BadRequest: return "BAD_REQUEST";
    case Fault::PoolDoubleFree: return "POOL_DOUBLE_FREE";
    case Fault::PoolUnknownBlock: return "POOL_UNKNOWN_BLOCK";
    case Fault::PoolLeak: return "POOL_LEAK";
    case Fault::RequestLeak: return "REQUEST_LEAK";
    case Fault::HandleLeak: return "HANDLE_LEAK";
    case Fault::BadObject: return "BAD_OBJECT";
    case Fault::BadCall: return "BAD_CALL";
    case Fault::Hang: return "HANG";
  }
  return "UNKNOWN";
}

void Verifier::setAction(Action a) {
  std::lock_guard lock(mutex_);
  action_ = a;
}

Verifier::Action Verifier::action() const {
  std::lock_guard lock(mutex_);
  return action_;
}

void Verifier::report(Fault fault, std::string message) {
  Action action;
  {
    std::lock_guard lock(mutex_);
    action = action_;
    if (action == Action::Record) entries_.push_back({fault, message});
  }
  std::string line = "VERIFIER " + std::string(faultName(fault)) + ": " + message + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  if (action == Action::Abort) std::abort();
}

std::vector<Verifier::Entry> Verifier::recorded() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

size_t Verifier::count(Fault fault) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& e : entries_) n += e.fault == fault;
  return n;
}

size_t Verifier::total() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void Verifier::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace w98
