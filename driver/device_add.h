// Driver entry and device add: the framework driver, and the filter device
// over each arcade stick's HID collection.
#pragma once

#include "platform/device_context.h"

// GUID_DEVINTERFACE_QUILLEX (appapi/quillex_public.h) is the device interface
// through which the companion application reaches a stick.

extern "C" DRIVER_INITIALIZE DriverEntry;

EVT_WDF_DRIVER_DEVICE_ADD Quillex_EvtDeviceAdd;
EVT_WDF_DRIVER_UNLOAD Quillex_EvtDriverUnload;
EVT_WDF_OBJECT_CONTEXT_CLEANUP Quillex_EvtDriverContextCleanup;

// Creates the device's single queue: the parallel default queue.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS QuillexQueueInit(_In_ WDFDEVICE Device);

// Finds Prefix in Text (up to Text's first null, code units compared
// exactly) and reads up to four hexadecimal digits after it into Value.
// STATUS_UNSUCCESSFUL, Value untouched, when the prefix is not there.
NTSTATUS ParseHexField(_In_ PCWSTR Text, _In_ PCWSTR Prefix, _Out_ PULONG Value);
