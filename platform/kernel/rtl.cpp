// Pool calls, run-time library strings and the registry calls of drivers.
#include <cstring>
#include <cwchar>

#include "kernel/io_internal.h"
#include "kernel/irql.h"
#include "kernel/pnp_internal.h"
#include "registry/registry.h"

using namespace w98;

namespace {

constexpr ULONG kTagNone = 0x656E6F4E;     // "None": ExAllocatePool
constexpr ULONG kTagStrings = 0x67727453;  // "Strg": strings the run-time library allocates

PoolKind kindOf(POOL_TYPE type) {
  return (type == PagedPool || type == PagedPoolCacheAligned) ? PoolKind::Paged : PoolKind::NonPaged;
}

size_t wideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Kernel WCHAR units <-> the registry's UTF-16LE bytes.
std::vector<uint8_t> toUtf16le(const WCHAR* units, size_t count) {
  std::vector<uint8_t> out;
  out.reserve(count * 2);
  auto put = [&](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (size_t i = 0; i < count; ++i) {
    auto c = static_cast<uint32_t>(units[i]);
    if (c > 0xFFFF) {
      c -= 0x10000;
      put(0xD800 | (c >> 10));
      put(0xDC00 | (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

std::vector<WCHAR> fromUtf16le(const std::vector<uint8_t>& bytes) {
  std::vector<WCHAR> out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = bytes[i] | (bytes[i + 1] << 8);
    if constexpr (sizeof(WCHAR) >= 4) {
      if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
        uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          out.push_back(static_cast<WCHAR>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
          i += 2;
          continue;
        }
      }
    }
    out.push_back(static_cast<WCHAR>(u));
  }
  return out;
}

bool isStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stores one value into a RTL_QUERY_REGISTRY_DIRECT entry context.
NTSTATUS storeDirect(PVOID entryContext, ULONG type, const void* data, size_t length) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    auto* target = static_cast<PUNICODE_STRING>(entryContext);
    const auto* text = static_cast<const WCHAR*>(data);
    size_t units = length / sizeof(WCHAR);
    while (units > 0 && text[units - 1] == 0) --units;
    size_t bytes = units * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
    if (target->Buffer == nullptr) {
      auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kTagStrings));
      if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      target->Buffer = buffer;
      target->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (target->MaximumLength < bytes) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(target->Buffer, text, bytes);
    if (target->MaximumLength >= bytes + sizeof(WCHAR)) target->Buffer[units] = 0;
    target->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
  }
  // Any other type (REG_DWORD, REG_BINARY, ...) of at most 4 bytes: copied into the ULONG the context
  // points to, only as many bytes as the value has.
  if (length <= sizeof(ULONG)) {
    std::memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
  }
  // Longer data: the context's first LONG is the negative size of the buffer that receives it; refused
  // otherwise, writing nothing.
  LONG size;
  std::memcpy(&size, entryContext, sizeof size);
  if (size >= 0 || static_cast<size_t>(-static_cast<int64_t>(size)) < length) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(entryContext, data, length);
  return STATUS_SUCCESS;
}

// The registry path an RtlQueryRegistryValues call is relative to.
std::optional<std::string> baseKey(Kernel& k, ULONG relativeTo, PCWSTR path) {
  ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
  if (base & RTL_REGISTRY_HANDLE) return k.keyPath(const_cast<PWSTR>(path));
  std::string p = path != nullptr ? narrow(path, wideLength(path)) : std::string();
  switch (base) {
    case RTL_REGISTRY_ABSOLUTE: {
      std::string up = upper(p);
      if (up.rfind("\\REGISTRY\\MACHINE", 0) == 0) return "HKEY_LOCAL_MACHINE" + p.substr(17);
      if (up.rfind("\\REGISTRY\\USER", 0) == 0) return "HKEY_USERS" + p.substr(14);
      return std::nullopt;
    }
    case RTL_REGISTRY_SERVICES:
      return "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services" + (p.empty() ? "" : "\\" + p);
    case RTL_REGISTRY_CONTROL:
      return "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control" + (p.empty() ? "" : "\\" + p);
    default:
      return std::nullopt;
  }
}

}  // namespace

extern "C" {

// ------------------------------------------------------------------------------------------ pool

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  Kernel& k = K();
  PoolKind kind = kindOf(PoolType);
  requireIrql(kind == PoolKind::Paged ? "ExAllocatePoolWithTag(PagedPool)" : "ExAllocatePoolWithTag",
              kind == PoolKind::Paged ? APC_LEVEL : DISPATCH_LEVEL);
  return k.pool().allocate(kind, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kTagNone);
}

VOID ExFreePool(PVOID P) {
  Kernel& k = K();
  requireIrql("ExFreePool", DISPATCH_LEVEL);
  k.pool().free(P);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  Kernel& k = K();
  requireIrql("ExFreePoolWithTag", DISPATCH_LEVEL);
  k.pool().free(P, Tag);
}

// ------------------------------------------------------------------------------------------ strings

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t n = std::strlen(SourceString);
  if (n > 0xFFFE) n = 0xFFFE;
  DestinationString->Length = static_cast<USHORT>(n);
  DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) { RtlInitAnsiString(DestinationString, SourceString); }

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t max = 0xFFFC / sizeof(WCHAR) - 1;
  size_t n = std::min(wideLength(SourceString), max);
  DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  Kernel& k = K();
  if (DestinationString == nullptr || SourceString == nullptr) return STATUS_INVALID_PARAMETER;
  size_t units = SourceString->Length;
  size_t bytes = units * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    requireIrql("RtlAnsiStringToUnicodeString (allocating)", APC_LEVEL);
    auto* buffer = static_cast<PWSTR>(k.pool().allocate(PoolKind::Paged, bytes + sizeof(WCHAR), kTagStrings));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (DestinationString->MaximumLength < bytes) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < units; ++i)
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
  if (DestinationString->MaximumLength >= bytes + sizeof(WCHAR)) DestinationString->Buffer[units] = 0;
  DestinationString->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  Kernel& k = K();
  if (DestinationString == nullptr || SourceString == nullptr) return STATUS_INVALID_PARAMETER;
  size_t units = SourceString->Length / sizeof(WCHAR);
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(k.pool().allocate(PoolKind::Paged, units + 1, kTagStrings));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(units + 1);
  } else if (DestinationString->MaximumLength < units) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < units; ++i) {
    auto c = static_cast<uint32_t>(SourceString->Buffer[i]);
    DestinationString->Buffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
  }
  if (DestinationString->MaximumLength > units) DestinationString->Buffer[units] = 0;
  DestinationString->Length = static_cast<USHORT>(units);
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString == nullptr) return;
  if (UnicodeString->Buffer != nullptr) K().pool().free(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString == nullptr) return;
  if (AnsiString->Buffer != nullptr) K().pool().free(AnsiString->Buffer);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr || SourceString->Buffer == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
  n = static_cast<USHORT>(n / sizeof(WCHAR) * sizeof(WCHAR));
  std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  size_t units = String1->Length / sizeof(WCHAR);
  for (size_t i = 0; i < units; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      if (a >= 'a' && a <= 'z') a = static_cast<WCHAR>(a - 'a' + 'A');
      if (b >= 'a' && b <= 'z') b = static_cast<WCHAR>(b - 'a' + 'A');
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[40];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value != 0);
  size_t bytes = static_cast<size_t>(n) * sizeof(WCHAR);
  if (String->MaximumLength < bytes) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
  if (String->MaximumLength >= bytes + sizeof(WCHAR)) String->Buffer[n] = 0;
  String->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

// ------------------------------------------------------------------------------------------ registry

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  Kernel& k = K();
  requireIrql("IoOpenDeviceRegistryKey", PASSIVE_LEVEL);
  if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  *DevInstRegKey = nullptr;
  auto keys = pnpKeysOf(k, DeviceObject);
  if (!keys) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object of a devnode
  std::string path;
  if (DevInstKeyType & PLUGPLAY_REGKEY_DEVICE) {
    path = keys->deviceKey;
  } else if (DevInstKeyType & PLUGPLAY_REGKEY_DRIVER) {
    path = keys->driverKey;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  if (!k.registry().keyExists(path) && !k.registry().createKey(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
  *DevInstRegKey = k.openKeyHandle(path);
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  Kernel& k = K();
  requireIrql("ZwClose", PASSIVE_LEVEL);
  if (!k.closeKeyHandle(Handle)) {
    k.verifier().report(Fault::BadCall, "ZwClose of invalid handle " + pointerText(Handle));
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  Kernel& k = K();
  requireIrql("ZwSetValueKey", PASSIVE_LEVEL);
  auto path = k.keyPath(KeyHandle);
  if (!path) {
    k.verifier().report(Fault::BadCall, "ZwSetValueKey with invalid handle " + pointerText(KeyHandle));
    return STATUS_INVALID_HANDLE;
  }
  if (Data == nullptr && DataSize > 0) return STATUS_INVALID_PARAMETER;
  std::string name = narrow(ValueName);
  RegValue value;
  value.type = static_cast<RegType>(Type);
  if (isStringType(Type)) {
    if (DataSize % sizeof(WCHAR) != 0) return STATUS_INVALID_PARAMETER;
    value.data = toUtf16le(static_cast<const WCHAR*>(Data), DataSize / sizeof(WCHAR));
  } else if (DataSize > 0) {
    value.data.assign(static_cast<uint8_t*>(Data), static_cast<uint8_t*>(Data) + DataSize);
  }
  if (!k.registry().setValue(*path, name, std::move(value))) return STATUS_KEY_DELETED;
  return STATUS_SUCCESS;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment) {
  Kernel& k = K();
  requireIrql("RtlQueryRegistryValues", PASSIVE_LEVEL);
  if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
  auto base = baseKey(k, RelativeTo, Path);
  if (!base) {
    if (RelativeTo & RTL_REGISTRY_HANDLE)
      k.verifier().report(Fault::BadCall, "RtlQueryRegistryValues with invalid handle " + pointerText(Path));
    return (RelativeTo & RTL_REGISTRY_HANDLE) ? STATUS_INVALID_HANDLE : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (!k.registry().keyExists(*base)) {
    return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  std::string key = *base;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
       ++entry) {
    std::string name = entry->Name != nullptr ? narrow(entry->Name, wideLength(entry->Name)) : std::string();
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) key = *base;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      key = *base + "\\" + name;
      if (!k.registry().keyExists(key)) {
        if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        key = *base;
        continue;
      }
      if (entry->QueryRoutine == nullptr) continue;
    }
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) && entry->EntryContext == nullptr) {
      k.verifier().report(Fault::BadCall, "RtlQueryRegistryValues: direct entry '" + name + "' without a context");
      return STATUS_INVALID_PARAMETER;
    }
    // Gather the value(s) this entry asks for, in the kernel's format.
    struct Found {
      std::string name;
      ULONG type;
      std::vector<uint8_t> data;
    };
    std::vector<Found> found;
    if (entry->Name == nullptr && !(entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
      for (auto& [n, v] : k.registry().values(key)) found.push_back({n, static_cast<ULONG>(v.type), v.data});
    } else if (auto v = k.registry().value(key, name)) {
      found.push_back({name, static_cast<ULONG>(v->type), v->data});
    }
    if (found.empty()) {
      if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->DefaultType == REG_NONE || (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE)) continue;
      // The default, as given by the caller (already in the kernel's format).
      ULONG length = entry->DefaultLength;
      if (length == 0 && isStringType(entry->DefaultType) && entry->DefaultData != nullptr)
        length = static_cast<ULONG>((wideLength(static_cast<PCWSTR>(entry->DefaultData)) + 1) * sizeof(WCHAR));
      NTSTATUS s;
      if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
        s = storeDirect(entry->EntryContext, entry->DefaultType, entry->DefaultData, length);
      } else {
        std::u16string wname(name.begin(), name.end());
        s = entry->QueryRoutine(wname.data(), entry->DefaultType, entry->DefaultData, length, Context,
                                entry->EntryContext);
      }
      if (!NT_SUCCESS(s)) return s;
      continue;
    }
    for (auto& f : found) {
      std::vector<WCHAR> wide;
      const void* data = f.data.data();
      size_t length = f.data.size();
      if (isStringType(f.type)) {
        wide = fromUtf16le(f.data);
        if (wide.empty() || wide.back() != 0) wide.push_back(0);
        data = wide.data();
        length = wide.size() * sizeof(WCHAR);
      }
      NTSTATUS s;
      if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
        // The context's layout follows the value's type, whatever the caller's default says: a string
        // goes into a UNICODE_STRING even where the caller expects a number, as on Windows without
        // RTL_QUERY_REGISTRY_TYPECHECK, which Windows 98 does not have ("RtlQueryRegistryValues function",
        // WDK). A caller must give a context that can take any type the value may have.
        s = storeDirect(entry->EntryContext, f.type, data, length);
      } else {
        std::u16string wname(f.name.begin(), f.name.end());
        s = entry->QueryRoutine(wname.data(), f.type, const_cast<void*>(data), static_cast<ULONG>(length), Context,
                                entry->EntryContext);
      }
      if (!NT_SUCCESS(s)) return s;
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_DELETE) k.registry().deleteValue(key, name);
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
