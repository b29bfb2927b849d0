// The machine's virtual clock and the scheduler of its participant threads.
//
// Virtual time only moves when every participant thread is blocked in a wait of this clock and the
// completion thread is idle: it then jumps to the earliest of the next timer and the earliest wait deadline.
// Timers run at DISPATCH_LEVEL on the completion thread, or on a participant that is about to block, which
// runs them itself rather than hand control to the completion thread and back. When every participant waits,
// nothing is scheduled and no wait has a deadline, the machine has hung: the verifier reports the waiting calls.
//
// Predicates given to waitUntil are evaluated with the clock's lock held, by the waiting thread and by
// whichever thread changes state: they must be cheap, must not block, and must read only state that is
// changed inside update() (or atomics followed by notify()).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace w98 {

class Verifier;

using Ticks = int64_t;  // 100-ns units, like the kernel's times

// A callable the callee only calls during the call, never keeps: unlike std::function it takes no copy, so a
// lambda with a few captures costs no allocation (every event set and every wait passes one).
template <typename Signature>
class FunctionRef;
template <typename R>
class FunctionRef<R()> {
 public:
  template <typename F>
    requires(std::is_invocable_r_v<R, F&> && !std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
  FunctionRef(F&& f)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o) -> R { return (*static_cast<std::remove_reference_t<F>*>(o))(); }) {}

  R operator()() const { return call_(object_); }

 private:
  void* object_;
  R (*call_)(void*);
};

// What a wait is, for a hang report: a fixed text, or a function that writes it only when a report asks. Most
// waits end without a report, and on the hot paths (every kernel wait, every user request) building the text
// cost more than the wait itself. The function is the caller's and must outlive the wait; it runs on the
// reporting thread, so it captures what it needs of the waiting thread (its name) by reference.
class WaitText {
 public:
  WaitText(const char* text) : text_(text) {}
  WaitText(std::string_view text) : text_(text) {}
  WaitText(const std::string& text) : text_(text) {}
  template <typename Describe>
    requires(std::is_invocable_r_v<std::string, const Describe&> && !std::is_convertible_v<const Describe&, std::string_view>)
  WaitText(const Describe& describe)
      : describe_(&describe), write_([](const void* d) -> std::string { return (*static_cast<const Describe*>(d))(); }) {}

  std::string str() const { return write_ != nullptr ? write_(describe_) : std::string(text_); }

 private:
  std::string_view text_;
  const void* describe_ = nullptr;
  std::string (*write_)(const void*) = nullptr;
};

class Clock {
 public:
  static constexpr Ticks kMicrosecond = 10;
  static constexpr Ticks kMillisecond = 10'000;
  static constexpr Ticks kSecond = 10'000'000;

  using TimerId = uint64_t;

  explicit Clock(Verifier& verifier);
  ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  Ticks now() const;

  // Runs `fn` on the completion thread at DISPATCH_LEVEL once virtual time reaches `due` (at once when `due`
  // is not in the future). Timers with the same due time run in the order they were scheduled.
  TimerId schedule(Ticks due, std::function<void()> fn);
  TimerId scheduleAfter(Ticks delay, std::function<void()> fn) { return schedule(now() + delay, std::move(fn)); }
  // True when the timer was removed before it started running.
  bool cancel(TimerId id);
  size_t pendingTimers() const;

  // Blocks the calling participant until `pred` holds (true) or virtual time reaches `deadline` (false).
  // `what` names the wait in a hang report. Also returns false when the machine hung and the verifier is
  // set to record rather than abort.
  bool waitUntil(FunctionRef<bool()> pred, WaitText what, std::optional<Ticks> deadline = {});
  // Lets `delay` of virtual time pass for the calling participant.
  void sleepFor(Ticks delay, WaitText what = "sleep");
  // Changes state that predicates read: runs `change` under the clock's lock, then wakes the waiters whose
  // predicate now holds. `change` must not call back into the clock.
  void update(FunctionRef<void()> change);
  // Re-evaluates the waiters' predicates after state they read changed outside update() (atomics).
  void notify();

  // The calling thread becomes a participant for the scope's lifetime. Prefer Kernel::spawn, which counts
  // the new thread before it starts, so that time cannot move in between.
  class Participant {
   public:
    explicit Participant(Clock& clock);
    ~Participant();
    Participant(const Participant&) = delete;
    Participant& operator=(const Participant&) = delete;

   private:
    Clock& clock_;
    bool registered_;
  };
  bool isParticipant() const;  // the calling thread
  // The calling thread runs this clock's timers: the completion thread, or a participant that runs them while
  // it waits.
  bool onCompletionThread() const;

  // For Kernel::spawn: counts a participant now; the new thread adopts the count with adoptParticipant().
  void addParticipant();
  void adoptParticipant();
  void removeParticipant();

  // Descriptions of the calls currently waiting (for reports).
  std::vector<std::string> waitingCalls() const;

  // Stops the completion thread; timers still scheduled are dropped. Called by the kernel at teardown.
  void stop();

 private:
  struct Waiter {
    std::condition_variable cv;
    const FunctionRef<bool()>* pred = nullptr;
    std::optional<Ticks> deadline;
    WaitText what = "";
    bool runnable = false;
    bool hung = false;
  };
  struct Timer {
    TimerId id;
    std::function<void()> fn;
  };

  void wakeSatisfiedLocked();
  // Moves time on when every participant waits. The timers that become due go to the completion thread,
  // unless the caller runs them itself.
  void maybeAdvanceLocked(bool callerRunsTimers = false);
  // A participant that is about to block runs the due timers itself, in order and one at a time as the
  // completion thread would, until its own wait is satisfied: no hand-off to the completion thread and back
  // (two context switches per timer, most of the host's time for pending transfers). Windows runs DPCs on
  // whichever thread the processor was running, too.
  void runTimersWhileWaitingLocked(std::unique_lock<std::mutex>& lock, Waiter& w);
  // Runs the front ready timer at DISPATCH_LEVEL with the lock released.
  void runFrontTimerLocked(std::unique_lock<std::mutex>& lock);
  void completionLoop();
  void wake(Waiter& w);

  Verifier& verifier_;
  const uint64_t id_;
  mutable std::mutex mutex_;
  Ticks now_ = 0;
  int participants_ = 0;
  int blocked_ = 0;
  std::list<Waiter*> waiters_;
  uint64_t nextTimer_ = 1;
  std::map<std::pair<Ticks, TimerId>, std::function<void()>> timers_;
  std::unordered_map<TimerId, Ticks> timerDue_;
  std::deque<Timer> ready_;
  TimerId runningTimer_ = 0;
  bool completionBusy_ = false;
  bool stopping_ = false;
  bool reportingHang_ = false;
  std::condition_variable completionCv_;
  std::thread completionThread_;
  std::thread::id completionThreadId_;
};

}  // namespace w98
