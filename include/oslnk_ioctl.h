/* Private device-control interface of the Ostrolink cable driver (oslnk).
 *
 * Plain C, shared by the driver and by user-mode programs; needs no Windows header.
 * Every code is CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS):
 * the input is read from the request's system buffer, the reply is written into the same
 * buffer and the returned byte count says how much of it is the reply. */
#ifndef OSLNK_IOCTL_H
#define OSLNK_IOCTL_H

#define OSLNK_IOCTL_DEVICE_TYPE 0x00000022u /* FILE_DEVICE_UNKNOWN */
#define OSLNK_IOCTL_FIRST_FUNCTION 0x800u

/* (DeviceType << 16) | (Access << 14) | (Function << 2) | Method, with Method = METHOD_BUFFERED (0)
 * and Access = FILE_ANY_ACCESS (0). */
#define OSLNK_IOCTL_CODE(n) \
    ((unsigned long)((OSLNK_IOCTL_DEVICE_TYPE << 16) | ((OSLNK_IOCTL_FIRST_FUNCTION + (n)) << 2)))

/* Input: OSLNK_REGISTER_WRITE (2 bytes, more are ignored). Output: none. */
#define IOCTL_KVUSB_WRITE_REGISTER   OSLNK_IOCTL_CODE(0) /* 0x00222000 */
/* Input: none. Output: at least 7 bytes; receives OSLNK_REGISTER_SNAPSHOT (7 bytes returned). */
#define IOCTL_KVUSB_READ_REGISTERS   OSLNK_IOCTL_CODE(1) /* 0x00222004 */
/* Input: none. Output: at least 1 byte; receives the printer's IEEE 1284 device ID without its
 * 2-byte length field, zero-filled after the text. Returned bytes = output length modulo 65536. */
#define IOCTL_KVUSB_GET_DEVICE_ID    OSLNK_IOCTL_CODE(2) /* 0x00222008 */
/* Input: OSLNK_INTERFACE_SELECT (2 bytes). Output: none. Refused with STATUS_DEVICE_BUSY while any other
 * request on the device is in progress (a read or write in flight among them): the selection replaces
 * the pipe records those requests use. */
#define IOCTL_KVUSB_SELECT_INTERFACE OSLNK_IOCTL_CODE(3) /* 0x0022200C */
/* No buffers: printer-class SOFT_RESET of the printer port. */
#define IOCTL_KVUSB_SOFT_RESET       OSLNK_IOCTL_CODE(4) /* 0x00222010 */
/* Input: none. Output: at least 1 byte; byte 0 receives the printer-class port status (1 byte returned). */
#define IOCTL_KVUSB_GET_PORT_STATUS  OSLNK_IOCTL_CODE(5) /* 0x00222014 */
/* No buffers: resets the write pipe when it is open. This code, IOCTL_KVUSB_ABORT_PIPES and
 * IOCTL_KVUSB_RECOVER are refused with STATUS_DEVICE_BUSY while an interface selection is under way. */
#define IOCTL_KVUSB_RESET_PIPE       OSLNK_IOCTL_CODE(6) /* 0x00222018 */
/* No buffers: aborts every open pipe. */
#define IOCTL_KVUSB_ABORT_PIPES      OSLNK_IOCTL_CODE(7) /* 0x0022201C */
/* No buffers: cancels the bulk transfer in flight and resets the pipes, the printer port and the
 * controller's registers; does nothing when no transfer is in flight. */
#define IOCTL_KVUSB_RECOVER          OSLNK_IOCTL_CODE(8) /* 0x00222020 */

#define OSLNK_IOCTL_COUNT 9u

/* IOCTL_KVUSB_WRITE_REGISTER input. */
typedef struct OSLNK_REGISTER_WRITE {
    unsigned char Register;
    unsigned char Value;
} OSLNK_REGISTER_WRITE;

/* IOCTL_KVUSB_SELECT_INTERFACE input. */
typedef struct OSLNK_INTERFACE_SELECT {
    unsigned char InterfaceNumber;
    unsigned char AlternateSetting;
} OSLNK_INTERFACE_SELECT;

/* IOCTL_KVUSB_READ_REGISTERS output: the controller's registers from register 1 on. */
#define OSLNK_REGISTER_SNAPSHOT_SIZE 7u
typedef struct OSLNK_REGISTER_SNAPSHOT {
    unsigned char Status;   /* register 1: status lines */
    unsigned char Control;  /* register 2: control lines */
    unsigned char Other[5]; /* registers 3 to 7 */
} OSLNK_REGISTER_SNAPSHOT;

/* Controller registers the driver writes. */
#define OSLNK_REG_DATA     0x00u
#define OSLNK_REG_STATUS   0x01u
#define OSLNK_REG_CONTROL  0x02u
#define OSLNK_REG_CONFIG6  0x06u
#define OSLNK_REG_CONFIG7  0x07u
#define OSLNK_REG_CONFIG8  0x08u

/* Status register bits (OSLNK_REGISTER_SNAPSHOT.Status). */
#define OSLNK_STATUS_NFAULT    0x08u
#define OSLNK_STATUS_SELECT    0x10u
#define OSLNK_STATUS_PERROR    0x20u
#define OSLNK_STATUS_NACK      0x40u
#define OSLNK_STATUS_NOT_BUSY  0x80u /* set while the Busy line is low */

/* Control register bits (OSLNK_REGISTER_SNAPSHOT.Control). */
#define OSLNK_CONTROL_STROBE     0x01u
#define OSLNK_CONTROL_AUTOFEED   0x02u
#define OSLNK_CONTROL_NINIT      0x04u
#define OSLNK_CONTROL_SELECT_IN  0x08u

/* IOCTL_KVUSB_GET_PORT_STATUS output byte (USB printer class). */
#define OSLNK_PORT_STATUS_SIZE 1u
#define OSLNK_PORT_NOT_ERROR   0x08u
#define OSLNK_PORT_SELECT      0x10u
#define OSLNK_PORT_PAPER_EMPTY 0x20u

/* The device ID the driver keeps per start; IOCTL_KVUSB_GET_DEVICE_ID may ask for up to 65535 bytes. */
#define OSLNK_DEVICE_ID_SIZE 1024u

#endif /* OSLNK_IOCTL_H */
