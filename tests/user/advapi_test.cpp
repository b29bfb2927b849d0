#include <windows.h>

#include <cstring>

#include "user_fixture.h"

namespace {

using Advapi = w98test::UserMachine;

TEST_F(Advapi, OpenCreateAndCloseKeys) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Enum\\Root\\KVUSBCable", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(registry.keyExists("HKEY_LOCAL_MACHINE\\Enum\\Root\\KVUSBCable"));
  HKEY again = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "ENUM\\root\\kvusbcable", 0, nullptr, 0, KEY_WRITE, nullptr, &again,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_NE(again, key) << "each open gives its own handle";
  // Relative opens below an open key, and the key itself with an empty path.
  HKEY below = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_ALL_ACCESS, &below), ERROR_SUCCESS);
  HKEY rel = nullptr;
  EXPECT_EQ(RegOpenKeyExA(below, "Root\\KVUSBCable", 0, KEY_ALL_ACCESS, &rel), ERROR_SUCCESS);
  HKEY self = nullptr;
  EXPECT_EQ(RegOpenKeyExA(below, "", 0, KEY_ALL_ACCESS, &self), ERROR_SUCCESS);
  HKEY bad = below;
  EXPECT_EQ(RegOpenKeyExA(below, "Root\\\\KVUSBCable", 0, KEY_ALL_ACCESS, &bad), ERROR_BAD_PATHNAME);
  EXPECT_EQ(bad, nullptr) << "a failed open clears the result";
  EXPECT_EQ(session->openKeyHandles(), 5u);
  for (HKEY k : {key, again, below, rel, self}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(session->openKeyHandles(), 0u) << "every handle closed";
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closing twice";
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_PERFORMANCE_DATA, "x", 0, KEY_ALL_ACCESS, &key), ERROR_BADKEY);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(uintptr_t{0x1234}), "x", 0, KEY_ALL_ACCESS, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_ALL_ACCESS, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Advapi, EnumeratesInOrderAndReportsShortBuffers) {
  for (const char* n : {"KVUSB2", "LPT1", "KVUSB1", "COM1"}) {
    registry.createKey(std::string("HKLM\\System\\CurrentControlSet\\Control\\Print\\Ports\\") + n);
  }
  HKEY ports;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Print\\Ports", 0, KEY_ALL_ACCESS,
                          &ports),
            ERROR_SUCCESS);
  std::vector<std::string> names;
  char name[512];
  for (DWORD i = 0;; ++i) {
    DWORD len = sizeof name;
    FILETIME t;
    LONG r = RegEnumKeyExA(ports, i, name, &len, nullptr, nullptr, nullptr, &t);
    if (r != ERROR_SUCCESS) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS);
      break;
    }
    EXPECT_EQ(len, std::strlen(name)) << "the length excludes the terminator";
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"COM1", "KVUSB1", "KVUSB2", "LPT1"}));
  DWORD len = 6;  // "KVUSB1" needs 7 with its terminator
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(RegEnumKeyExA(ports, 1, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(name[0], 'x') << "nothing written on a short buffer";
  EXPECT_EQ(RegEnumKeyExA(ports, 0, nullptr, &len, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(ports);
}

TEST_F(Advapi, DeleteKeyIsRecursiveAsOnWindows98) {
  registry.createKey("HKLM\\Enum\\USB\\VID_0F1B&PID_1002\\5&2A\\Sub");
  registry.createKey("HKLM\\Enum\\USB\\Other");
  HKEY e;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_ALL_ACCESS, &e), ERROR_SUCCESS);
  HKEY inside;
  ASSERT_EQ(RegOpenKeyExA(e, "USB\\VID_0F1B&PID_1002\\5&2A", 0, KEY_ALL_ACCESS, &inside), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(e, "USB\\VID_0F1B&PID_1002"), ERROR_SUCCESS);
  EXPECT_FALSE(registry.keyExists("HKLM\\Enum\\USB\\VID_0F1B&PID_1002"));
  EXPECT_TRUE(registry.keyExists("HKLM\\Enum\\USB\\Other"));
  EXPECT_EQ(RegDeleteKeyA(e, "USB\\VID_0F1B&PID_1002"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(e, ""), ERROR_BADKEY);
  // A handle to a deleted key answers that its key is gone.
  BYTE data[4] = {1, 2, 3, 4};
  EXPECT_EQ(RegSetValueExA(inside, "x", 0, REG_BINARY, data, 4), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(inside), ERROR_SUCCESS);
  RegCloseKey(e);
}

TEST_F(Advapi, NtStyleDeleteRefusesKeysWithSubkeysAndLockedKeysStay) {
  w98::UserSession::Options nt;
  nt.recursiveKeyDelete = false;
  nt.lockedKeys = {"hklm\\software\\held\\inner"};
  boot({}, nt);
  registry.createKey("HKLM\\Software\\Parent\\Child");
  registry.createKey("HKLM\\Software\\Held\\Inner");
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Parent"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Parent\\Child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Parent"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Held\\Inner"), ERROR_ACCESS_DENIED);
  session->options().recursiveKeyDelete = true;
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Held"), ERROR_ACCESS_DENIED) << "a locked key below";
  EXPECT_TRUE(registry.keyExists("HKLM\\Software\\Held\\Inner"));
}

TEST_F(Advapi, AnsiStringsAreKeptAsUtf16AndReadBack) {
  registry.createKey("HKLM\\SOFTWARE\\Map");
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Map", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const char data[] = "USR:wininit\\rename";
  ASSERT_EQ(RegSetValueExA(key, "rename", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), 19), ERROR_SUCCESS);
  auto stored = registry.value("HKLM\\SOFTWARE\\Map", "rename");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, w98::RegType::Sz);
  EXPECT_EQ(stored->data.size(), 38u) << "19 ANSI bytes, terminator included, are 19 UTF-16 units";
  EXPECT_EQ(registry.stringValue("HKLM\\SOFTWARE\\Map", "rename"), "USR:wininit\\rename");

  // Shift-JIS text ("プリンタ") reads as the same text on the registry's side.
  const char sjis[] = "\x83\x76\x83\x8A\x83\x93\x83\x5E";
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(sjis), sizeof sjis), ERROR_SUCCESS);
  EXPECT_EQ(registry.stringValue("HKLM\\SOFTWARE\\Map", ""), "プリンタ");
  char buf[32];
  DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof sjis);
  EXPECT_STREQ(buf, sjis);

  // The kernel's form, without a terminator, still reads as a terminated string.
  registry.setString("HKLM\\SOFTWARE\\Map", "Port Name", "KVUSB1", false);
  size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "port name", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  size = 3;
  EXPECT_EQ(RegQueryValueExA(key, "Port Name", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  size = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(key, "Port Name", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "KVUSB1");
  EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

  // Other types are stored as given.
  DWORD v = 0x400;
  ASSERT_EQ(RegSetValueExA(key, "MaxTransferSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4), ERROR_SUCCESS);
  EXPECT_EQ(registry.dwordValue("HKLM\\SOFTWARE\\Map", "MaxTransferSize"), 0x400u);
  EXPECT_EQ(RegSetValueExA(key, "bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteValueA(key, "MaxTransferSize"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "MaxTransferSize"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

}  // namespace
