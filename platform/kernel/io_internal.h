// Internals shared by the kernel's own sources (not for other parts).
#pragma once

#include <ddk/wdm.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kernel/io_manager.h"
#include "kernel/kernel.h"
#include "kernel/verifier.h"

namespace w98 {

// The kernel of the calling code; reports a fault and aborts when no kernel exists.
Kernel& K();
void requireIrql(const char* call, KIRQL maximum);  // WrongIrql unless the current IRQL is <= maximum

std::string upper(std::string_view s);
std::string narrow(const WCHAR* text, size_t units);     // WCHAR text (Latin-1 range kept, others '?')
std::string narrow(const UNICODE_STRING* s);
std::string pointerText(const void* p);
std::string statusText(NTSTATUS s);                         // "0xC0000001"

struct DeviceRecord {
  void* memory = nullptr;  // pool block holding the object and its extension
  DEVICE_OBJECT* object = nullptr;
  DEVOBJ_EXTENSION objectExtension{};
  std::string name;  // kernel name, empty when unnamed
  bool deleted = false;
  long references = 0;  // ObReferenceObject count
  DEVICE_OBJECT* lower = nullptr;
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  DRIVER_EXTENSION extension{};
  std::string name;
  std::u16string nameBuffer;
};

enum class IrpOrigin { Driver, Built, Owned };

enum LocationState : uint8_t {
  kLocationCompleted = 1,      // completion has passed this location
  kLocationMarkSeen = 2,       // ... and found it marked pending
  kLocationOwesPending = 4,    // its dispatch routine passed the request down and returned STATUS_PENDING unmarked
};

struct IrpRecord {
  IRP* irp = nullptr;
  void* poolMemory = nullptr;               // Driver and Built requests live in pool memory
  std::unique_ptr<std::max_align_t[]> heap;  // Owned requests live on the heap
  IrpOrigin origin = IrpOrigin::Driver;
  uint64_t serial = 0;
  int holds = 0;           // calls in progress that still look at the request
  uint64_t calls = 0;      // IofCallDriver calls made with it
  bool finished = false;   // completed past its top
  bool freeRequested = false;
  // Per stack location (indexed by CurrentLocation): what completion saw there and what the dispatch
  // routine at that location still owes it (LocationState bits).
  std::vector<uint8_t> locations;
  // Built requests.
  std::vector<uint8_t> systemBuffer;
  void* outputBuffer = nullptr;
  ULONG outputLength = 0;
  bool copyBack = false;
  PMDL ownedMdl = nullptr;
  // Owned requests.
  std::function<void(IRP*)> onDone;
  // Built requests not yet sent, for leak reports ("IRP_MJ_READ to device 0x..."): where they were built for.
  std::optional<UCHAR> firstMajor;
  PDEVICE_OBJECT firstTarget = nullptr;
};

struct IoManager::Impl {
  std::recursive_mutex mutex;
  std::map<DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> devices;
  std::map<std::string, DEVICE_OBJECT*> names;                        // upper-case name -> device
  std::map<std::string, std::pair<std::string, std::string>> links;  // upper-case link -> (link, target)
  std::map<DRIVER_OBJECT*, std::unique_ptr<DriverRecord>> drivers;
  std::map<IRP*, std::unique_ptr<IrpRecord>> irps;
  std::map<PMDL, bool> mdls;
  uint64_t nextIrpSerial = 1;
  int refusedAttachments = 0;  // IoManager::refuseAttachments
  KSPIN_LOCK cancelLock = 0;

  DeviceRecord* device(const DEVICE_OBJECT* d);
  IrpRecord* irp(const IRP* i);
  void maybeFreeDevice(DEVICE_OBJECT* d);  // frees a deleted device nobody refers to
  // IoManager::resolveUserPath with the mutex held.
  DEVICE_OBJECT* resolveUserPath(std::string_view path, std::string* rest, NtStatus* status);
  void releaseIrp(IrpRecord* r);            // frees the memory when nothing holds it any more
  IRP* newIrp(CCHAR stackSize, IrpOrigin origin, bool fromPool);
};

std::string majorName(UCHAR major);
std::string minorName(UCHAR major, UCHAR minor);

}  // namespace w98
