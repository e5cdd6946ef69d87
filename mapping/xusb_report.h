// Composition of the 20-byte Xbox 360 (XUSB) input report from the decoded
// state and the mapping.
//
// Report layout, multi-byte fields little-endian:
//   0 message type 0x00 | 1 length 0x14 | 2-3 buttons | 4 left trigger |
//   5 right trigger | 6-7 left X | 8-9 left Y (up positive) | 10-11 right X |
//   12-13 right Y (up positive) | 14-19 reserved, zero
#pragma once

#include "platform/device_context.h"

#include "mapping/xusb_tables.h"

// Report offsets.
#define XUSB_REPORT_BUTTONS       2
#define XUSB_REPORT_LEFT_TRIGGER  4
#define XUSB_REPORT_RIGHT_TRIGGER 5
#define XUSB_REPORT_LEFT_X        6
#define XUSB_REPORT_LEFT_Y        8
#define XUSB_REPORT_RIGHT_X       10
#define XUSB_REPORT_RIGHT_Y       12

// Composes one report into Report, which must hold XUSB_INPUT_REPORT_LENGTH
// bytes. A mapping never initialized is loaded first (at PASSIVE_LEVEL only).
// STATUS_SUCCESS with a complete report; otherwise the report is untouched:
// STATUS_INVALID_PARAMETER without a context or report (or the status of the
// mapping load it ran), STATUS_BUFFER_TOO_SMALL for a short report buffer,
// STATUS_INVALID_DEVICE_STATE while the decoded analog values are absent.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    TorvaXboxMappingGetInputReport(_In_opt_ PDEVICE_CONTEXT Context,
                                   _Out_writes_bytes_opt_(ReportLength) PUCHAR Report,
                                   _In_ ULONG ReportLength);

// The Xbox button bits for the context's CanonicalButtons under its ButtonMap.
// Map entries that name no button (11 and 14 and above) and the trigger
// targets (12, 13) contribute no button bit.
_IRQL_requires_max_(DISPATCH_LEVEL) USHORT RemapButtons(_In_opt_ PDEVICE_CONTEXT Context);
