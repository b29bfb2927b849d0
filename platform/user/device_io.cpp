// kernel32: devices opened as \\.\NAME, their reads and writes (synchronous or overlapped), CancelIo, and the
// events that overlapped requests signal. The requests go to the machine's kernel (UserSession::Options::devices);
// waits are on its virtual clock.
#include <windows.h>

#include <cstring>
#include <functional>
#include <vector>

#include "user/session_internal.h"

using w98::DeviceFiles;
using w98::UserSession;

namespace {

thread_local int32_t t_lastDeviceStatus = 0;

constexpr int32_t kStatusPending = 0x103;
constexpr int64_t kTicksPerMillisecond = 10'000;

UserSession::Impl& state() { return UserSession::current().impl(); }

// The Win32 error that kernel32 gives for a driver's NTSTATUS, for the statuses a device of this machine returns
// (Microsoft's table "Mapping NT status error codes to Win32 error codes", KB 113996; RtlNtStatusToDosError).
DWORD Win32Error(int32_t status) {
  switch (static_cast<uint32_t>(status)) {
    case 0xC0000001: return ERROR_GEN_FAILURE;           // STATUS_UNSUCCESSFUL
    case 0xC0000008: return ERROR_INVALID_HANDLE;        // STATUS_INVALID_HANDLE
    case 0xC000000D: return ERROR_INVALID_PARAMETER;     // STATUS_INVALID_PARAMETER
    case 0xC000000E: return ERROR_FILE_NOT_FOUND;        // STATUS_NO_SUCH_DEVICE
    case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;     // STATUS_NO_MEMORY
    case 0xC0000022: return ERROR_ACCESS_DENIED;         // STATUS_ACCESS_DENIED
    case 0xC0000034: return ERROR_FILE_NOT_FOUND;        // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC0000035: return ERROR_ALREADY_EXISTS;        // STATUS_OBJECT_NAME_COLLISION
    case 0xC0000056: return ERROR_ACCESS_DENIED;         // STATUS_DELETE_PENDING
    case 0xC000009A: return ERROR_NO_SYSTEM_RESOURCES;   // STATUS_INSUFFICIENT_RESOURCES
    case 0xC000009D: return ERROR_NOT_READY;             // STATUS_DEVICE_NOT_CONNECTED
    case 0xC00000B5: return ERROR_SEM_TIMEOUT;           // STATUS_IO_TIMEOUT
    case 0xC00000C0: return ERROR_DEV_NOT_EXIST;         // STATUS_DEVICE_DOES_NOT_EXIST
    case 0xC0000120: return ERROR_OPERATION_ABORTED;     // STATUS_CANCELLED
    default: return ERROR_GEN_FAILURE;
  }
}

// Takes a finished request's result into the OVERLAPPED (Internal: the status, InternalHigh: the count, as
// Windows keeps them there) and the caller's count. The call's own answer, with the last error on failure.
BOOL Finish(const DeviceFiles::Result& r, LPOVERLAPPED overlapped, LPDWORD transferred) {
  t_lastDeviceStatus = r.status;
  if (overlapped) {
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(r.status));
    overlapped->InternalHigh = static_cast<ULONG_PTR>(r.information);
  }
  if (transferred) *transferred = static_cast<DWORD>(r.information);
  if (r.status < 0) {
    SetLastError(Win32Error(r.status));
    return FALSE;
  }
  return TRUE;
}

// Marks `pending` done with `result` and signals the event bound to it. Under the object lock.
void Complete(UserSession::Impl& s, const std::shared_ptr<UserSession::Impl::Pending>& pending,
              const DeviceFiles::Result& result) {
  pending->result = result;
  for (auto& [handle, event] : s.events)
    if (event.request == pending) {
      event.signaled = true;
      event.request.reset();
    }
}

// Starts a read or write; the device call is made by `start`.
BOOL Transfer(HANDLE file, LPDWORD transferred, LPOVERLAPPED overlapped,
              const std::function<std::shared_ptr<DeviceFiles::Operation>(DeviceFiles&, uint64_t)>& start) {
  if (transferred) *transferred = 0;
  auto& session = UserSession::current();
  auto& s = session.impl();
  DeviceFiles* devices = session.options().devices;
  uint64_t device = 0;
  {
    std::lock_guard lock(s.objectMutex);
    auto it = s.files.find(reinterpret_cast<uintptr_t>(file));
    if (it == s.files.end() || !devices) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    device = it->second.device;
  }
  auto operation = start(*devices, device);
  if (!overlapped) return Finish(*operation->wait(-1), nullptr, transferred);

  auto pending = std::make_shared<UserSession::Impl::Pending>();
  pending->operation = operation;
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  {
    std::lock_guard lock(s.objectMutex);
    s.files[reinterpret_cast<uintptr_t>(file)].pending[overlapped] = pending;
    // The event is reset when the request starts and signalled when it is done.
    auto e = s.events.find(reinterpret_cast<uintptr_t>(overlapped->hEvent));
    if (e != s.events.end()) {
      e->second.signaled = false;
      e->second.request = pending;
    }
  }
  if (operation->completed()) {
    // Done at once: the call answers as for a synchronous request, and the OVERLAPPED holds the result too.
    const DeviceFiles::Result r = *operation->wait(-1);
    {
      std::lock_guard lock(s.objectMutex);
      Complete(s, pending, r);
    }
    return Finish(r, overlapped, transferred);
  }
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

}  // namespace

namespace w98 {
int32_t lastDeviceStatus() { return t_lastDeviceStatus; }
}  // namespace w98

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD, HANDLE) {
  auto& session = UserSession::current();
  DeviceFiles* devices = session.options().devices;
  // Only devices are opened here, and only as they exist.
  if (!lpFileName || std::strncmp(lpFileName, "\\\\.\\", 4) != 0 || dwCreationDisposition != OPEN_EXISTING ||
      !devices) {
    SetLastError(lpFileName ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const DeviceFiles::Result r = devices->open(lpFileName);
  t_lastDeviceStatus = r.status;
  if (r.status < 0) {
    SetLastError(Win32Error(r.status));
    return INVALID_HANDLE_VALUE;
  }
  auto& s = session.impl();
  std::lock_guard lock(s.objectMutex);
  const uintptr_t handle = s.nextObject++;
  s.files[handle].device = r.information;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  return Transfer(hFile, lpNumberOfBytesWritten, lpOverlapped, [&](DeviceFiles& d, uint64_t device) {
    return d.write(device, lpBuffer, nNumberOfBytesToWrite);
  });
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  return Transfer(hFile, lpNumberOfBytesRead, lpOverlapped, [&](DeviceFiles& d, uint64_t device) {
    return d.read(device, lpBuffer, nNumberOfBytesToRead);
  });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  return Transfer(hDevice, lpBytesReturned, lpOverlapped, [&](DeviceFiles& d, uint64_t device) {
    return d.control(device, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize);
  });
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  auto& s = state();
  std::shared_ptr<UserSession::Impl::Pending> pending;
  {
    std::lock_guard lock(s.objectMutex);
    auto f = s.files.find(reinterpret_cast<uintptr_t>(hFile));
    if (f == s.files.end() || !lpOverlapped) {
      SetLastError(f == s.files.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto p = f->second.pending.find(lpOverlapped);
    if (p == f->second.pending.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    pending = p->second;
  }
  bool taken = false;
  {
    std::lock_guard lock(s.objectMutex);
    taken = pending->result.has_value();
  }
  if (!bWait && !taken && !pending->operation->completed()) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  const DeviceFiles::Result r = *pending->operation->wait(-1);
  {
    std::lock_guard lock(s.objectMutex);
    Complete(s, pending, r);
    // The OVERLAPPED is the caller's again.
    auto f = s.files.find(reinterpret_cast<uintptr_t>(hFile));
    if (f != s.files.end()) f->second.pending.erase(lpOverlapped);
  }
  return Finish(r, lpOverlapped, lpNumberOfBytesTransferred);
}

// Cancels every request of the handle still running (IoCancelIrp on each); they complete, with whatever they
// moved, as the driver completes a cancelled request.
BOOL WINAPI CancelIo(HANDLE hFile) {
  auto& s = state();
  std::vector<std::shared_ptr<UserSession::Impl::Pending>> running;
  {
    std::lock_guard lock(s.objectMutex);
    auto f = s.files.find(reinterpret_cast<uintptr_t>(hFile));
    if (f == s.files.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    for (auto& [overlapped, pending] : f->second.pending)
      if (!pending->result) running.push_back(pending);
  }
  for (auto& pending : running) pending->operation->cancel();
  return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  auto& s = state();
  std::lock_guard lock(s.objectMutex);
  const uintptr_t handle = s.nextObject++;
  s.events[handle] = {bManualReset != FALSE, bInitialState != FALSE, nullptr};
  return reinterpret_cast<HANDLE>(handle);
}

namespace {
BOOL SetEventState(HANDLE hEvent, bool signaled) {
  auto& s = state();
  std::lock_guard lock(s.objectMutex);
  auto e = s.events.find(reinterpret_cast<uintptr_t>(hEvent));
  if (e == s.events.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->second.signaled = signaled;
  return TRUE;
}
}  // namespace

BOOL WINAPI SetEvent(HANDLE hEvent) { return SetEventState(hEvent, true); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return SetEventState(hEvent, false); }

// Events only: an event bound to a running request waits for that request on the virtual clock.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto& s = state();
  std::shared_ptr<UserSession::Impl::Pending> pending;
  {
    std::lock_guard lock(s.objectMutex);
    auto e = s.events.find(reinterpret_cast<uintptr_t>(hHandle));
    if (e == s.events.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (e->second.signaled) {
      if (!e->second.manualReset) e->second.signaled = false;
      return WAIT_OBJECT_0;
    }
    pending = e->second.request;
  }
  // An event that nothing will signal: only a time-out ends the wait, and this machine has no other waiter
  // that could set it, so the time-out is reported at once.
  if (!pending) return WAIT_TIMEOUT;
  const int64_t timeout =
      dwMilliseconds == INFINITE ? -1 : static_cast<int64_t>(dwMilliseconds) * kTicksPerMillisecond;
  const auto r = pending->operation->wait(timeout);
  if (!r) return WAIT_TIMEOUT;
  std::lock_guard lock(s.objectMutex);
  Complete(s, pending, *r);
  auto e = s.events.find(reinterpret_cast<uintptr_t>(hHandle));
  if (e != s.events.end() && !e->second.manualReset) e->second.signaled = false;
  return WAIT_OBJECT_0;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  auto& session = UserSession::current();
  auto& s = session.impl();
  uint64_t device = 0;
  {
    std::lock_guard lock(s.objectMutex);
    const uintptr_t h = reinterpret_cast<uintptr_t>(hObject);
    if (s.events.erase(h)) return TRUE;
    auto f = s.files.find(h);
    if (f == s.files.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    device = f->second.device;
    s.files.erase(f);
  }
  // The kernel waits for the handle's requests before it closes the device.
  const int32_t status = session.options().devices ? session.options().devices->close(device) : 0;
  t_lastDeviceStatus = status;
  if (status < 0) {
    SetLastError(Win32Error(status));
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
