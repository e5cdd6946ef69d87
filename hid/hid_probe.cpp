// The HID collection probe: what the collection below is, learned once per
// hardware start from the HID class driver.
#include "hid/hid_pipeline.h"

namespace {

PCSTR ReportTypeWord(HIDP_REPORT_TYPE ReportType) {
    switch (ReportType) {
    case HidP_Input:
        return "Input";
    case HidP_Output:
        return "Output";
    default:
        return "Feature";
    }
}

// Sends one collection IOCTL to the lower driver, its answer written into
// Buffer; no request of our own, no time-out.
NTSTATUS SendCollectionIoctl(WDFIOTARGET Target, ULONG IoctlCode, PVOID Buffer, ULONG Length) {
    WDF_MEMORY_DESCRIPTOR output;

    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&output, Buffer, Length);
    return WdfIoTargetSendIoctlSynchronously(Target, NULL, IoctlCode, NULL, &output, NULL, NULL);
}

} // namespace

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS
QuillexGetCapsArray(WDFOBJECT Parent, ULONG Kind, HIDP_REPORT_TYPE ReportType, PMEMORY_BUFFER Pair,
                    PUSHORT Count, PHIDP_PREPARSED_DATA PreparsedData) {
    NTSTATUS status;
    PCSTR kindWord;

    PAGED_CODE();

    if (Pair == NULL || Count == NULL || PreparsedData == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (*Count == 0) {
        return STATUS_SUCCESS;
    }
    if (Pair->Memory != NULL) {
        QuillexReleaseMemory(Pair);
    }
    kindWord = Kind == HID_CAPS_KIND_BUTTON ? "Button" : "Value";

    status = QuillexAllocMemory(Parent, Pair, static_cast<size_t>(*Count) * HID_CAPS_ENTRY_SIZE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexGetCapsArray: Error - unable to alloc %sCaps array\n",
                    kindWord);
    } else {
        if (Kind == HID_CAPS_KIND_BUTTON) {
            status = HidP_GetButtonCaps(ReportType, static_cast<PHIDP_BUTTON_CAPS>(Pair->Buffer),
                                        Count, PreparsedData);
        } else {
            status = HidP_GetValueCaps(ReportType, static_cast<PHIDP_VALUE_CAPS>(Pair->Buffer),
                                       Count, PreparsedData);
        }
        if (status == HIDP_STATUS_SUCCESS) {
            return STATUS_SUCCESS;
        }
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexGetCapsArray: HidP_Get%sCaps failed 0x%x\n", kindWord, status);
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexGetCapsArray: Delete empty %s%s array\n",
                ReportTypeWord(ReportType), kindWord);
    QuillexReleaseMemory(Pair);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS QuillexHidDeviceProbe(WDFDEVICE Device) {
    PDEVICE_CONTEXT context;
    HID_STATE* hid;
    NTSTATUS status;

    PAGED_CODE();

    context = QuillexGetDeviceContext(Device);
    hid = &context->Hid;

    if (hid->DefaultIoTarget == NULL) {
        hid->DefaultIoTarget = WdfDeviceGetIoTarget(Device);
        if (hid->DefaultIoTarget == NULL) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!QuillexHidDeviceProbe: <%u> Error - WdfDeviceGetIoTarget failed\n",
                        context->InstanceNumber);
            return STATUS_SUCCESS;
        }
    }

    status = SendCollectionIoctl(hid->DefaultIoTarget, IOCTL_HID_GET_COLLECTION_INFORMATION,
                                 &hid->CollectionInformation, sizeof(hid->CollectionInformation));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidDeviceProbe: <%u> Error - "
                    "IOCTL_HID_GET_COLLECTION_INFORMATION failed - %x\n",
                    context->InstanceNumber, status);
        return status;
    }

    if (hid->CollectionInformation.DescriptorSize == 0) {
        status = STATUS_UNSUCCESSFUL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidDeviceProbe: <%u> Error - "
                    "CollectionInformation.DescriptorSize is zero! -  %x\n",
                    context->InstanceNumber, status);
        return status;
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                "Quillex!QuillexHidDeviceProbe: <%u> "
                "DeviceContext->Hid.PreparsedData.Buffer.PreprocData %p\n",
                context->InstanceNumber, hid->PreparsedData.Buffer);

    if (hid->PreparsedData.Buffer == NULL) {
        status = QuillexAllocMemory(Device, &hid->PreparsedData,
                                    hid->CollectionInformation.DescriptorSize);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!QuillexHidDeviceProbe: <%u> Error - Couldn't alloc PreparsedData "
                        "- %x\n",
                        context->InstanceNumber, status);
            return status;
        }
    }

    // A buffer kept from before is only as large as it was made: never ask
    // for more than it holds.
    ULONG descriptorLength = hid->CollectionInformation.DescriptorSize;
    if (descriptorLength > hid->PreparsedData.Size) {
        descriptorLength = static_cast<ULONG>(hid->PreparsedData.Size);
    }
    status = SendCollectionIoctl(hid->DefaultIoTarget, IOCTL_HID_GET_COLLECTION_DESCRIPTOR,
                                 hid->PreparsedData.Buffer, descriptorLength);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!QuillexHidDeviceProbe: <%u> Error -  "
                    "IOCTL_HID_GET_COLLECTION_DESCRIPTOR failed - 0x%x\n",
                    context->InstanceNumber, status);
        return status;
    }

    RtlZeroMemory(&hid->Caps, sizeof(hid->Caps));
    PHIDP_PREPARSED_DATA preparsed = static_cast<PHIDP_PREPARSED_DATA>(hid->PreparsedData.Buffer);
    status = HidP_GetCaps(preparsed, &hid->Caps);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The six arrays, in order; the first that cannot be built ends the
    // walk but not the probe.
    struct {
        ULONG Kind;
        HIDP_REPORT_TYPE Type;
        PMEMORY_BUFFER Pair;
        PUSHORT Count;
    } arrays[] = {
        {HID_CAPS_KIND_BUTTON, HidP_Input, &hid->ButtonCaps[HidP_Input],
         &hid->Caps.NumberInputButtonCaps},
        {HID_CAPS_KIND_BUTTON, HidP_Output, &hid->ButtonCaps[HidP_Output],
         &hid->Caps.NumberOutputButtonCaps},
        {HID_CAPS_KIND_BUTTON, HidP_Feature, &hid->ButtonCaps[HidP_Feature],
         &hid->Caps.NumberFeatureButtonCaps},
        {HID_CAPS_KIND_VALUE, HidP_Input, &hid->ValueCaps[HidP_Input],
         &hid->Caps.NumberInputValueCaps},
        {HID_CAPS_KIND_VALUE, HidP_Output, &hid->ValueCaps[HidP_Output],
         &hid->Caps.NumberOutputValueCaps},
        {HID_CAPS_KIND_VALUE, HidP_Feature, &hid->ValueCaps[HidP_Feature],
         &hid->Caps.NumberFeatureValueCaps},
    };
    for (ULONG i = 0; i < RTL_NUMBER_OF(arrays); ++i) {
        if (QuillexGetCapsArray(Device, arrays[i].Kind, arrays[i].Type, arrays[i].Pair,
                                arrays[i].Count, preparsed) != STATUS_SUCCESS) {
            break;
        }
    }
    return STATUS_SUCCESS;
}
