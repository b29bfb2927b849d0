// IRP_MN_START_DEVICE for the FDO: descriptors, configuration, device ID, DOS name.
#pragma once

#include "kernel.h"

// Start handler; called by the PnP dispatch after IncrementPendingIo admitted the request. Always
// completes the request and gives back the admission.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Reads the device descriptor, then (on success) the configuration descriptor and selects the interface.
NTSTATUS GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);
// Selects the configuration with interface InterfaceNumber/AlternateSetting. On success the record owns
// ConfigurationDescriptor (freeing an earlier, different one) and a fresh Interface copy. No such interface:
// STATUS_INVALID_PARAMETER with the previous configuration kept.
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                         UCHAR InterfaceNumber, UCHAR AlternateSetting);

// Size of a select-configuration URB for a configuration of InterfaceCount interfaces and PipeCount pipes.
ULONG SelectConfigurationUrbSize(ULONG InterfaceCount, ULONG PipeCount);
