// The function device's hardware lifecycle and the requests it passes down:
// prepare and release hardware, context cleanup, file create (with the
// reader's launch), and internal device control.
#pragma once

#include "platform/device_context.h"

EVT_WDF_DEVICE_PREPARE_HARDWARE Quillex_EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE Quillex_EvtDeviceReleaseHardware;
EVT_WDF_OBJECT_CONTEXT_CLEANUP QuillexContextCleanup;
EVT_WDF_DEVICE_FILE_CREATE Quillex_EvtDeviceFileCreate;
EVT_WDF_REQUEST_COMPLETION_ROUTINE Quillex_EvtDeviceFileCreateComplete;
EVT_WDF_WORKITEM Quillex_EvtReaderLaunchWorkItem;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL Torva_EvtIoInternalDeviceControl;

// Prepares the reader's worker record and creates the work item that
// launches the reader for opens completed above PASSIVE_LEVEL. Called by
// device add; a failure fails it.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS QuillexReaderLaunchInit(_In_ WDFDEVICE Device);
