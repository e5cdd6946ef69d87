#include "tools/quillex-sim/reader_stand_in.h"

#include "mapping/decode.h"
#include "mapping/xusb_report.h"
#include "xusb/xusb_pdo.h"

ReaderStandIn::ReaderStandIn(PDEVICE_CONTEXT context, size_t reportLength) : context_(context) {
    MEMORY_BUFFER report{}, analog{};
    ok_ = NT_SUCCESS(QuillexAllocMemory(context->Device, &report, reportLength + 1)) &&
          NT_SUCCESS(
              QuillexAllocMemory(context->Device, &analog, ANALOG_VALUE_COUNT * sizeof(ULONG)));
    if (ok_) {
        // Attached under the state lock, as HID setup does.
        KIRQL irql;
        KeAcquireSpinLock(&context->StateLock, &irql);
        context->InputReport = report;
        context->AnalogValues = analog;
        KeReleaseSpinLock(&context->StateLock, irql);
    }
}

NTSTATUS ReaderStandIn::Feed(const std::vector<uint8_t>& raw, bool* changed) {
    *changed = false;
    if (raw.size() > context_->InputReport.Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // The read completion decodes and composes under the state lock, which
    // application pushes take too.
    KIRQL irql;
    KeAcquireSpinLock(&context_->StateLock, &irql);
    RtlZeroMemory(context_->InputReport.Buffer, context_->InputReport.Size);
    RtlCopyMemory(context_->InputReport.Buffer, raw.data(), raw.size());
    NTSTATUS status = context_->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID
                          ? DecodeHidReportLayoutA(context_)
                          : DecodeHidReportLayoutB(context_);
    if (status != STATUS_SUCCESS) {
        status = STATUS_SUCCESS;
    } else {
        *changed = true;
        status = TorvaXboxMappingGetInputReport(context_, context_->XusbInputReport,
                                                sizeof(context_->XusbInputReport));
        RtlCopyMemory(report_, context_->XusbInputReport, sizeof(report_));
    }
    KeReleaseSpinLock(&context_->StateLock, irql);
    return status;
}

const ULONG* ReaderStandIn::Analog() const {
    return static_cast<const ULONG*>(context_->AnalogValues.Buffer);
}

NTSTATUS ReaderStandIn::CreateController() {
    if (context_->PdoCreated) {
        return STATUS_SUCCESS;
    }
    // The reader asks once and keeps no record of the result.
    NTSTATUS status = Bus_XusbCreatePdo(context_->Device, context_->InstanceNumber);
    context_->PdoCreated = TRUE;
    return status;
}

NTSTATUS ReaderStandIn::DeliverReport() {
    // The child is taken under the state lock, so its cleanup waits for this
    // hand-over; the report handed over is the copy made with the composition.
    KIRQL irql;
    KeAcquireSpinLock(&context_->StateLock, &irql);
    PXUSB_PDO_DEVICE_DATA child = Bus_XusbReferenceChildLocked(context_);
    KeReleaseSpinLock(&context_->StateLock, irql);
    if (child == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS status = HandleXusbInputReport(child, report_);
    Bus_XusbDereferenceChild(context_);
    return status;
}
