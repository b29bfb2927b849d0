#include <winspool.h>

#include "user_fixture.h"

namespace {

using Spooler = w98test::UserMachine;

constexpr const char* kMonitorKey =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\Molvex USB Cable Port Monitor";

MONITOR_INFO_2A info(const char* name, const char* env, const char* dll) {
  return MONITOR_INFO_2A{const_cast<char*>(name), const_cast<char*>(env), const_cast<char*>(dll)};
}

TEST_F(Spooler, AddAndDeleteMonitorKeepItsKey) {
  auto mi = info("Molvex USB Cable Port Monitor", "Windows 4.0", "reveror.dll");
  ASSERT_TRUE(AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&mi)));
  EXPECT_EQ(registry.stringValue(kMonitorKey, "Driver"), "reveror.dll");
  EXPECT_EQ(session->spooler().monitorDll("molvex usb cable port monitor"), "reveror.dll");
  SetLastError(0);
  EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&mi)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
  ASSERT_TRUE(DeleteMonitorA(nullptr, const_cast<char*>("Windows 4.0"), const_cast<char*>("Molvex USB Cable Port Monitor")));
  EXPECT_FALSE(registry.keyExists(kMonitorKey));
  EXPECT_FALSE(DeleteMonitorA(nullptr, nullptr, const_cast<char*>("Molvex USB Cable Port Monitor")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
}

TEST_F(Spooler, RefusesWhatTheLocalSpoolerCannotDo) {
  auto mi = info("M", "Windows 4.0", "m.dll");
  EXPECT_FALSE(AddMonitorA(nullptr, 1, reinterpret_cast<BYTE*>(&mi)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(AddMonitorA(nullptr, 2, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  auto nt = info("M", "Windows NT x86", "m.dll");
  EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&nt)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  EXPECT_FALSE(AddMonitorA(const_cast<char*>("\\\\server"), 2, reinterpret_cast<BYTE*>(&mi)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  auto noDll = info("M", nullptr, nullptr);
  EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&noDll)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  auto slash = info("A\\B", nullptr, "m.dll");
  EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&slash)));
  EXPECT_TRUE(session->spooler().monitors().empty()) << "no failed call leaves a key";
  // A null environment is the current one.
  auto plain = info("M", nullptr, "m.dll");
  EXPECT_TRUE(AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&plain)));
}

TEST_F(Spooler, AMonitorInUseStays) {
  auto mi = info("M", nullptr, "m.dll");
  ASSERT_TRUE(AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&mi)));
  session->spooler().setMonitorInUse("m", true);
  EXPECT_FALSE(DeleteMonitorA(nullptr, nullptr, const_cast<char*>("M")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_IN_USE));
  EXPECT_EQ(session->spooler().monitors(), std::vector<std::string>{"M"});
  session->spooler().setMonitorInUse("M", false);
  EXPECT_TRUE(DeleteMonitorA(nullptr, nullptr, const_cast<char*>("M")));
}

TEST_F(Spooler, LogsArgumentsAsTheyArrived) {
  DeleteMonitorA(nullptr, nullptr, const_cast<char*>("X"));
  auto mi = info("M", "windows 4.0", "m.dll");
  AddMonitorA(nullptr, 2, reinterpret_cast<BYTE*>(&mi));
  auto calls = session->spooler().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, "DeleteMonitor");
  EXPECT_EQ(calls[0].server, std::nullopt);
  EXPECT_EQ(calls[0].environment, std::nullopt);
  EXPECT_EQ(calls[0].monitor, "X");
  EXPECT_EQ(calls[0].error, static_cast<uint32_t>(ERROR_UNKNOWN_PRINT_MONITOR));
  EXPECT_EQ(calls[1].op, "AddMonitor");
  EXPECT_EQ(calls[1].environment, "windows 4.0");
  EXPECT_EQ(calls[1].dll, "m.dll");
  EXPECT_EQ(calls[1].level, 2u);
  EXPECT_EQ(calls[1].error, 0u);
}

TEST_F(Spooler, PortKeysLiveWhereTheRemovalLooks) {
  auto& sp = session->spooler();
  EXPECT_TRUE(sp.addPort("KVUSB1"));
  EXPECT_TRUE(sp.addPort("LPT1"));
  EXPECT_FALSE(sp.addPort(""));
  EXPECT_FALSE(sp.addPort("a\\b"));
  EXPECT_TRUE(registry.keyExists("HKLM\\System\\CurrentControlSet\\Control\\Print\\Ports\\KVUSB1"));
  EXPECT_EQ(sp.ports(), (std::vector<std::string>{"KVUSB1", "LPT1"}));
  EXPECT_TRUE(sp.deletePort("kvusb1"));
  EXPECT_FALSE(sp.deletePort("kvusb1"));
  EXPECT_EQ(sp.ports(), std::vector<std::string>{"LPT1"});
}

}  // namespace
