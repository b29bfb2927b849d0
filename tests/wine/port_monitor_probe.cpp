// port_monitor_probe.exe: the port monitor reveror.dll under Wine, over the simulated cable bus, one step per
// sub-command so that other Wine tests (the product's whole life) can run the steps they need:
//
//   install DRIVER_INF|- BUS_INF     copies the driver's INF (- : already offered by setup) and installs the bus
//   plug SLOT [PRINTER_ID]           plugs a cable; waits until its \\.\KVUSB<n> opens
//   add-monitor OSLNKIN_DLL|- DLL    adds "Molvex USB Cable Port Monitor" with DLL through oslnkin.dll's AddMonitor32
//                                    (- : through the spooler's AddMonitorA)
//   spooler PORT...                  EnumMonitors shows the monitor, EnumPorts shows each PORT as its port
//   job DLL TABLE SLOT PORT SIZE PIECE
//                                    a job of SIZE bytes through the monitor's function table, TABLE 9x
//                                    (InitializeMonitorEx, Windows 98) or nt (InitializePrintMonitor2), as the
//                                    spooler calls it: OpenPort, StartDocPort, WritePort per PIECE, EndDocPort,
//                                    ClosePort; the printer must receive it byte for byte
//   paper-out DLL SLOT PORT          the printer runs out of paper part-way through one WritePort: it fails
//                                    after the port's time-out with exactly the count the printer received;
//                                    with paper back, the spooler's retry of the rest completes the job
//   write-printer SLOT PORT SIZE     a raw job through the spooler (AddPrinter on PORT with the driver
//                                    "Generic / Text Only", StartDocPrinter, WritePrinter, EndDocPrinter) must
//                                    reach the printer through the monitor
//
// Prints one line per check ("ok" / "FAIL"); exit code 0 when every check of the step held.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <winspool.h>
#define InitializeMonitorEx InitializeMonitorExNt
#include <winsplp.h>
#undef InitializeMonitorEx

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cable_bus/bus_client.h"
#include "cable_bus/bus_control.h"

namespace {

using namespace bus_client;

const char kMonitorName[] = "Molvex USB Cable Port Monitor";

// ------------------------------------------------------------------ the cable bus

void setPaperEmpty(unsigned slot, bool empty) {
  BusPrinterRequest r{slot, empty, 0};
  if (!busCall(IOCTL_BUS_SET_PRINTER, &r, sizeof r)) fatal("setting the printer's paper line");
}

std::vector<unsigned char> jobData(size_t size, unsigned seed) {
  std::vector<unsigned char> job(size);
  for (auto& b : job) b = (unsigned char)((seed = seed * 1103515245u + 12345u) >> 16);
  return job;
}

// What the printer received since `before` bytes, compared with `want`.
bool receivedExactly(unsigned slot, size_t before, const unsigned char* want, size_t size, size_t* got) {
  std::vector<unsigned char> all = printed(slot);
  *got = all.size() - before;
  return all.size() >= before && *got == size && std::memcmp(all.data() + before, want, size) == 0;
}

// ------------------------------------------------------------------ the monitor's tables

// The Windows 95/98 spooler's MONITOR table (ANSI strings, no Xcv entries).
struct Monitor9x {
  BOOL(WINAPI* pfnEnumPorts)(LPSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
  BOOL(WINAPI* pfnOpenPort)(LPSTR, PHANDLE);
  BOOL(WINAPI* pfnOpenPortEx)(LPSTR, LPSTR, PHANDLE, void*);
  BOOL(WINAPI* pfnStartDocPort)(HANDLE, LPSTR, DWORD, DWORD, LPBYTE);
  BOOL(WINAPI* pfnWritePort)(HANDLE, LPBYTE, DWORD, LPDWORD);
  BOOL(WINAPI* pfnReadPort)(HANDLE, LPBYTE, DWORD, LPDWORD);
  BOOL(WINAPI* pfnEndDocPort)(HANDLE);
  BOOL(WINAPI* pfnClosePort)(HANDLE);
  void* rest[6];
};

// One port as a spooler drives it, through either table.
struct Port {
  HANDLE handle = nullptr;
  Monitor9x* table9x = nullptr;
  MONITOR2* table2 = nullptr;
  HANDLE monitor = nullptr;

  bool open(const char* name) {
    if (table9x) return table9x->pfnOpenPort(const_cast<char*>(name), &handle);
    WCHAR wide[32];
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 32);
    return table2->pfnOpenPort(monitor, wide, &handle);
  }
  bool startDoc(DWORD jobId) {
    DOC_INFO_1A doc = {const_cast<char*>("probe"), nullptr, const_cast<char*>("RAW")};
    return (table9x ? table9x->pfnStartDocPort(handle, const_cast<char*>("Probe"), jobId, 1, (BYTE*)&doc)
                    : table2->pfnStartDocPort(handle, const_cast<WCHAR*>(L"Probe"), jobId, 1, (BYTE*)&doc)) != FALSE;
  }
  BOOL write(const unsigned char* data, DWORD size, DWORD* written) {
    return (table9x ? table9x->pfnWritePort : table2->pfnWritePort)(handle, const_cast<BYTE*>(data), size, written);
  }
  bool endDoc() { return (table9x ? table9x->pfnEndDocPort : table2->pfnEndDocPort)(handle) != FALSE; }
  bool close() { return (table9x ? table9x->pfnClosePort : table2->pfnClosePort)(handle) != FALSE; }
};

// Loads the monitor as a spooler does: `nt` through InitializePrintMonitor2 with the monitor's registry key,
// else through InitializeMonitorEx with a table the size of Windows 98's, guarded at its end.
Port loadMonitor(const char* dll, bool nt) {
  static Monitor9x table9x[2];
  Port port;
  HMODULE module = LoadLibraryA(dll);
  if (!module) fatal("loading the monitor");
  if (nt) {
    typedef MONITOR2*(WINAPI * Init2)(MONITORINIT*, HANDLE*);
    auto init = (Init2)GetProcAddress(module, "InitializePrintMonitor2");
    if (!init) fatal("InitializePrintMonitor2 is not exported");
    std::string root = std::string("System\\CurrentControlSet\\Control\\Print\\Monitors\\") + kMonitorName;
    HKEY key = nullptr;
    RegCreateKeyA(HKEY_LOCAL_MACHINE, root.c_str(), &key);
    MONITORINIT mi = {};
    mi.cbSize = sizeof mi;
    mi.hckRegistryRoot = key;
    mi.bLocal = TRUE;
    port.table2 = init(&mi, &port.monitor);
    check(port.table2 && port.table2->cbSize >= offsetof(MONITOR2, pfnShutdown) + sizeof(void*) &&
              port.table2->pfnOpenPort && port.table2->pfnWritePort,
          "InitializePrintMonitor2 gives a MONITOR2 of %lu bytes", port.table2 ? port.table2->cbSize : 0);
  } else {
    typedef BOOL(WINAPI * InitEx)(LPSTR, Monitor9x*);
    auto init = (InitEx)GetProcAddress(module, "InitializeMonitorEx");
    if (!init) fatal("InitializeMonitorEx is not exported");
    std::memset(table9x, 0xA5, sizeof table9x);
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Molvex USB Cable Port Monitor";
    BOOL ok = init(root, &table9x[0]);
    bool guardKept = true;
    for (size_t i = 0; i < sizeof table9x[1]; ++i) guardKept = guardKept && ((unsigned char*)&table9x[1])[i] == 0xA5;
    port.table9x = &table9x[0];
    check(ok && guardKept && table9x[0].pfnOpenPort && table9x[0].pfnWritePort,
          "InitializeMonitorEx fills the Windows 98 table and writes nothing past it");
  }
  if (!port.table9x && !port.table2) std::exit(1);
  return port;
}

// ------------------------------------------------------------------ sub-commands

void plug(unsigned slot, const char* printerId) {
  BusPlugRequest r = printerRequest(slot, printerId);
  if (!busCall(IOCTL_BUS_PLUG, &r, sizeof r)) fatal("plugging a cable");
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\KVUSB%u", slot + 1);
  HANDLE h = openWhenThere(path);
  check(h != INVALID_HANDLE_VALUE, "cable plugged into slot %u, %s opens", slot, path);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

void addMonitor(const char* helper, const char* dll) {
  MONITOR_INFO_2A info = {const_cast<char*>(kMonitorName), const_cast<char*>("Windows 4.0"), const_cast<char*>(dll)};
  BOOL ok;
  if (std::strcmp(helper, "-") == 0) {
    ok = AddMonitorA(nullptr, 2, (BYTE*)&info);
  } else {
    HMODULE h = LoadLibraryA(helper);
    typedef BOOL(WINAPI * AddMonitor32Fn)(LPSTR, DWORD, LPBYTE);
    auto add = h ? (AddMonitor32Fn)GetProcAddress(h, "AddMonitor32") : nullptr;
    if (!add) fatal("loading oslnkin.dll's AddMonitor32");
    ok = add(nullptr, 2, (BYTE*)&info);
  }
  check(ok, "AddMonitor of \"%s\" with %s (error %lu)", kMonitorName, dll, ok ? 0 : GetLastError());
}

void spooler(int count, char** ports) {
  DWORD needed = 0, returned = 0;
  EnumMonitorsA(nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed + 1);
  bool found = false;
  std::string dll;
  if (EnumMonitorsA(nullptr, 2, buffer.data(), needed, &needed, &returned)) {
    auto* mi = (MONITOR_INFO_2A*)buffer.data();
    for (DWORD i = 0; i < returned; ++i)
      if (std::strcmp(mi[i].pName, kMonitorName) == 0) {
        found = true;
        dll = mi[i].pDLLName ? mi[i].pDLLName : "";
      }
  }
  check(found, "EnumMonitors shows \"%s\" (%s) among %lu monitors", kMonitorName, dll.c_str(), returned);

  needed = returned = 0;
  EnumPortsA(nullptr, 2, nullptr, 0, &needed, &returned);
  buffer.assign(needed + 1, 0);
  std::string names;
  std::vector<std::string> ours;
  if (EnumPortsA(nullptr, 2, buffer.data(), needed, &needed, &returned)) {
    auto* pi = (PORT_INFO_2A*)buffer.data();
    for (DWORD i = 0; i < returned; ++i) {
      names += std::string(names.empty() ? "" : " ") + pi[i].pPortName;
      if (pi[i].pMonitorName && std::strcmp(pi[i].pMonitorName, kMonitorName) == 0) ours.push_back(pi[i].pPortName);
    }
  }
  for (int i = 0; i < count; ++i) {
    bool listed = false;
    for (const auto& p : ours) listed = listed || p == ports[i];
    check(listed, "EnumPorts shows %s as a port of the monitor (all ports: %s)", ports[i], names.c_str());
  }
}

void job(const char* dll, const char* table, unsigned slot, const char* portName, DWORD size, DWORD piece) {
  Port port = loadMonitor(dll, std::strcmp(table, "nt") == 0);
  const std::vector<unsigned char> data = jobData(size, 777 + size);
  const size_t before = printed(slot).size();
  bool ok = port.open(portName);
  check(ok, "OpenPort %s", portName);
  if (!ok) return;
  check(port.startDoc(1), "StartDocPort (error %lu)", GetLastError());
  DWORD total = 0;
  bool allAccepted = true;
  for (DWORD at = 0; at < size; at += piece) {
    const DWORD want = size - at < piece ? size - at : piece;
    DWORD written = 0;
    if (!port.write(data.data() + at, want, &written) || written != want) {
      check(false, "WritePort of %lu bytes at offset %lu accepted %lu (error %lu)", want, at, written, GetLastError());
      allAccepted = false;
      total += written;
      break;
    }
    total += written;
  }
  check(port.endDoc(), "EndDocPort");
  check(port.close(), "ClosePort");
  size_t got = 0;
  const bool exact = receivedExactly(slot, before, data.data(), size, &got);
  check(allAccepted && total == size && exact,
        "%s table: a job of %lu bytes in WritePort calls of %lu reached the printer byte for byte (%u received)", table,
        size, piece, unsigned(got));
}

struct PaperOutWrite {
  Port* port;
  const std::vector<unsigned char>* data;
  DWORD written;
  BOOL ok;
  DWORD error;
};

DWORD WINAPI paperOutWriter(void* context) {
  auto* w = static_cast<PaperOutWrite*>(context);
  w->ok = w->port->write(w->data->data(), DWORD(w->data->size()), &w->written);
  w->error = w->ok ? 0 : GetLastError();
  return 0;
}

void paperOut(const char* dll, unsigned slot, const char* portName) {
  Port port = loadMonitor(dll, false);
  if (!port.open(portName)) fatal("OpenPort");
  // The spooler's transmission retry: the time-out of each write request, short for the test.
  COMMTIMEOUTS timeouts = {};
  timeouts.WriteTotalTimeoutConstant = 3000;
  auto setTimeouts = (BOOL(WINAPI*)(HANDLE, LPCOMMTIMEOUTS, DWORD))port.table9x->rest[5];
  check(setTimeouts && setTimeouts(port.handle, &timeouts, 0), "SetPortTimeOuts of 3 s");
  if (!port.startDoc(2)) fatal("StartDocPort");
  const std::vector<unsigned char> data = jobData(1024 * 1024, 4242);
  const size_t before = printed(slot).size();
  PaperOutWrite w = {&port, &data, 0, FALSE, 0};
  HANDLE writer = CreateThread(nullptr, 0, paperOutWriter, &w, 0, nullptr);
  // Paper runs out once the printer has taken some of the job.
  size_t now = 0;
  for (int i = 0; i < 20000 && now < 16 * 1024 && WaitForSingleObject(writer, 0) == WAIT_TIMEOUT; ++i) {
    now = printed(slot).size() - before;
    Sleep(1);
  }
  setPaperEmpty(slot, true);
  const DWORD start = GetTickCount();
  const bool ended = WaitForSingleObject(writer, 60000) == WAIT_OBJECT_0;
  const DWORD took = GetTickCount() - start;
  CloseHandle(writer);
  size_t got = 0;
  const bool exact = ended && receivedExactly(slot, before, data.data(), w.written, &got);
  check(ended && !w.ok && w.error == ERROR_SEM_TIMEOUT && w.written > 0 && w.written < data.size(),
        "out of paper part-way: WritePort fails with %lu after %lu ms, %lu of %u bytes accepted", w.error, took,
        w.written, unsigned(data.size()));
  check(exact, "the accepted count is exactly what the printer received (%u bytes), in order", unsigned(got));
  // Paper back, the user answers Retry: the spooler writes the bytes that were not accepted.
  setPaperEmpty(slot, false);
  DWORD rest = 0;
  const BOOL retried = ended && w.written < data.size() &&
                       port.write(data.data() + w.written, DWORD(data.size() - w.written), &rest);
  const bool whole = receivedExactly(slot, before, data.data(), data.size(), &got);
  check(retried && w.written + rest == data.size() && whole,
        "the retry of the remaining %lu bytes completes the job: the printer holds all %u bytes in order (%u received)",
        DWORD(data.size() - w.written), unsigned(data.size()), unsigned(got));
  check(port.endDoc(), "EndDocPort after the retry");
  port.close();
}

// A raw job through the spooler itself: the spooler keeps it in a spool file, and its print processor sends it
// to the port's monitor (OpenPrinter "PORT, Port", StartDocPort, WritePort, EndDocPort).
void writePrinter(unsigned slot, const char* portName, DWORD size) {
  char printerName[] = "Ostrolink probe printer";
  char driver[] = "Generic / Text Only";
  char processor[] = "winprint";
  char raw[] = "RAW";
  PRINTER_INFO_2A info = {};
  info.pPrinterName = printerName;
  info.pPortName = const_cast<char*>(portName);
  info.pDriverName = driver;
  info.pPrintProcessor = processor;
  info.pDatatype = raw;
  HANDLE printer = AddPrinterA(nullptr, 2, (BYTE*)&info);
  check(printer != nullptr, "AddPrinter of a raw printer on %s (error %lu)", portName, printer ? 0 : GetLastError());
  if (!printer) return;
  const std::vector<unsigned char> data = jobData(size, 99);
  const size_t before = printed(slot).size();
  DOC_INFO_1A doc = {const_cast<char*>("probe job"), nullptr, raw};
  DWORD jobId = StartDocPrinterA(printer, 1, (BYTE*)&doc);
  DWORD written = 0;
  BOOL wrote = jobId && WritePrinter(printer, const_cast<unsigned char*>(data.data()), size, &written);
  BOOL ended = jobId && EndDocPrinter(printer);
  check(jobId && wrote && written == size && ended, "StartDocPrinter job %lu, WritePrinter %d (%lu bytes), EndDocPrinter %d",
        jobId, wrote, written, ended);
  // The spooler prints the job after EndDocPrinter; it may take a moment.
  size_t got = 0;
  bool arrived = false;
  for (int i = 0; i < 200 && !arrived; ++i) {
    arrived = receivedExactly(slot, before, data.data(), size, &got);
    if (!arrived) Sleep(50);
  }
  DeletePrinter(printer);
  ClosePrinter(printer);
  check(arrived, "WritePrinter on %s: the job of %lu bytes reached the printer through the monitor byte for byte (%u received)",
        portName, size, unsigned(got));
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "install" && argc == 4) {
    install(std::strcmp(argv[2], "-") == 0 ? nullptr : argv[2], argv[3]);
  } else if (command == "plug" && argc >= 3) {
    plug(unsigned(std::atoi(argv[2])), argc > 3 ? argv[3] : "MFG:Example Works;CMD:PCL;MDL:Probe 1;CLS:PRINTER;");
  } else if (command == "add-monitor" && argc == 4) {
    addMonitor(argv[2], argv[3]);
  } else if (command == "spooler" && argc >= 3) {
    spooler(argc - 2, argv + 2);
  } else if (command == "job" && argc == 8) {
    job(argv[2], argv[3], unsigned(std::atoi(argv[4])), argv[5], DWORD(std::atol(argv[6])), DWORD(std::atol(argv[7])));
  } else if (command == "paper-out" && argc == 5) {
    paperOut(argv[2], unsigned(std::atoi(argv[3])), argv[4]);
  } else if (command == "write-printer" && argc == 5) {
    writePrinter(unsigned(std::atoi(argv[2])), argv[3], DWORD(std::atol(argv[4])));
  } else {
    std::printf("usage: see the top of port_monitor_probe.cpp\n");
    return 2;
  }
  return failures ? 1 : 0;
}
