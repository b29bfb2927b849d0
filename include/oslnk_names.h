/* Names by which the Ostrolink cable driver (oslnk) and user mode find each other.
 *
 * Plain C, shared by the driver and by user-mode programs; needs no Windows header.
 * Port number n (1..OSLNK_PORT_COUNT) of a cable gives:
 *   port name    "KVUSB<n>"              (registry value "Port Name", spooler port name)
 *   DOS name     "\DosDevices\KVUSB<n>"  (opened from user mode as "\\.\KVUSB<n>")
 * and its FDO has the kernel name "\Device\KVUSB<nn>", <nn> the lowest free number, at least two digits. */
#ifndef OSLNK_NAMES_H
#define OSLNK_NAMES_H

#define OSLNK_PORT_COUNT 128

#define OSLNK_PORT_NAME_PREFIX "KVUSB"
/* sprintf format of a port name: OSLNK_PORT_NAME_PREFIX, then the port number. */
#define OSLNK_PORT_NAME_FORMAT "%s%d"
/* Longest port name with its NUL: "KVUSB128". */
#define OSLNK_PORT_NAME_MAX 9

#define OSLNK_DEVICE_NAME_PREFIX "\\Device\\KVUSB"
#define OSLNK_DOS_NAME_PREFIX "\\DosDevices\\KVUSB"
/* What user mode passes to CreateFile, followed by the port number. */
#define OSLNK_USER_PATH_PREFIX "\\\\.\\KVUSB"

/* REG_SZ value in the cable's driver and device keys: the port name, empty while no cable holds it. */
#define OSLNK_PORT_NAME_VALUE "Port Name"

/* REG_DWORD values in the cable's driver key, read at each AddDevice. */
#define OSLNK_VALUE_ALT_SETTING "AltSetting"
#define OSLNK_VALUE_IF_SETTING "IFSetting"
#define OSLNK_VALUE_MAX_TRANSFER_SIZE "MaxTransferSize"
#define OSLNK_DEFAULT_ALT_SETTING 0
#define OSLNK_DEFAULT_IF_SETTING 2
#define OSLNK_DEFAULT_MAX_TRANSFER_SIZE 1024

#endif
