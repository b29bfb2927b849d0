// Kernel core calls: IRQL, spin locks, events and waits, time; helpers shared by the kernel's sources.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "kernel/io_internal.h"
#include "kernel/irql.h"

namespace w98 {

namespace {
thread_local uint8_t tIrql = 0;
thread_local std::string tThreadName;

// Which thread holds which spin lock, for the verifier's checks.
std::mutex gLockOwnersMutex;
std::map<const void*, std::thread::id> gLockOwners;
}  // namespace

uint8_t currentIrql() { return tIrql; }
void setIrql(uint8_t irql) { tIrql = irql; }

const std::string& threadName() {
  static const std::string unnamed = "unnamed thread";
  return tThreadName.empty() ? unnamed : tThreadName;
}
void setThreadName(std::string name) { tThreadName = std::move(name); }

Kernel& K() {
  Kernel* k = Kernel::current();
  if (k == nullptr) {
    std::fputs("VERIFIER BAD_CALL: a kernel function was called while no w98::Kernel exists\n", stderr);
    std::abort();
  }
  return *k;
}

void requireIrql(const char* call, KIRQL maximum) {
  KIRQL irql = currentIrql();
  if (irql > maximum) {
    K().verifier().report(Fault::WrongIrql, std::string(call) + " called at IRQL " + std::to_string(irql) +
                                                " (allowed up to " + std::to_string(maximum) + ") on " +
                                                threadName());
  }
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string narrow(const WCHAR* text, size_t units) {
  std::string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    auto c = static_cast<uint32_t>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += '?';
    }
  }
  return out;
}

std::string narrow(const UNICODE_STRING* s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return narrow(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string pointerText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::string statusText(NTSTATUS s) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
  return buf;
}

namespace {

// A wait deadline from a kernel time-out: negative = relative, positive = absolute system time.
std::optional<Ticks> deadlineFor(Kernel& k, const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return std::nullopt;
  Ticks now = k.clock().now();
  if (timeout->QuadPart < 0) return now - timeout->QuadPart;
  Ticks at = timeout->QuadPart - Kernel::kBootSystemTime;
  return at < now ? now : at;
}

std::string timeoutText(const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return "no time-out";
  if (timeout->QuadPart < 0) return "relative time-out " + std::to_string(-timeout->QuadPart) + " (100 ns)";
  return "absolute time-out " + std::to_string(timeout->QuadPart);
}

const char* waitReasonName(KWAIT_REASON reason) {
  switch (reason) {
    case Executive: return "Executive";
    case Suspended: return "Suspended";
    case UserRequest: return "UserRequest";
    case DelayExecution: return "DelayExecution";
    default: return "other reason";
  }
}

}  // namespace

}  // namespace w98

using namespace w98;

extern "C" {

// ------------------------------------------------------------------------------------------ IRQL

KIRQL KeGetCurrentIrql(VOID) { return currentIrql(); }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = currentIrql();
  if (NewIrql < old) {
    K().verifier().report(Fault::WrongIrql, "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher IRQL " +
                                                std::to_string(old));
  }
  setIrql(NewIrql);
  return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  KIRQL old = currentIrql();
  if (NewIrql > old) {
    K().verifier().report(Fault::WrongIrql, "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower IRQL " +
                                                std::to_string(old));
  }
  setIrql(NewIrql);
}

// ------------------------------------------------------------------------------------------ spin locks

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

namespace {

void acquireLock(PKSPIN_LOCK lock, const char* call) {
  {
    std::lock_guard guard(gLockOwnersMutex);
    auto it = gLockOwners.find(lock);
    if (it != gLockOwners.end() && it->second == std::this_thread::get_id()) {
      K().verifier().report(Fault::SpinLock, std::string(call) + ": spin lock " + pointerText(lock) +
                                                 " acquired again by the thread that holds it (deadlock)");
      return;
    }
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, ULONG_PTR{1}, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    std::this_thread::yield();
  }
  std::lock_guard guard(gLockOwnersMutex);
  gLockOwners[lock] = std::this_thread::get_id();
}

void releaseLock(PKSPIN_LOCK lock, const char* call) {
  {
    std::lock_guard guard(gLockOwnersMutex);
    auto it = gLockOwners.find(lock);
    if (it == gLockOwners.end()) {
      K().verifier().report(Fault::SpinLock, std::string(call) + ": spin lock " + pointerText(lock) +
                                                 " released but not held");
      return;
    }
    gLockOwners.erase(it);
  }
  __atomic_store_n(lock, ULONG_PTR{0}, __ATOMIC_RELEASE);
}

}  // namespace

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KIRQL old = currentIrql();
  if (old > DISPATCH_LEVEL) {
    K().verifier().report(Fault::WrongIrql, "KeAcquireSpinLock at IRQL " + std::to_string(old));
  }
  setIrql(DISPATCH_LEVEL);
  acquireLock(SpinLock, "KeAcquireSpinLock");
  return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KIRQL irql = currentIrql();
  if (irql != DISPATCH_LEVEL) {
    K().verifier().report(Fault::SpinLock, "KeReleaseSpinLock of " + pointerText(SpinLock) + " at IRQL " +
                                               std::to_string(irql) + " instead of DISPATCH_LEVEL");
  }
  if (NewIrql > DISPATCH_LEVEL) {
    K().verifier().report(Fault::SpinLock, "KeReleaseSpinLock back to IRQL " + std::to_string(NewIrql) +
                                               ", above DISPATCH_LEVEL");
  }
  releaseLock(SpinLock, "KeReleaseSpinLock");
  setIrql(NewIrql);
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (currentIrql() != DISPATCH_LEVEL) {
    K().verifier().report(Fault::SpinLock, "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(currentIrql()));
  }
  acquireLock(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (currentIrql() != DISPATCH_LEVEL) {
    K().verifier().report(Fault::SpinLock,
                          "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(currentIrql()));
  }
  releaseLock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// ------------------------------------------------------------------------------------------ events and waits

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Kernel& k = K();
  k.clock().update([&] {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
  });
}

// Sets an event's state under the clock's lock, so that waiters are re-examined; returns the old state.
static LONG ExchangeEventState(const char* caller, PRKEVENT Event, LONG state) {
  Kernel& k = K();
  requireIrql(caller, DISPATCH_LEVEL);
  LONG old = 0;
  k.clock().update([&] {
    old = Event->Header.SignalState;
    Event->Header.SignalState = state;
  });
  return old;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) { return ExchangeEventState("KeSetEvent", Event, 1); }

LONG KeResetEvent(PRKEVENT Event) { return ExchangeEventState("KeResetEvent", Event, 0); }

VOID KeClearEvent(PRKEVENT Event) {
  Kernel& k = K();
  k.clock().update([&] { Event->Header.SignalState = 0; });
}

LONG KeReadStateEvent(PRKEVENT Event) {
  Kernel& k = K();
  LONG state = 0;
  k.clock().update([&] { state = Event->Header.SignalState; });
  return state;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  Kernel& k = K();
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  requireIrql(poll ? "KeWaitForSingleObject (zero time-out)" : "KeWaitForSingleObject",
              poll ? DISPATCH_LEVEL : APC_LEVEL);
  auto* event = static_cast<PRKEVENT>(Object);
  if (event == nullptr || event->Header.Type > SynchronizationEvent) {
    k.verifier().report(Fault::BadCall, "KeWaitForSingleObject on " + pointerText(Object) +
                                            ", which is not an initialised event");
    return STATUS_INVALID_PARAMETER;
  }
  bool satisfied = false;
  std::function<bool()> pred = [&] {
    if (satisfied) return true;
    if (event->Header.SignalState != 0) {
      if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
      satisfied = true;
    }
    return satisfied;
  };
  if (poll) {
    k.clock().update([&] { pred(); });
    return satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  const std::string& thread = threadName();
  auto what = [&] {
    return "KeWaitForSingleObject(event " + pointerText(event) + ", " + waitReasonName(WaitReason) + ", " +
           timeoutText(Timeout) + ") on " + thread;
  };
  bool ok = k.clock().waitUntil(pred, what, deadlineFor(k, Timeout));
  return ok ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  Kernel& k = K();
  requireIrql("KeDelayExecutionThread", APC_LEVEL);
  if (Interval == nullptr) {
    k.verifier().report(Fault::BadCall, "KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  const std::string& thread = threadName();
  auto what = [&] { return "KeDelayExecutionThread(" + timeoutText(Interval) + ") on " + thread; };
  k.clock().waitUntil([] { return false; }, what, deadlineFor(k, Interval));
  return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = K().systemTime(); }

namespace {
constexpr ULONG kTimeIncrement = 100000;  // 10 ms per clock tick
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = K().clock().now() / kTimeIncrement; }

ULONG KeQueryTimeIncrement(VOID) { return kTimeIncrement; }

// ------------------------------------------------------------------------------------------ debugging

ULONG DbgPrint(PCSTR Format, ...) {
  Kernel* k = Kernel::current();
  if (k == nullptr || !k->debugPrint()) return 0;
  va_list args;
  va_start(args, Format);
  std::vfprintf(stderr, Format, args);
  va_end(args);
  return 0;
}

// The checked build's ASSERT ("RtlAssert"), always on here.
VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
  std::string text = "assertion failed: " + std::string(static_cast<const char*>(FailedAssertion)) + " at " +
                     std::string(static_cast<const char*>(FileName)) + ":" + std::to_string(LineNumber);
  if (Message != nullptr) text += " (" + std::string(Message) + ")";
  K().verifier().report(Fault::BadCall, text + " on " + threadName());
}

// PAGED_CODE() as a checked build has it: pageable code runs at IRQL <= APC_LEVEL ("PAGED_CODE").
VOID HostCheckPagedCode(PCSTR Routine) {
  if (currentIrql() <= APC_LEVEL) return;  // the common case, without building the report's text
  std::string call = std::string("pageable routine ") + Routine;
  requireIrql(call.c_str(), APC_LEVEL);
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "KeBugCheckEx(0x%08X, 0x%zX, 0x%zX, 0x%zX, 0x%zX)", BugCheckCode,
                static_cast<size_t>(P1), static_cast<size_t>(P2), static_cast<size_t>(P3), static_cast<size_t>(P4));
  K().verifier().report(Fault::BadCall, buf);
  std::abort();
}

}  // extern "C"
