// Loud reports of driver faults. By default a report is printed to standard error and the process aborts
// (tests of the checks themselves use death tests, or switch to recording).
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace w98 {

enum class Fault {
  WrongIrql,           // a call made at an IRQL it does not allow
  IrqlNotRestored,     // a dispatch, completion or timer routine returned at another IRQL than it was called at
  SpinLock,            // spin lock released at the wrong IRQL, released when not held, acquired twice
  DoubleCompletion,    // a request completed twice, or completed when it is not outstanding
  PendingNotMarked,    // STATUS_PENDING returned without IoMarkIrpPending
  MarkedNotPending,    // IoMarkIrpPending, then another status returned
  BadCompletion,       // completed with STATUS_PENDING, with a cancel routine set, or past the top of its stack
  BadRequest,          // unknown request, no stack location left, request freed while in use
  PoolDoubleFree,      // a block freed twice
  PoolUnknownBlock,    // a pointer the pool never handed out
  PoolLeak,            // blocks still allocated at unload or at the end of the machine
  RequestLeak,         // requests never completed at teardown
  HandleLeak,          // registry handles never closed
  BadObject,           // unknown device object, device deleted twice, attach to a deleted device, ...
  BadCall,             // other misuse of a kernel call (bad argument, wait from a non-participant, ...)
  Hang,                // every participant waits and nothing can wake them
};

std::string_view faultName(Fault f);

class Verifier {
 public:
  enum class Action { Abort, Record };

  void setAction(Action a);
  Action action() const;

  // Prints "VERIFIER <name>: <message>" to standard error; then aborts or records.
  void report(Fault fault, std::string message);

  struct Entry {
    Fault fault;
    std::string message;
  };
  std::vector<Entry> recorded() const;
  size_t count(Fault fault) const;
  size_t total() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  Action action_ = Action::Abort;
  std::vector<Entry> entries_;
};

}  // namespace w98
