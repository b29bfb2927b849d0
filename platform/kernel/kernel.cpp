#include "kernel/kernel.h"

#include <atomic>

#include "kernel/io_internal.h"
#include "kernel/irql.h"
#include "registry/registry.h"

namespace w98 {

namespace {
std::atomic<Kernel*> gCurrent{nullptr};
}

struct Kernel::Thread::State {
  bool finished = false;
  std::string name;
  Clock* clock = nullptr;
};

Kernel* Kernel::current() { return gCurrent.load(); }

Kernel::Kernel(Registry& registry) : registry_(registry) {
  Kernel* expected = nullptr;
  if (!gCurrent.compare_exchange_strong(expected, this)) {
    verifier_.report(Fault::BadCall, "a second w98::Kernel was created while another exists");
  }
  if (threadName() == "unnamed thread") setThreadName("main");
  setIrql(PASSIVE_LEVEL);
  clock_ = std::make_unique<Clock>(verifier_);
  participant_ = std::make_unique<Clock::Participant>(*clock_);
  pool_ = std::make_unique<Pool>(verifier_);
  io_ = std::make_unique<IoManager>(*this);
  user_ = std::make_unique<UserIo>(*this);
  pnp_ = std::make_unique<PnpManager>(*this);
}

Kernel::~Kernel() {
  pnp_->shutdown();
  user_->closeAll();
  if (teardownChecks_.requests) io_->checkRequestLeaks("at the end of the machine");
  if (teardownChecks_.handles) {
    std::vector<std::string> open;
    {
      std::lock_guard lock(handleMutex_);
      for (auto& [h, path] : keyHandles_) open.push_back(path);
    }
    if (!open.empty()) {
      std::string text = std::to_string(open.size()) + " registry handle(s) never closed:";
      for (auto& p : open) text += "\n  - " + p;
      verifier_.report(Fault::HandleLeak, text);
    }
  }
  clock_->stop();
  io_->teardown();
  if (teardownChecks_.pool) pool_->checkLeaks("at the end of the machine");
  pnp_.reset();
  user_.reset();
  io_.reset();
  participant_.reset();
  pool_.reset();
  clock_.reset();
  Kernel* expected = this;
  gCurrent.compare_exchange_strong(expected, nullptr);
}

Kernel::Thread& Kernel::Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    if (thread_.joinable()) join();
    state_ = std::move(other.state_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

Kernel::Thread::~Thread() {
  if (thread_.joinable()) join();
}

void Kernel::Thread::join() {
  if (!thread_.joinable()) return;
  auto state = state_;
  if (state->clock->isParticipant()) {
    const std::string& thread = threadName();
    auto what = [&] { return "join of thread '" + state->name + "' on " + thread; };
    state->clock->waitUntil([state] { return state->finished; }, what);
  }
  thread_.join();
}

bool Kernel::Thread::finished() const {
  if (!state_) return true;
  bool done = false;
  state_->clock->update([&] { done = state_->finished; });
  return done;
}

Kernel::Thread Kernel::spawn(std::function<void()> fn, std::string name) {
  Thread t;
  t.state_ = std::make_shared<Thread::State>();
  t.state_->name = name;
  t.state_->clock = clock_.get();
  clock_->addParticipant();
  auto state = t.state_;
  Clock* clock = clock_.get();
  t.thread_ = std::thread([state, clock, fn = std::move(fn), name = std::move(name)] {
    clock->adoptParticipant();
    setThreadName(name);
    setIrql(PASSIVE_LEVEL);
    fn();
    clock->update([&] { state->finished = true; });
    clock->removeParticipant();
  });
  return t;
}

void* Kernel::openKeyHandle(std::string path) {
  std::lock_guard lock(handleMutex_);
  uint64_t h = nextHandle_;
  nextHandle_ += 4;
  keyHandles_[h] = std::move(path);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(h));
}

std::optional<std::string> Kernel::keyPath(void* handle) const {
  std::lock_guard lock(handleMutex_);
  auto it = keyHandles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == keyHandles_.end()) return std::nullopt;
  return it->second;
}

bool Kernel::closeKeyHandle(void* handle) {
  std::lock_guard lock(handleMutex_);
  return keyHandles_.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

size_t Kernel::openKeyHandles() const {
  std::lock_guard lock(handleMutex_);
  return keyHandles_.size();
}

}  // namespace w98
