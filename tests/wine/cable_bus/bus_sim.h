// The simulated cables behind the bus driver: a C interface over sim::Cable, exported by oslnkbus_sim.dll.
// A DLL of its own because the C++ runtime imports kernel32, and Wine's loader treats an image that imports
// kernel32 as a user-mode DLL (it calls its entry point as DllMain) rather than as a driver. The kernel side
// never includes a C++ standard header next to the DDK's and the sim side never sees the DDK.
#pragma once

#include <stddef.h>

#ifdef OSLNK_BUS_SIM_DLL
#define BUS_SIM_API __declspec(dllexport)
#else
#define BUS_SIM_API __declspec(dllimport)
#endif

extern "C" {

enum BusHandshake { BusAck = 0, BusNak = 1, BusStall = 2, BusError = 3 };

// Plugs a cable whose printer answers deviceId; an empty one: the slot's printer as last set.
BUS_SIM_API bool BusSimPlug(unsigned slot, const char* deviceId);
// The device ID of the slot's printer: at once for a cable plugged there, and for the next plug.
BUS_SIM_API bool BusSimSetDeviceId(unsigned slot, const char* deviceId);
BUS_SIM_API void BusSimUnplug(unsigned slot);
BUS_SIM_API bool BusSimPresent(unsigned slot);
// One control transfer; *moved receives the bytes of the data stage.
BUS_SIM_API int BusSimControl(unsigned slot, const unsigned char setup[8], unsigned char* data, unsigned length, unsigned* moved);
// As many bytes of one bulk transfer as the cable takes (OUT) or has (IN) now.
BUS_SIM_API int BusSimBulk(unsigned slot, unsigned char endpoint, unsigned char* data, unsigned length, unsigned* moved);
BUS_SIM_API bool BusSimChangesByItself(unsigned slot);
BUS_SIM_API unsigned long long BusSimChanges(unsigned slot);
BUS_SIM_API void BusSimHalt(unsigned slot, unsigned char endpoint);
BUS_SIM_API bool BusSimHalted(unsigned slot, unsigned char endpoint);
// Descriptors (for the hardware and compatible ids): copies up to max bytes, returns the full length.
BUS_SIM_API unsigned BusSimDeviceDescriptor(unsigned slot, unsigned char* out, unsigned max);
BUS_SIM_API unsigned BusSimConfigurationDescriptor(unsigned slot, unsigned char* out, unsigned max);
BUS_SIM_API unsigned BusSimPrinted(unsigned slot, unsigned offset, unsigned char* out, unsigned max);
// Setup packets received from index first on, 8 bytes each; returns how many were copied.
BUS_SIM_API unsigned BusSimSetupLog(unsigned slot, unsigned first, unsigned char* out, unsigned maxRecords);
BUS_SIM_API void BusSimClearLog(unsigned slot);
BUS_SIM_API void BusSimSetPrinter(unsigned slot, bool paperEmpty, bool offline);
// The bus's traffic log (control transfers are logged by BusSimControl itself). A bulk transfer is logged
// when the bus starts moving it: Begin returns its position (0: not logged), End records how it ended.
BUS_SIM_API unsigned BusSimBulkBegin(unsigned slot, unsigned char endpoint, const unsigned char* data, unsigned length);
BUS_SIM_API void BusSimBulkEnd(unsigned position, long usbdStatus, const unsigned char* data, unsigned moved);
// The log as a usbmon capture (pcap): copies up to max bytes from offset, returns how many.
BUS_SIM_API unsigned BusSimPcap(unsigned offset, unsigned char* out, unsigned max);
}
