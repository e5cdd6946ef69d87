// What the HID read path does with the state lock, for system tests until the
// reader thread exists: HID setup attaching the decoded state's buffers, the
// read completion decoding a raw report and composing the Xbox report under
// the lock, and the reader thread handing a copy of it to the emulated
// controller.
#pragma once

#include <vector>

#include "driver/device_context.h"
#include "mapping/decode.h"
#include "mapping/xusb_report.h"
#include "xusb/xusb_pdo.h"

namespace quillex_test {

// Allocates the raw report buffer and the analog values (centred sticks,
// hat centred) and attaches them under the lock, as HID setup does.
inline NTSTATUS AttachDecodedState(PDEVICE_CONTEXT context, size_t reportLength) {
    MEMORY_BUFFER report{}, analog{};
    NTSTATUS status = QuillexAllocMemory(context->Device, &report, reportLength + 1);
    if (NT_SUCCESS(status)) {
        status = QuillexAllocMemory(context->Device, &analog, ANALOG_VALUE_COUNT * sizeof(ULONG));
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG* values = static_cast<ULONG*>(analog.Buffer);
    for (ULONG i = 0; i < ANALOG_VALUE_COUNT; ++i) {
        values[i] = 128;
    }
    values[ANALOG_HAT] = HAT_CENTRED;
    values[ANALOG_LEFT_TRIGGER] = values[ANALOG_RIGHT_TRIGGER] = 0;
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    context->InputReport = report;
    context->AnalogValues = analog;
    KeReleaseSpinLock(&context->StateLock, irql);
    return STATUS_SUCCESS;
}

// One raw report through decode, composition and hand-over. STATUS_SUCCESS
// when it changed the state and was handed over (or no child exists), else
// the failing step's status.
inline NTSTATUS FeedRawReport(PDEVICE_CONTEXT context, const std::vector<UCHAR>& raw) {
    UCHAR report[XUSB_INPUT_REPORT_LENGTH];
    PXUSB_PDO_DEVICE_DATA child = nullptr;
    NTSTATUS status;
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    if (raw.size() + 1 > context->InputReport.Size) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(context->InputReport.Buffer, raw.data(), raw.size());
        status = context->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID
                     ? DecodeHidReportLayoutA(context)
                     : DecodeHidReportLayoutB(context);
        if (status == STATUS_SUCCESS) {
            status = TorvaXboxMappingGetInputReport(context, context->XusbInputReport,
                                                    sizeof(context->XusbInputReport));
        }
        if (status == STATUS_SUCCESS) {
            RtlCopyMemory(report, context->XusbInputReport, sizeof(report));
            child = Bus_XusbReferenceChildLocked(context);
        }
    }
    KeReleaseSpinLock(&context->StateLock, irql);
    if (child != nullptr) {
        (VOID) HandleXusbInputReport(child, report);
        Bus_XusbDereferenceChild(context);
    }
    return status;
}

} // namespace quillex_test
