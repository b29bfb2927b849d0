#include "cable_port.h"

#include "bounded_text.h"
#include "oslnk_ioctl.h"
#include "oslnk_names.h"
#include "registry_number.h"

namespace cable_port {

const char kMonitorName[] = "Molvex USB Cable Port Monitor";
const char kPortDescription[] = "Molvex USB printer cable";

namespace {

const char kCableHardwareKey[] = "USB\\VID_0F1B&PID_1002";
const char kPortsKey[] = "System\\CurrentControlSet\\Control\\Print\\Ports";
const char kMonitorPortsKey[] =
    "System\\CurrentControlSet\\Control\\Print\\Monitors\\Molvex USB Cable Port Monitor\\Ports";
const char kDevicePathPrefix[] = OSLNK_USER_PATH_PREFIX;  // "\\.\KVUSB"
const int kKeyNameSize = user_kit::kPathSize;

// Where the cable's keys are. Windows 98: device keys under Enum, driver keys under Services\Class; the
// NT family (and Wine, which loads the monitor through InitializePrintMonitor2): both under the control set.
struct RegistryLayout {
  const char* devices;  // the cable's device keys, one per instance, each with its "Driver" value
  const char* drivers;  // what "Driver" is relative to
};
const RegistryLayout kLayouts[] = {
    {"Enum\\USB\\VID_0F1B&PID_1002", "System\\CurrentControlSet\\Services\\Class"},
    {"System\\CurrentControlSet\\Enum\\USB\\VID_0F1B&PID_1002", "System\\CurrentControlSet\\Control\\Class"},
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int PortNumber(const char* canonical) { 
  int n = 0;
  for (const char* p = canonical + sizeof OSLNK_PORT_NAME_PREFIX - 1; *p; ++p) n = n * 10 + (*p - '0');
  return n;
}

// A REG_SZ value into `text` (`size` bytes), always terminated. FALSE when absent, not a string or too long.
BOOL QueryString(HKEY key, const char* name, char* text, DWORD size) {
  DWORD type = 0;
  DWORD length = size - 1;
  user_kit::Fill(text, static_cast<int>(size));
  if (RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE*>(text), &length) != ERROR_SUCCESS)
    return FALSE;
  text[size - 1] = '\0';
  return type == REG_SZ;
}

// The cable's port as its driver key `driver` (relative to `layout.drivers`) publishes it.
BOOL ReadDriverKey(const RegistryLayout& layout, const char* driver, CablePortInfo* port) {
  char path[kKeyNameSize * 2];
  user_kit::Text text(path, sizeof path);
  if (text.Append(layout.drivers).Append("\\").Append(driver).Overflowed()) return FALSE;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
  char name[kKeyNameSize];
  // A cable that has gone has its "Port Name" written empty; that fails CanonicalPortName.
  BOOL found = QueryString(key, OSLNK_PORT_NAME_VALUE, name, sizeof name) && CanonicalPortName(name, port->name);
  if (found) {
    // REG_DWORD, or REG_BINARY as Windows 98's installer writes it; anything else: the driver's default.
    port->maxTransferSize = kDefaultMaxTransferSize;
    user_kit::QueryNumberValue(key, OSLNK_VALUE_MAX_TRANSFER_SIZE, &port->maxTransferSize);
  }
  RegCloseKey(key);
  return found;
}

}  // namespace

BOOL CanonicalPortName(const char* text, char* canonical) {
  if (!text) return FALSE;
  const char prefix[] = OSLNK_PORT_NAME_PREFIX;
  const int prefixLength = sizeof prefix - 1;
  int i = 0;
  for (; i < prefixLength; ++i)
    if (Upper(text[i]) != prefix[i]) return FALSE;
  int number = 0, digits = 0;
  for (; text[i]; ++i, ++digits) {
    if (text[i] < '0' || text[i] > '9' || digits == 3) return FALSE;
    if (digits == 0 && text[i] == '0') return FALSE;
    number = number * 10 + (text[i] - '0');
  }
  if (number < 1 || number > OSLNK_PORT_COUNT) return FALSE;
  for (int j = 0; j < prefixLength; ++j) canonical[j] = prefix[j];
  for (int j = 0; j < digits; ++j) canonical[prefixLength + j] = text[prefixLength + j];
  canonical[prefixLength + digits] = '\0';
  return TRUE;
}

int FindCablePorts(CablePortInfo* ports, int capacity) {
  int count = 0;
  for (unsigned l = 0; l < sizeof kLayouts / sizeof kLayouts[0]; ++l) {
    HKEY devices;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLayouts[l].devices, 0, KEY_READ, &devices) != ERROR_SUCCESS) continue;
    char instance[kKeyNameSize];
    for (DWORD index = 0; count < capacity; ++index) {
      DWORD length = sizeof instance;
      if (RegEnumKeyExA(devices, index, instance, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
      HKEY device;
      if (RegOpenKeyExA(devices, instance, 0, KEY_READ, &device) != ERROR_SUCCESS) continue;
      char driver[kKeyNameSize];
      CablePortInfo port;
      if (QueryString(device, "Driver", driver, sizeof driver) && ReadDriverKey(kLayouts[l], driver, &port)) {
        BOOL duplicate = FALSE;
        for (int i = 0; i < count; ++i)
          if (PortNumber(ports[i].name) == PortNumber(port.name)) duplicate = TRUE;
        if (!duplicate) {
          // Kept in port-number order.
          int at = count++;
          while (at > 0 && PortNumber(ports[at - 1].name) > PortNumber(port.name)) {
            ports[at] = ports[at - 1];
            --at;
          }
          ports[at] = port;
        }
      }
      RegCloseKey(device);
    }
    RegCloseKey(devices);
  }
  return count;
}

BOOL FindCablePort(const char* name, CablePortInfo* port) {
  CablePortInfo ports[kMaxPorts];
  const int count = FindCablePorts(ports, kMaxPorts);
  for (int i = 0; i < count; ++i) {
    if (PortNumber(ports[i].name) == PortNumber(name)) {
      *port = ports[i];
      return TRUE;
    }
  }
  return FALSE;
}

LONG KeepPortKey(const char* name) {
  char canonical[kPortNameSize];
  if (!CanonicalPortName(name, canonical)) return ERROR_INVALID_NAME;
  // The spooler's list of ports, and the monitor's own Ports key, by which an NT-style spooler finds the monitor
  // of a port it prints to.
  const char* const parents[] = {kPortsKey, kMonitorPortsKey};
  for (unsigned i = 0; i < sizeof parents / sizeof parents[0]; ++i) {
    char path[kKeyNameSize];
    user_kit::Text text(path, sizeof path);
    if (text.Append(parents[i]).Append("\\").Append(canonical).Overflowed()) return ERROR_INVALID_NAME;
    HKEY key;
    DWORD disposition;
    const LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE, NULL, &key, &disposition);
    if (result != ERROR_SUCCESS) return result;
    RegCloseKey(key);
  }
  return ERROR_SUCCESS;
}

template <typename Char>
BOOL EnumPorts(DWORD level, BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
  if (!needed || !returned) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *needed = 0;
  *returned = 0;
  if (level != 1 && level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  CablePortInfo ports[kMaxPorts];
  const int count = FindCablePorts(ports, kMaxPorts);
  // A port the spooler is shown has its keys, so that a printer set up on it finds this monitor again (a cable
  // plugged in after the monitor was loaded gets them here).
  for (int i = 0; i < count; ++i) KeepPortKey(ports[i].name);
  const DWORD record = level == 1 ? sizeof(PortInfo1<Char>) : sizeof(PortInfo2<Char>);
  const int monitorLength = user_kit::Length(kMonitorName) + 1;
  const int descriptionLength = user_kit::Length(kPortDescription) + 1;
  DWORD total = 0;
  for (int i = 0; i < count; ++i) {
    total += record + (user_kit::Length(ports[i].name) + 1) * sizeof(Char);
    if (level == 2) total += (monitorLength + descriptionLength) * sizeof(Char);
  }
  *needed = total;
  if (size < total || (total && !buffer)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // Strings go after every record, in the order of the records.
  Char* strings = reinterpret_cast<Char*>(buffer + record * count);
  auto copy = [&strings](const char* text) {
    Char* start = strings;
    int i = 0;
    for (; text[i]; ++i) strings[i] = static_cast<Char>(static_cast<unsigned char>(text[i]));
    strings[i] = 0;
    strings += i + 1;
    return start;
  };
  for (int i = 0; i < count; ++i) {
    if (level == 1) {
      PortInfo1<Char>* info = reinterpret_cast<PortInfo1<Char>*>(buffer) + i;
      info->pName = copy(ports[i].name);
    } else {
      PortInfo2<Char>* info = reinterpret_cast<PortInfo2<Char>*>(buffer) + i;
      info->pPortName = copy(ports[i].name);
      info->pMonitorName = copy(kMonitorName);
      info->pDescription = copy(kPortDescription);
      info->fPortType = kPortTypes;
      info->Reserved = 0;
    }
  }
  *returned = static_cast<DWORD>(count);
  return TRUE;
}

template BOOL EnumPorts<char>(DWORD, BYTE*, DWORD, DWORD*, DWORD*);
#ifdef _WIN32
template BOOL EnumPorts<WCHAR>(DWORD, BYTE*, DWORD, DWORD*, DWORD*);
#endif

namespace {

// Finishes one overlapped request: waits for it at most the job's time-out, cancels it then (CancelIo) and
// takes what it did. Returns the request's own success; *done is its byte count in either case.
BOOL FinishRequest(PortJob* job, BOOL started, OVERLAPPED* overlapped, DWORD* done) {
  *done = 0;
  if (!started) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      job->error = error;
      return FALSE;
    }
    const DWORD waited = WaitForSingleObject(job->event, job->timeoutMs);
    if (waited != WAIT_OBJECT_0) {
      // Not done in time (a printer out of paper refuses bytes for ever), or the wait itself failed: cancelled,
      // so that the wait for its result below ends; the request's byte count still counts, since those bytes
      // reached the printer.
      const DWORD waitError = GetLastError();
      CancelIo(job->device);
      if (waited == WAIT_TIMEOUT) {
        job->timedOut = TRUE;
      } else {
        GetOverlappedResult(job->device, overlapped, done, TRUE);
        job->error = waitError ? waitError : ERROR_GEN_FAILURE;
        return FALSE;
      }
    }
  }
  const BOOL ok = GetOverlappedResult(job->device, overlapped, done, TRUE);
  if (!ok) job->error = GetLastError();
  return ok;
}

// A fresh OVERLAPPED for the next request on the job's device, signalling the job's (manual-reset) event.
void PrepareRequest(PortJob* job, OVERLAPPED* overlapped) {
  user_kit::Fill(overlapped, sizeof *overlapped);
  overlapped->hEvent = job->event;
  ResetEvent(job->event);
}

// A new document's counters and state.
void ResetDocument(PortJob* job) {
  job->requests = 0;
  job->accepted = 0;
  job->documentFailed = FALSE;
  job->writeLimit = job->cable.maxTransferSize ? job->cable.maxTransferSize : 1;
  job->largestAccepted = 0;
  job->smallestRefused = 0;
  job->failed = FALSE;
  job->timedOut = FALSE;
  job->error = 0;
  job->emptyWrites = 0;
  job->resetPipe = FALSE;
}

// Whether the driver refused a request of `piece` bytes for its size (nothing moved, STATUS_INVALID_PARAMETER);
// the next request is then smaller: the driver's limit lies between the largest size it took and this one. A
// size it took before and refuses now means its limit fell (another cable's AddDevice set it): what it took says
// nothing any more. Each refusal makes the size smaller, so a refusal for another reason ends at size 1.
BOOL RefusedForItsSize(PortJob* job, BOOL ok, DWORD done, DWORD piece) {
  if (ok || job->timedOut || done != 0 || job->error != ERROR_INVALID_PARAMETER || piece <= 1) return FALSE;
  if (piece <= job->largestAccepted) job->largestAccepted = 0;
  job->smallestRefused = piece;
  job->writeLimit = (job->largestAccepted + piece) / 2;
  if (job->writeLimit == 0) job->writeLimit = 1;
  job->error = 0;
  return TRUE;
}

void Fail(PortJob* job, DWORD error) {
  job->failed = TRUE;
  job->documentFailed = TRUE;
  job->resetPipe = TRUE;
  if (!job->error) job->error = error;
}

// A failed or cancelled write can leave the cable's write pipe halted. The driver clears it
// (IOCTL_KVUSB_RESET_PIPE) without touching the printer, so that a retry's bytes follow those accepted. Its
// own result decides nothing: a pipe that stays halted fails the write that follows, which reports it.
void ResetWritePipe(PortJob* job) {
  job->resetPipe = FALSE;
  OVERLAPPED overlapped;
  PrepareRequest(job, &overlapped);
  DWORD returned = 0;
  const BOOL started =
      DeviceIoControl(job->device, IOCTL_KVUSB_RESET_PIPE, NULL, 0, NULL, 0, &returned, &overlapped);
  FinishRequest(job, started, &overlapped, &returned);
  job->timedOut = FALSE;
  job->error = 0;
}

}  // namespace

BOOL OpenPort(const char* name, PortJob* job) {
  // Any well-formed port name opens: the spooler opens the ports of its printers when it starts, and a cable
  // may be plugged in later. Which cable serves the port is looked up when a document starts.
  if (!job || !CanonicalPortName(name, job->cable.name)) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  job->cable.maxTransferSize = kDefaultMaxTransferSize;
  job->device = INVALID_HANDLE_VALUE;
  // Manual reset: each request resets it when it starts.
  job->event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!job->event) return FALSE;
  job->timeoutMs = kDefaultTimeoutMs;
  ResetDocument(job);
  return TRUE;
}

BOOL StartDocPort(PortJob* job) {
  if (job->device != INVALID_HANDLE_VALUE) EndDocPort(job);
  char path[sizeof kDevicePathPrefix + kPortNameSize];
  user_kit::Text text(path, sizeof path);
  text.Append("\\\\.\\").Append(job->cable.name);
  // The cable's MaxTransferSize, as its driver key says now (the driver's default without a cable: the open
  // below fails then).
  CablePortInfo now;
  job->cable.maxTransferSize = FindCablePort(job->cable.name, &now) ? now.maxTransferSize : kDefaultMaxTransferSize;
  ResetDocument(job);
  job->device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  if (job->device == INVALID_HANDLE_VALUE) {
    Fail(job, GetLastError());
    SetLastError(job->error);
    return FALSE;
  }
  return TRUE;
}

BOOL WritePort(PortJob* job, const BYTE* data, DWORD size, DWORD* written) {
  if (written) *written = 0;
  if (!written || (!data && size)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (job->device == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Each call is judged on its own: after a failure the spooler retries with the bytes that were not accepted
  // (Windows 98 asks the user first), which continues the document in order since the count was exact.
  job->failed = FALSE;
  job->timedOut = FALSE;
  job->error = 0;
  if (job->resetPipe) ResetWritePipe(job);
  while (*written < size) {
    const DWORD remaining = size - *written;
    const DWORD piece = remaining < job->writeLimit ? remaining : job->writeLimit;
    OVERLAPPED overlapped;
    PrepareRequest(job, &overlapped);
    DWORD done = 0;
    const BOOL started = WriteFile(job->device, data + *written, piece, &done, &overlapped);
    ++job->requests;
    const BOOL ok = FinishRequest(job, started, &overlapped, &done);
    if (RefusedForItsSize(job, ok, done, piece)) continue;
    if (done > piece) done = piece;
    if (ok && done == piece && piece > job->largestAccepted) {
      job->largestAccepted = piece;
      // Taken: a size between this and the smallest refused may be taken too. Each guess costs at most one
      // refused request, and the sizes meet the driver's limit within a few.
      if (piece == job->writeLimit && job->smallestRefused > piece + 1)
        job->writeLimit = piece + (job->smallestRefused - piece) / 2;
    }
    *written += done;
    job->accepted += done;
    if (job->timedOut) {
      job->error = ERROR_SEM_TIMEOUT;
      Fail(job, ERROR_SEM_TIMEOUT);
      break;
    }
    if (!ok) {
      Fail(job, job->error ? job->error : ERROR_GEN_FAILURE);
      break;
    }
    job->emptyWrites = done == 0 ? job->emptyWrites + 1 : 0;
    if (job->emptyWrites >= kMaxEmptyWrites) {
      job->emptyWrites = 0;
      Fail(job, ERROR_SEM_TIMEOUT);
      break;
    }
  }
  if (job->failed) {
    SetLastError(job->error);
    return FALSE;
  }
  return TRUE;
}

BOOL ReadPort(PortJob* job, BYTE* buffer, DWORD size, DWORD* read) {
  if (read) *read = 0;
  if (!read || !buffer || !size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (job->device == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const DWORD savedError = job->error;
  const BOOL savedTimedOut = job->timedOut;
  job->error = 0;
  job->timedOut = FALSE;
  BOOL ok;
  for (;;) {
    const DWORD request = size < job->writeLimit ? size : job->writeLimit;
    OVERLAPPED overlapped;
    PrepareRequest(job, &overlapped);
    const BOOL started = ReadFile(job->device, buffer, request, read, &overlapped);
    ok = FinishRequest(job, started, &overlapped, read);
    // Never more than was asked for, whatever the driver reports: the spooler's buffer ends there.
    if (*read > request) *read = request;
    if (!RefusedForItsSize(job, ok, *read, request)) break;
  }
  const DWORD error = job->timedOut ? ERROR_SEM_TIMEOUT : job->error;
  // A read does not decide the document's fate.
  job->error = savedError;
  job->timedOut = savedTimedOut;
  if (error && ok) ok = FALSE;
  if (!ok) SetLastError(error ? error : ERROR_GEN_FAILURE);
  return ok;
}

BOOL EndDocPort(PortJob* job) {
  if (job->device != INVALID_HANDLE_VALUE) {
    CloseHandle(job->device);
    job->device = INVALID_HANDLE_VALUE;
  }
  if (job->documentFailed) {
    SetLastError(job->error ? job->error : ERROR_GEN_FAILURE);
    return FALSE;
  }
  return TRUE;
}

BOOL ClosePort(PortJob* job) {
  EndDocPort(job);
  if (job->event) {
    CloseHandle(job->event);
    job->event = NULL;
  }
  return TRUE;
}

}  // namespace cable_port
