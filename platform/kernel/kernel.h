// One emulated Windows 98 WDM kernel: clock and scheduler, pool, I/O manager, Plug and Play manager,
// user-mode I/O and verifier over the machine's registry. At most one exists at a time: the WDM functions
// of <ddk/wdm.h> act on Kernel::current(), set by the constructor and cleared by the destructor.
//
// The constructing thread becomes a participant of the clock (see clock.h); other threads that call into the
// machine are started with spawn(). The destructor stops the system threads, closes user handles that are
// still open, then checks for requests never completed, registry handles never closed and pool blocks never
// freed (reported by the verifier; see setTeardownChecks).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/clock.h"
#include "kernel/io_manager.h"
#include "kernel/pnp_manager.h"
#include "kernel/pool.h"
#include "kernel/user_io.h"
#include "kernel/verifier.h"

namespace w98 {

class Registry;

class Kernel {
 public:
  explicit Kernel(Registry& registry);
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  static Kernel* current();

  Registry& registry() { return registry_; }
  Verifier& verifier() { return verifier_; }
  Clock& clock() { return *clock_; }
  Pool& pool() { return *pool_; }
  IoManager& io() { return *io_; }
  PnpManager& pnp() { return *pnp_; }
  UserIo& user() { return *user_; }

  // A participant thread. join() waits as a participant, so virtual time can move while it waits.
  class Thread {
   public:
    Thread() = default;
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&&) noexcept;
    ~Thread();  // joins
    void join();
    bool finished() const;
    struct State;

   private:
    friend class Kernel;
    std::shared_ptr<State> state_;
    std::thread thread_;
  };
  Thread spawn(std::function<void()> fn, std::string name = "thread");

  // Which checks the destructor makes (all by default).
  struct TeardownChecks {
    bool requests = true;
    bool handles = true;
    bool pool = true;
  };
  void setTeardownChecks(TeardownChecks checks) { teardownChecks_ = checks; }

  // Registry handles (ZwClose'd by drivers); the value is the key's full path.
  void* openKeyHandle(std::string path);
  std::optional<std::string> keyPath(void* handle) const;
  bool closeKeyHandle(void* handle);
  size_t openKeyHandles() const;

  // System time (100-ns units since 1601) at virtual time 0, and now.
  static constexpr int64_t kBootSystemTime = 125'432'064'000'000'000;  // 1998-06-25 00:00 UTC
  int64_t systemTime() const { return kBootSystemTime + clock_->now(); }

  // Debug output of DbgPrint (off by default).
  void setDebugPrint(bool on) { debugPrint_ = on; }
  bool debugPrint() const { return debugPrint_; }

 private:
  Registry& registry_;
  Verifier verifier_;
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<IoManager> io_;
  std::unique_ptr<PnpManager> pnp_;
  std::unique_ptr<UserIo> user_;
  std::unique_ptr<Clock::Participant> participant_;
  TeardownChecks teardownChecks_;
  mutable std::mutex handleMutex_;
  uint64_t nextHandle_ = 0x100;
  std::map<uint64_t, std::string> keyHandles_;
  std::atomic<bool> debugPrint_{false};
};

}  // namespace w98
