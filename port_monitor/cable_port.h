// The port monitor's logic for the cable's ports, over the Win32 API: which ports exist (one per cable, named by
// the "Port Name" its driver publishes), and one print job on a port: open \\.\KVUSB<n>, write the job in
// requests of at most the cable's MaxTransferSize bytes, each within a time-out after which it is cancelled,
// and report the exact count of bytes the printer accepted. reveror.dll puts the spooler's entry points over
// it; on the host target the ostrolink tool's port monitor runs the same code over the emulated Win32 layer.
//
// User-mode image code: no exceptions, RTTI, standard library, static constructors or `new`; fixed buffers.
#pragma once

#include <windows.h>

#include "oslnk_names.h"

namespace cable_port {

const int kPortNameSize = OSLNK_PORT_NAME_MAX;  // "KVUSB128" and its terminator
const DWORD kDefaultMaxTransferSize = OSLNK_DEFAULT_MAX_TRANSFER_SIZE;  // when the driver key has no usable value
const DWORD kDefaultTimeoutMs = 30000;       // a write request still running after this is cancelled
const int kMaxPorts = 128;
// Successful writes that move nothing: a printer that takes no byte for this many requests in a row is given up
// on rather than written to for ever.
const int kMaxEmptyWrites = 3;
// What EnumPorts reports for each port.
const DWORD kPortTypes = 0x0001 | 0x0002;  // PORT_TYPE_WRITE | PORT_TYPE_READ
extern const char kMonitorName[];
extern const char kPortDescription[];

// A cable's port as the registry shows it.
struct CablePortInfo {
  char name[kPortNameSize];
  DWORD maxTransferSize;
};

// "KVUSB3" into `canonical` (kPortNameSize bytes) from any spelling of KVUSB followed by a port number 1..128
// without leading zeros. FALSE for anything else (null included).
BOOL CanonicalPortName(const char* text, char* canonical);

// The ports of the cables present, in port-number order, at most `capacity`. Returns how many were stored.
int FindCablePorts(CablePortInfo* ports, int capacity);
// The cable that publishes `name` (canonical). FALSE when no cable present does.
BOOL FindCablePort(const char* name, CablePortInfo* port);

// Keeps the port's keys: System\CurrentControlSet\Control\Print\Ports\<name>, the spooler's list of ports (the
// removal program deletes the keys whose names begin with KVUSB), and <name> under the monitor's own key
// Control\Print\Monitors\Molvex USB Cable Port Monitor\Ports, where NT-style spoolers look up a port's monitor
// (deleted with the monitor's key). Returns a Win32 error code.
LONG KeepPortKey(const char* name);

// EnumPorts, level 1 or 2, in the spooler's layout (and KeepPortKey for each port listed): the records first, the strings after them, all in `buffer`.
// `Char` is char (ANSI spoolers) or a 16-bit unit (NT-style spoolers). FALSE with ERROR_INSUFFICIENT_BUFFER
// (and *needed set) when the buffer is too small, ERROR_INVALID_LEVEL for another level.
template <typename Char> struct PortInfo1 { Char* pName; };
template <typename Char> struct PortInfo2 {
  Char* pPortName;
  Char* pMonitorName;
  Char* pDescription;
  DWORD fPortType;
  DWORD Reserved;
};
template <typename Char>
BOOL EnumPorts(DWORD level, BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned);

// One open port and the job on it. All fields are the monitor's own; callers read the counters.
struct PortJob {
  CablePortInfo cable;
  HANDLE device;           // INVALID_HANDLE_VALUE outside a document
  HANDLE event;            // of the overlapped requests
  DWORD timeoutMs;         // per request
  DWORD requests;          // requests sent in this document
  DWORD accepted;          // bytes the printer accepted in this document
  BOOL documentFailed;     // a WritePort of this document failed: EndDocPort reports it, whatever came after
  // The driver accepts writes up to its own MaxTransferSize, one value for all cables (the one the cable plugged
  // last had), which need not be this cable's. A write it refuses for its size is sent again smaller:
  DWORD writeLimit;        // the size of the requests sent now
  DWORD largestAccepted;   // the largest request the driver took in this document (since its limit last fell)
  DWORD smallestRefused;   // the smallest it refused for its size (0: none)
  // Of the last WritePort (a later one that succeeds, the spooler's retry, clears them):
  BOOL failed;             // one of its requests failed
  BOOL timedOut;           // one of its requests did not finish in time and was cancelled
  DWORD error;             // Win32 error of the failure (0 while none)
  int emptyWrites;
  BOOL resetPipe;          // a write failed: the next one first clears the write pipe
};

// OpenPort: FALSE with ERROR_INVALID_NAME for a name that is not KVUSB<n>. The port need not have a cable yet.
BOOL OpenPort(const char* name, PortJob* job);
// StartDocPort: reads the cable's MaxTransferSize (REG_DWORD or 4-byte REG_BINARY) and opens \\.\<port> for overlapped I/O. FALSE with the
// error of the open (ERROR_FILE_NOT_FOUND when no cable serves the port).
BOOL StartDocPort(PortJob* job);
// WritePort: writes `size` bytes in requests of at most MaxTransferSize, smaller where the driver refuses that
// size; *written is the count the printer accepted, also when the call fails (FALSE, GetLastError tells why; a
// time-out gives ERROR_SEM_TIMEOUT). A call after a failure goes on with the document: the spooler's retry of
// the bytes not accepted. The document stays failed (EndDocPort) until the next StartDocPort: the monitor cannot
// tell a retry from new data.
BOOL WritePort(PortJob* job, const BYTE* data, DWORD size, DWORD* written);
// ReadPort: one read request on the cable of at most MaxTransferSize bytes.
BOOL ReadPort(PortJob* job, BYTE* buffer, DWORD size, DWORD* read);
// EndDocPort: closes the device. FALSE when a WritePort of the document failed (it may not have been written
// whole).
BOOL EndDocPort(PortJob* job);
// ClosePort: ends a document still open and frees the job's event.
BOOL ClosePort(PortJob* job);

}  // namespace cable_port
