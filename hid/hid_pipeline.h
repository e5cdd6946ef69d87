// The HID input pipeline: the collection probe and its capability arrays,
// setup and teardown of the reader's buffers and requests, and the reader
// thread with its read completion.
#pragma once

#include "platform/device_context.h"
#include "mapping/decode.h"

// Capability array kinds for QuillexGetCapsArray.
#define HID_CAPS_KIND_BUTTON 0
#define HID_CAPS_KIND_VALUE  1

// The size of one HIDP_BUTTON_CAPS or HIDP_VALUE_CAPS entry.
#define HID_CAPS_ENTRY_SIZE 72

// The raw report length the device's decoder reads.
inline ULONG QuillexHidRawReportLength(PDEVICE_CONTEXT Context) {
    return Context->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID ? RAW_LAYOUT_A_MIN_LENGTH
                                                             : RAW_LAYOUT_B_MIN_LENGTH;
}

// Fills Pair with the button (Kind 0) or value (Kind 1) capabilities of one
// report type; *Count is the number announced on entry and the number
// returned on exit.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    QuillexGetCapsArray(_In_ WDFOBJECT Parent, _In_ ULONG Kind, _In_ HIDP_REPORT_TYPE ReportType,
                        _Inout_opt_ PMEMORY_BUFFER Pair, _Inout_opt_ PUSHORT Count,
                        _In_opt_ PHIDP_PREPARSED_DATA PreparsedData);

// Learns the collection below: its information, preparsed data, caps and
// the six capability arrays.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS QuillexHidDeviceProbe(_In_ WDFDEVICE Device);

// Forgets every handle of the pipeline (deletes nothing) and prepares the
// reader's worker record.
_IRQL_requires_(PASSIVE_LEVEL) VOID QuillexHidResetContext(_In_ PDEVICE_CONTEXT Context);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS QuillexHidSetup(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL) VOID QuillexHidTeardown(_In_ WDFDEVICE Device);

// The reader thread's start routine; StartContext is the DEVICE_CONTEXT.
KSTART_ROUTINE QuillexHidReaderThread;
EVT_WDF_REQUEST_COMPLETION_ROUTINE HidReaderThreadCompletionRoutine;
