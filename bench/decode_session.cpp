#include "bench/decode_session.h"

#include "mapping/decode.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"

DecodeSession::DecodeSession(uint32_t productId, size_t reportLength, WDFDRIVER driver) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.ParentObject = driver;
    if (!NT_SUCCESS(WdfObjectCreate(&attributes, &owner_))) {
        return;
    }
    PDEVICE_CONTEXT ctx = QuillexGetDeviceContext(owner_);
    ctx->ProductId = productId;
    ctx->Driver = driver;
    // The object stands in for the function device that owns the buffers.
    ctx->Device = static_cast<WDFDEVICE>(owner_);
    // One byte longer than the report, as the reader allocates it.
    if (!NT_SUCCESS(QuillexAllocMemory(owner_, &ctx->InputReport, reportLength + 1)) ||
        !NT_SUCCESS(
            QuillexAllocMemory(owner_, &ctx->AnalogValues, ANALOG_VALUE_COUNT * sizeof(ULONG)))) {
        return;
    }
    context_ = ctx;
}

DecodeSession::~DecodeSession() {
    if (owner_ != nullptr) {
        WdfObjectDelete(owner_);
    }
}

NTSTATUS DecodeSession::Decode(const std::vector<uint8_t>& raw) {
    if (raw.size() > context_->InputReport.Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(context_->InputReport.Buffer, context_->InputReport.Size);
    RtlCopyMemory(context_->InputReport.Buffer, raw.data(), raw.size());
    return context_->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID ? DecodeHidReportLayoutA(context_)
                                                              : DecodeHidReportLayoutB(context_);
}

const ULONG* DecodeSession::Analog() const {
    return static_cast<const ULONG*>(context_->AnalogValues.Buffer);
}

NTSTATUS DecodeSession::LoadMapping() {
    if (context_->Driver == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = TorvaXboxMappingInit(context_);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return TorvaXboxMappingInitRemap(context_);
}

NTSTATUS DecodeSession::Compose() {
    return TorvaXboxMappingGetInputReport(context_, context_->XusbInputReport,
                                          sizeof(context_->XusbInputReport));
}
