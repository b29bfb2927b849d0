// A fresh registry and kernel per test, and small helpers the kernel tests share.
#pragma once

#include <gtest/gtest.h>

#include <ddk/wdm.h>

#include <memory>
#include <string>

#include "kernel/kernel.h"
#include "registry/registry.h"

namespace w98::test {

class KernelTest : public ::testing::Test {
 protected:
  KernelTest() : kernel(std::make_unique<Kernel>(registry)) {}
  ~KernelTest() override { kernel.reset(); }

  // Faults are recorded instead of aborting, so a test can look at them.
  void recordFaults() { kernel->verifier().setAction(Verifier::Action::Record); }
  size_t faults(Fault f) const { return kernel->verifier().count(f); }

  Registry registry;
  std::unique_ptr<Kernel> kernel;
};

// A UNICODE_STRING over a wide literal.
inline UNICODE_STRING U(const char16_t* text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

inline LARGE_INTEGER relative(Ticks t) {
  LARGE_INTEGER li;
  li.QuadPart = -t;
  return li;
}

}  // namespace w98::test
