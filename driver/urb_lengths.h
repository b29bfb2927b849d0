// The header lengths (Hdr.Length) of the URBs the driver builds, as Windows 98's USBD expects them. USBD
// compares each URB's length with its function's layout, so the lengths follow the Windows 98 layouts rather
// than the newer headers we compile against: _URB_PIPE_REQUEST gained a Reserved field in Windows 2000, and
// the unconfiguring select request carries one interface record without pipes. On the host, where pointers
// are 8 bytes, the same formulas give that layout's lengths.
#pragma once

#include "kernel.h"

#include <stddef.h>

// ABORT_PIPE and RESET_PIPE: the header and the pipe handle, no Reserved field.
constexpr USHORT PIPE_REQUEST_URB_LENGTH =
    static_cast<USHORT>(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE));

// SELECT_CONFIGURATION up to its first interface record, and one interface record without its pipes.
constexpr ULONG SELECT_CONFIGURATION_HEADER_LENGTH = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
constexpr ULONG INTERFACE_INFORMATION_HEADER_LENGTH = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

// SELECT_CONFIGURATION with no configuration descriptor (back to the unconfigured state).
constexpr USHORT UNCONFIGURE_URB_LENGTH =
    static_cast<USHORT>(SELECT_CONFIGURATION_HEADER_LENGTH + INTERFACE_INFORMATION_HEADER_LENGTH);

constexpr USHORT CONTROL_DESCRIPTOR_URB_LENGTH = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr USHORT CONTROL_FEATURE_URB_LENGTH = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
constexpr USHORT VENDOR_OR_CLASS_URB_LENGTH = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
constexpr USHORT BULK_TRANSFER_URB_LENGTH = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

#ifndef OSLNK_HOST
// The i686 image: the lengths Windows 98's USBD checks.
static_assert(PIPE_REQUEST_URB_LENGTH == 20, "pipe request length");
static_assert(SELECT_CONFIGURATION_HEADER_LENGTH == 24, "select-configuration header length");
static_assert(INTERFACE_INFORMATION_HEADER_LENGTH == 16, "interface record header length");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe record length");
static_assert(UNCONFIGURE_URB_LENGTH == 40, "unconfiguring select length");
static_assert(CONTROL_DESCRIPTOR_URB_LENGTH == 80, "descriptor request length");
static_assert(CONTROL_FEATURE_URB_LENGTH == 80, "feature request length");
static_assert(VENDOR_OR_CLASS_URB_LENGTH == 80, "vendor or class request length");
static_assert(BULK_TRANSFER_URB_LENGTH == 72, "bulk transfer length");
#endif
