/* The cable bus's control device (\\.\OslnkCableBus), shared by the bus driver and the Wine test program.
 * Plain C, no system header: every request is METHOD_BUFFERED on FILE_DEVICE_UNKNOWN. */
#ifndef OSLNK_BUS_CONTROL_H
#define OSLNK_BUS_CONTROL_H

#define BUS_CONTROL_DOS_NAME "\\\\.\\OslnkCableBus"
#define BUS_MAX_CABLES 4
#define BUS_CONTROL_CODE(n) ((unsigned long)((0x22u << 16) | ((0x900u + (n)) << 2)))

/* in: BusPlugRequest. Plugs a cable with a printer into slot; the bus announces it to Plug and Play. An empty
 * DeviceId: the printer that the slot last had or was given by IOCTL_BUS_SET_DEVICE_ID. */
#define IOCTL_BUS_PLUG BUS_CONTROL_CODE(0)
/* in: BusSlotRequest. Unplugs the cable: queued transfers fail, Plug and Play removes its devnode. */
#define IOCTL_BUS_UNPLUG BUS_CONTROL_CODE(1)
/* in: BusReadRequest (offset into the bytes the printer received); out: up to the output length of them. */
#define IOCTL_BUS_PRINTED BUS_CONTROL_CODE(2)
/* in: BusReadRequest (first record); out: BusSetupRecord[] of every setup packet the cable received. */
#define IOCTL_BUS_SETUP_LOG BUS_CONTROL_CODE(3)
/* in: BusPrinterRequest: the printer's paper-empty and offline lines. */
#define IOCTL_BUS_SET_PRINTER BUS_CONTROL_CODE(4)
/* in: BusSlotRequest; out: BusSlotState. */
#define IOCTL_BUS_STATE BUS_CONTROL_CODE(5)
/* in: BusSlotRequest: forgets the setup packets logged so far. */
#define IOCTL_BUS_CLEAR_LOG BUS_CONTROL_CODE(6)
/* in: BusPlugRequest: the device ID of the slot's printer, at once if a cable is plugged there and for the
 * slot's next plug. Fails with ERROR_INVALID_PARAMETER for an ID the printer cannot send. */
#define IOCTL_BUS_SET_DEVICE_ID BUS_CONTROL_CODE(7)
/* in: BusReadRequest (Slot 0, offset into the capture); out: up to the output length of the bus's traffic
 * (every cable's control and bulk transfers) as a usbmon pcap, the format of the host tool's --pcap. */
#define IOCTL_BUS_PCAP BUS_CONTROL_CODE(8)

#define BUS_DEVICE_ID_MAX 512

typedef struct {
    unsigned int Slot;
    char DeviceId[BUS_DEVICE_ID_MAX]; /* the printer's IEEE 1284 device ID text, NUL-terminated */
} BusPlugRequest;

typedef struct {
    unsigned int Slot;
} BusSlotRequest;

typedef struct {
    unsigned int Slot;
    unsigned int Offset;
} BusReadRequest;

typedef struct {
    unsigned int Slot;
    unsigned int PaperEmpty;
    unsigned int Offline;
} BusPrinterRequest;

typedef struct {
    unsigned char Setup[8]; /* bmRequestType, bRequest, wValue, wIndex, wLength (little-endian) */
} BusSetupRecord;

typedef struct {
    unsigned int Plugged;        /* the cable is on the bus */
    unsigned int DeviceExists;   /* its device object still exists (Plug and Play has not removed it) */
    unsigned int Started;        /* Plug and Play started it */
    unsigned int Configured;     /* a configuration is selected */
    unsigned int PendingBulk;    /* bulk transfers queued or in progress */
    unsigned int SurpriseRemovals;
    unsigned int Removals;
    unsigned int BulkTransfers;  /* completed with success */
} BusSlotState;

#endif
