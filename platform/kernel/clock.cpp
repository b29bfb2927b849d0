#include "kernel/clock.h"

#include <algorithm>
#include <atomic>
#include <sstream>

#include "kernel/irql.h"
#include "kernel/verifier.h"

namespace w98 {

namespace {
// Which clock the thread takes part in, by the clock's serial number (a new clock may reuse an old one's
// address, so a pointer would not do).
thread_local uint64_t tParticipantOf = 0;
// Which clock's timers the thread is running while it waits (Clock::runTimersWhileWaitingLocked).
thread_local uint64_t tRunningTimersOf = 0;
std::atomic<uint64_t> gNextClockId{1};
constexpr uint8_t kDispatchLevel = 2;
}  // namespace

Clock::Clock(Verifier& verifier) : verifier_(verifier), id_(gNextClockId++) {
  completionThread_ = std::thread([this] { completionLoop(); });
  std::unique_lock lock(mutex_);
  completionCv_.wait(lock, [this] { return completionThreadId_ != std::thread::id(); });
}

Clock::~Clock() { stop(); }

void Clock::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      if (!completionThread_.joinable()) return;
    }
    stopping_ = true;
    timers_.clear();
    timerDue_.clear();
    ready_.clear();
  }
  completionCv_.notify_all();
  if (completionThread_.joinable() && std::this_thread::get_id() != completionThreadId_) completionThread_.join();
}

Ticks Clock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

Clock::TimerId Clock::schedule(Ticks due, std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  TimerId id = nextTimer_++;
  if (stopping_) return id;
  if (due <= now_) {
    ready_.push_back({id, std::move(fn)});
    completionCv_.notify_all();
  } else {
    timers_.emplace(std::make_pair(due, id), std::move(fn));
    timerDue_[id] = due;
  }
  return id;
}

bool Clock::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  auto it = timerDue_.find(id);
  if (it != timerDue_.end()) {
    timers_.erase({it->second, id});
    timerDue_.erase(it);
    return true;
  }
  auto r = std::find_if(ready_.begin(), ready_.end(), [id](const Timer& t) { return t.id == id; });
  if (r != ready_.end()) {
    ready_.erase(r);
    maybeAdvanceLocked();
    return true;
  }
  return false;
}

size_t Clock::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size() + ready_.size() + (completionBusy_ ? 1 : 0);
}

bool Clock::isParticipant() const { return tParticipantOf == id_; }

bool Clock::onCompletionThread() const {
  return std::this_thread::get_id() == completionThreadId_ || tRunningTimersOf == id_;
}

void Clock::addParticipant() {
  std::lock_guard lock(mutex_);
  ++participants_;
}

void Clock::adoptParticipant() { tParticipantOf = id_; }

void Clock::removeParticipant() {
  std::lock_guard lock(mutex_);
  if (tParticipantOf == id_) tParticipantOf = 0;
  --participants_;
  maybeAdvanceLocked();
}

Clock::Participant::Participant(Clock& clock) : clock_(clock), registered_(!clock.isParticipant()) {
  if (registered_) {
    clock_.addParticipant();
    clock_.adoptParticipant();
  }
}

Clock::Participant::~Participant() {
  if (registered_) clock_.removeParticipant();
}

void Clock::wake(Waiter& w) {
  if (w.runnable) return;
  w.runnable = true;
  --blocked_;
  w.cv.notify_one();
}

void Clock::wakeSatisfiedLocked() {
  for (Waiter* w : waiters_) {
    if (w->runnable) continue;
    if ((w->deadline && now_ >= *w->deadline) || (*w->pred)()) wake(*w);
  }
}

void Clock::maybeAdvanceLocked(bool callerRunsTimers) {
  if (stopping_ || reportingHang_) return;
  while (blocked_ >= participants_ && participants_ > 0 && !completionBusy_ && ready_.empty()) {
    // Everyone waits: first make sure no predicate already holds (state may have changed without notify).
    bool woke = false;
    for (Waiter* w : waiters_) {
      if (!w->runnable && (*w->pred)()) {
        wake(*w);
        woke = true;
      }
    }
    if (woke) return;
    std::optional<Ticks> next;
    if (!timers_.empty()) next = timers_.begin()->first.first;
    for (Waiter* w : waiters_) {
      if (!w->runnable && w->deadline && (!next || *w->deadline < *next)) next = *w->deadline;
    }
    if (!next) {
      std::ostringstream report;
      report << "the machine hung at virtual time " << now_ << " (100 ns): every participant waits and nothing "
             << "is scheduled. Waiting calls:";
      for (Waiter* w : waiters_) report << "\n  - " << w->what.str();
      reportingHang_ = true;
      std::string text = report.str();
      // The verifier aborts by default; when it records instead, the waits fail so the test can go on.
      mutex_.unlock();
      verifier_.report(Fault::Hang, text);
      mutex_.lock();
      reportingHang_ = false;
      for (Waiter* w : waiters_) {
        if (!w->runnable) {
          w->hung = true;
          wake(*w);
        }
      }
      return;
    }
    if (*next > now_) now_ = *next;
    while (!timers_.empty() && timers_.begin()->first.first <= now_) {
      auto node = timers_.extract(timers_.begin());
      timerDue_.erase(node.key().second);
      ready_.push_back({node.key().second, std::move(node.mapped())});
    }
    if (!ready_.empty() && !callerRunsTimers) completionCv_.notify_all();
    for (Waiter* w : waiters_) {
      if (!w->runnable && w->deadline && now_ >= *w->deadline) wake(*w);
    }
  }
}

bool Clock::waitUntil(FunctionRef<bool()> pred, WaitText what, std::optional<Ticks> deadline) {
  std::unique_lock lock(mutex_);
  if (tParticipantOf != id_ || tRunningTimersOf == id_) {
    bool completion = onCompletionThread();
    lock.unlock();
    verifier_.report(Fault::BadCall, "a wait (" + what.str() + ") " +
                                         (completion ? "on the completion thread, which must never block"
                                                     : "on a thread that is not a participant of the machine's clock"));
    lock.lock();
    if (completion) return false;  // blocking here would stop every timer
  }
  for (;;) {
    if (pred()) return true;
    if (deadline && now_ >= *deadline) return false;
    if (stopping_) return false;
    Waiter w;
    w.pred = &pred;
    w.deadline = deadline;
    w.what = what;
    waiters_.push_back(&w);
    ++blocked_;
    runTimersWhileWaitingLocked(lock, w);
    while (!w.runnable) w.cv.wait(lock);
    waiters_.remove(&w);
    if (w.hung) return false;
  }
}

void Clock::runTimersWhileWaitingLocked(std::unique_lock<std::mutex>& lock, Waiter& w) {
  maybeAdvanceLocked(/*callerRunsTimers=*/true);
  while (!w.runnable && !stopping_ && !completionBusy_ && !ready_.empty()) {
    runFrontTimerLocked(lock);
    maybeAdvanceLocked(/*callerRunsTimers=*/true);
  }
  // What this thread leaves (it is runnable again, or another timer is running) goes to the completion thread.
  if (!ready_.empty()) completionCv_.notify_all();
}

void Clock::runFrontTimerLocked(std::unique_lock<std::mutex>& lock) {
  Timer t = std::move(ready_.front());
  ready_.pop_front();
  completionBusy_ = true;
  runningTimer_ = t.id;
  const bool onThisThreadWhileWaiting = std::this_thread::get_id() != completionThreadId_;
  lock.unlock();
  const uint8_t before = currentIrql();
  if (onThisThreadWhileWaiting) tRunningTimersOf = id_;
  setIrql(kDispatchLevel);
  // A timer that throws ends the program wherever it runs, as it did on the completion thread: a waiting
  // thread's caller must not catch it and go on with the clock stuck busy.
  [&t]() noexcept { t.fn(); }();
  uint8_t after = currentIrql();
  if (after != kDispatchLevel) {
    verifier_.report(Fault::IrqlNotRestored, "a timer callback returned at IRQL " + std::to_string(after) +
                                                 " instead of DISPATCH_LEVEL");
  }
  setIrql(before);
  if (onThisThreadWhileWaiting) tRunningTimersOf = 0;
  t.fn = nullptr;  // captured state goes before the clock may advance
  lock.lock();
  completionBusy_ = false;
  runningTimer_ = 0;
  wakeSatisfiedLocked();
}

void Clock::sleepFor(Ticks delay, WaitText what) {
  Ticks deadline = now() + delay;
  waitUntil([] { return false; }, what, deadline);
}

void Clock::update(FunctionRef<void()> change) {
  std::lock_guard lock(mutex_);
  change();
  wakeSatisfiedLocked();
}

void Clock::notify() {
  std::lock_guard lock(mutex_);
  wakeSatisfiedLocked();
}

std::vector<std::string> Clock::waitingCalls() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const Waiter* w : waiters_) {
    if (!w->runnable) out.push_back(w->what.str());
  }
  return out;
}

void Clock::completionLoop() {
  std::unique_lock lock(mutex_);
  completionThreadId_ = std::this_thread::get_id();
  completionCv_.notify_all();
  setIrql(kDispatchLevel);
  for (;;) {
    // A waiting participant may be running a timer itself (runTimersWhileWaitingLocked): one at a time.
    completionCv_.wait(lock, [this] { return stopping_ || (!ready_.empty() && !completionBusy_); });
    if (stopping_) break;
    runFrontTimerLocked(lock);
    maybeAdvanceLocked();
  }
}

}  // namespace w98
