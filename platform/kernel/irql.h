// The current thread's IRQL (each thread of the machine is one processor's worth of state here).
#pragma once

#include <cstdint>

namespace w98 {

uint8_t currentIrql();
void setIrql(uint8_t irql);

// Raises the calling thread to `irql` for the scope (timer and completion callbacks run at DISPATCH_LEVEL).
class IrqlScope {
 public:
  explicit IrqlScope(uint8_t irql) : saved_(currentIrql()) { setIrql(irql); }
  ~IrqlScope() { setIrql(saved_); }
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  uint8_t saved_;
};

}  // namespace w98

#include <string>

namespace w98 {
// A name for the calling thread in reports ("main", "pnp", the name given to Kernel::spawn).
const std::string& threadName();
void setThreadName(std::string name);
}  // namespace w98
