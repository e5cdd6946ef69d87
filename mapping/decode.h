// Raw HID report decoding: raw layouts A and B to the canonical state.
#pragma once

#include "platform/device_context.h"

// Bytes each layout reads: layout A bytes 0..18, layout B bytes 1..9.
#define RAW_LAYOUT_A_MIN_LENGTH 19
#define RAW_LAYOUT_B_MIN_LENGTH 10

// Decode the raw report in Context->InputReport into CanonicalButtons and
// AnalogValues. STATUS_SUCCESS when the decoded state changed,
// STATUS_UNSUCCESSFUL when it did not (or when the report or the analog array
// is too short to decode: nothing is read or written then),
// STATUS_INVALID_PARAMETER without a context.
NTSTATUS DecodeHidReportLayoutA(_In_opt_ PDEVICE_CONTEXT Context);
NTSTATUS DecodeHidReportLayoutB(_In_opt_ PDEVICE_CONTEXT Context);
