#include "tools/quillex-sim/reader_stand_in.h"

#include "mapping/decode.h"
#include "mapping/xusb_report.h"
#include "xusb/xusb_pdo.h"

ReaderStandIn::ReaderStandIn(PDEVICE_CONTEXT context, size_t reportLength) : context_(context) {
    ok_ =
        NT_SUCCESS(QuillexAllocMemory(context->Device, &context->InputReport, reportLength + 1)) &&
        NT_SUCCESS(QuillexAllocMemory(context->Device, &context->AnalogValues,
                                      ANALOG_VALUE_COUNT * sizeof(ULONG)));
}

NTSTATUS ReaderStandIn::Feed(const std::vector<uint8_t>& raw, bool* changed) {
    *changed = false;
    if (raw.size() > context_->InputReport.Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(context_->InputReport.Buffer, context_->InputReport.Size);
    RtlCopyMemory(context_->InputReport.Buffer, raw.data(), raw.size());
    NTSTATUS status = context_->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID
                          ? DecodeHidReportLayoutA(context_)
                          : DecodeHidReportLayoutB(context_);
    if (status != STATUS_SUCCESS) {
        return STATUS_SUCCESS;
    }
    *changed = true;
    return TorvaXboxMappingGetInputReport(context_, context_->XusbInputReport,
                                          sizeof(context_->XusbInputReport));
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
    WDFDEVICE child = context_->XusbPdo;
    if (child == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    return HandleXusbInputReport(XusbPdoGetData(child), context_->XusbInputReport);
}
