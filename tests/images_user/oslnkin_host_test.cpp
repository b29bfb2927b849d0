// The host build of oslnkin, loaded at run time as the installer loads it: each export reaches this
// program's spooler with the caller's arguments and gives back the spooler's result and error untouched.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <windows.h>
#include <winspool.h>

#include "host_machine.h"

namespace images {
namespace {

using AddMonitor32Fn = BOOL (*)(LPSTR, DWORD, LPBYTE);
using DeleteMonitor32Fn = BOOL (*)(LPSTR, LPSTR, LPSTR);

class OslnkinHost : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = dlopen(OSLNKIN_HOST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    add_ = reinterpret_cast<AddMonitor32Fn>(dlsym(library_, "AddMonitor32"));
    del_ = reinterpret_cast<DeleteMonitor32Fn>(dlsym(library_, "DeleteMonitor32"));
    ASSERT_NE(add_, nullptr);
    ASSERT_NE(del_, nullptr);
  }
  void TearDown() override {
    if (library_) dlclose(library_);
  }
  void* library_ = nullptr;
  AddMonitor32Fn add_ = nullptr;
  DeleteMonitor32Fn del_ = nullptr;
  HostMachine machine_{std::vector<std::string>{}};
  char name_[64] = "Molvex USB Cable Port Monitor";
  char environment_[16] = "Windows 4.0";
  char dll_[16] = "reveror.dll";
};

TEST_F(OslnkinHost, AddMonitor32AddsThroughTheSpoolerWithTheCallersRecord) {
  MONITOR_INFO_2A info{name_, environment_, dll_};
  SetLastError(1234);
  EXPECT_NE(add_(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), 0);
  EXPECT_EQ(GetLastError(), 1234u) << "a success leaves the last error as it was";
  EXPECT_EQ(machine_.session().spooler().monitorDll(name_), "reveror.dll");
  const auto calls = machine_.session().spooler().calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, "AddMonitor");
  EXPECT_FALSE(calls[0].server.has_value()) << "a null server stays null";
  EXPECT_EQ(calls[0].level, 2u);
  EXPECT_EQ(calls[0].monitor, name_);
  EXPECT_EQ(calls[0].environment, environment_);
  EXPECT_EQ(calls[0].dll, dll_);
}

TEST_F(OslnkinHost, AFailingSpoolerCallGivesZeroAndItsErrorStaysReadable) {
  SetLastError(0);
  EXPECT_EQ(del_(nullptr, environment_, name_), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
  MONITOR_INFO_2A info{name_, environment_, dll_};
  SetLastError(0);
  EXPECT_EQ(add_(nullptr, 7, reinterpret_cast<LPBYTE>(&info)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  // Twice the same monitor: the second is refused with the spooler's reason.
  ASSERT_NE(add_(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), 0);
  SetLastError(0);
  EXPECT_EQ(add_(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
}

TEST_F(OslnkinHost, DeleteMonitor32PassesItsThreeArgumentsInOrderNullsIncluded) {
  MONITOR_INFO_2A info{name_, environment_, dll_};
  ASSERT_NE(add_(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), 0);
  SetLastError(77);
  EXPECT_NE(del_(nullptr, nullptr, name_), 0) << "null environment: the current one";
  EXPECT_EQ(GetLastError(), 77u);
  EXPECT_FALSE(machine_.session().spooler().monitorDll(name_).has_value());
  char server[] = "\\\\PRINTSERVER";
  del_(server, environment_, name_);
  const auto calls = machine_.session().spooler().calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].op, "DeleteMonitor");
  EXPECT_FALSE(calls[1].server.has_value());
  EXPECT_FALSE(calls[1].environment.has_value());
  EXPECT_EQ(calls[1].monitor, name_);
  EXPECT_EQ(calls[2].server, server);
  EXPECT_EQ(calls[2].environment, environment_);
  EXPECT_EQ(calls[2].monitor, name_);
}

}  // namespace
}  // namespace images
