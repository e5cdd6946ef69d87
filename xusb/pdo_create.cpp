// Creation of the emulated controller: a child PDO of the function device,
// with the identity of a wired Xbox 360 controller so that the system's class
// driver loads on it, and the two WDM preprocess callbacks through which it
// answers that class driver.
#include "xusb/xusb_pdo.h"

#include "platform/device_context.h"

// Each ID list goes to the framework as one counted value holding all its
// strings, each with its null; the count covers the strings and their nulls,
// and the final null is the literal's own (the maximum length adds it).
static const WCHAR XusbHardwareIds[] = L"USB\\VID_045E&PID_028E&REV_0110\0"
                                       L"USB\\VID_045E&PID_028E\0";
static const WCHAR XusbCompatibleIds[] = L"USB\\MS_COMP_XUSB10\0"
                                         L"USB\\Class_FF&SubClass_5D&Prot_01\0"
                                         L"USB\\Class_FF&SubClass_5D\0"
                                         L"USB\\Class_FF\0";

static_assert(sizeof(XusbHardwareIds) - sizeof(WCHAR) == 106, "hardware IDs: 106 bytes");
static_assert(sizeof(XusbCompatibleIds) - sizeof(WCHAR) == 180, "compatible IDs: 180 bytes");

// SDDL_DEVOBJ_SYS_ALL_ADM_RWX_WORLD_RWX_RES_RWX: the system has full access;
// administrators, everyone and restricted code read, write and execute.
static const WCHAR XusbSddl[] = L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)";

static const WCHAR XusbDeviceLocation[] = L"Quillex Ersatz Xbox Controller";

#define XUSB_LOCALE_US_ENGLISH 0x409
#define XUSB_WORK_STRING_CHARS 256

static VOID XusbInitMultiSz(_Out_ PUNICODE_STRING Value, _In_ PCWSTR List, _In_ size_t Bytes) {
    Value->Buffer = (PWSTR)List;
    Value->Length = (USHORT)(Bytes - sizeof(WCHAR));
    Value->MaximumLength = (USHORT)Bytes;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS Bus_XusbCreatePdo(WDFDEVICE Device,
                                                                 ULONG InstanceNumber) {
    PWDFDEVICE_INIT init = NULL;
    WDFDEVICE child = NULL;
    PDEVICE_CONTEXT context;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DEVICE_PNP_CAPABILITIES capabilities;
    UNICODE_STRING sddl;
    UNICODE_STRING hardwareIds;
    UNICODE_STRING compatibleIds;
    UNICODE_STRING location;
    UNICODE_STRING work;
    // One unit more than the work string may fill, always zero: the traces
    // read it as a terminated string.
    WCHAR workBuffer[XUSB_WORK_STRING_CHARS + 1];
    UCHAR pnpMinors[] = {IRP_MN_QUERY_INTERFACE};
    NTSTATUS status;

    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!Bus_XusbCreatePdo: ++\n");

    XusbInitMultiSz(&hardwareIds, XusbHardwareIds, sizeof(XusbHardwareIds));
    XusbInitMultiSz(&compatibleIds, XusbCompatibleIds, sizeof(XusbCompatibleIds));
    RtlInitUnicodeString(&sddl, XusbSddl);
    RtlInitUnicodeString(&location, XusbDeviceLocation);
    RtlZeroMemory(workBuffer, sizeof(workBuffer));
    work.Buffer = workBuffer;
    work.Length = 0;
    work.MaximumLength = XUSB_WORK_STRING_CHARS * sizeof(WCHAR);

    init = WdfPdoInitAllocate(Device);
    if (init == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAllocate failed\n", InstanceNumber);
        goto Cleanup;
    }

    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_BUS_EXTENDER);

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceInitAssignSDDLString...\n",
                InstanceNumber);
    status = WdfDeviceInitAssignSDDLString(init, &sddl);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceInitAssignSDDLString failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }

    // The device ID is the hardware-ID value: read as one terminated string
    // it is its first, most specific ID.
    TraceMultiSz(NULL, "Quillex!Bus_XusbCreatePdo: WdfPdoInitAssignDeviceID:", XusbHardwareIds);
    status = WdfPdoInitAssignDeviceID(init, &hardwareIds);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAssignDeviceID failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }

    TraceMultiSz(NULL, "Quillex!Bus_XusbCreatePdo: WdfPdoInitAddHardwareID:", XusbHardwareIds);
    status = WdfPdoInitAddHardwareID(init, &hardwareIds);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAddHardwareID failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }

    TraceMultiSz(NULL, "Quillex!Bus_XusbCreatePdo: WdfPdoInitAddCompatibleID:", XusbCompatibleIds);
    status = WdfPdoInitAddCompatibleID(init, &compatibleIds);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAddCompatibleID failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }

    status = RtlUnicodeStringPrintf(&work, L"%02d", InstanceNumber);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u>-- RtlUnicodeStringPrintf failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAssignInstanceID (%S)\n", InstanceNumber,
                workBuffer);
    status = WdfPdoInitAssignInstanceID(init, &work);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u>-- WdfPdoInitAssignInstanceID failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }

    RtlZeroMemory(workBuffer, sizeof(workBuffer));
    status = RtlUnicodeStringPrintf(&work, L"Controller");
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> RtlUnicodeStringPrintf failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!Bus_XusbCreatePdo: <%u> dfPdoInitAddDeviceText (%S, %S, 0x409)\n",
                InstanceNumber, workBuffer, XusbDeviceLocation);
    status = WdfPdoInitAddDeviceText(init, &work, &location, XUSB_LOCALE_US_ENGLISH);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAddDeviceText failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }

    WdfPdoInitSetDefaultLocale(init, XUSB_LOCALE_US_ENGLISH);

    // The child answers the class driver itself: the query for the USB bus
    // interface, and every internal device control (URBs among them).
    status = WdfDeviceInitAssignWdmIrpPreprocessCallback(init, HandleXusbPdoPnPIrp, IRP_MJ_PNP,
                                                         pnpMinors, RTL_NUMBER_OF(pnpMinors));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceInitAssignWdmIrpPreprocessCallback "
                    "IRP_MJ_PNP failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }
    status = WdfDeviceInitAssignWdmIrpPreprocessCallback(init, HandleXusbPdoInternalIrp,
                                                         IRP_MJ_INTERNAL_DEVICE_CONTROL, NULL, 0);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceInitAssignWdmIrpPreprocessCallback "
                    "IRP_MJ_INTERNAL_DEVICE_CONTROL failed 0x%x\n",
                    InstanceNumber, status);
        goto Cleanup;
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, XUSB_PDO_DEVICE_DATA);
    attributes.EvtCleanupCallback = XusbPdoCleanup;
    status = WdfDeviceCreate(&init, &attributes, &child);
    if (!NT_SUCCESS(status)) {
        child = NULL;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceCreate failed 0x%x\n", InstanceNumber,
                    status);
        goto Cleanup;
    }
    // The framework owns the init record from here on.
    init = NULL;

    // The whole context is filled before the parent names the child: the
    // reader thread and the application push reach it through XusbPdo at
    // once. A child without its LED work item still serves its transfers;
    // the initialisation has traced that its LED commands will be dropped.
    (VOID) Bus_XusbInitializePdoData(child, Device, InstanceNumber);
    context = QuillexGetDeviceContext(Device);
    // Published with a full barrier: whoever reads XusbPdo sees the whole context.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&context->XusbPdo), child);

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities);
    capabilities.LockSupported = WdfUseDefault;
    capabilities.EjectSupported = WdfUseDefault;
    capabilities.Removable = WdfTrue;
    capabilities.DockDevice = WdfUseDefault;
    capabilities.UniqueID = WdfTrue;
    capabilities.SilentInstall = WdfUseDefault;
    capabilities.SurpriseRemovalOK = WdfTrue;
    capabilities.HardwareDisabled = WdfFalse;
    capabilities.NoDisplayInUI = WdfFalse;
    capabilities.Address = InstanceNumber;
    capabilities.UINumber = InstanceNumber;
    WdfDeviceSetPnpCapabilities(child, &capabilities);

    status = WdfFdoAddStaticChild(Device, child);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "Quillex!Bus_XusbCreatePdo: <%u> WdfFdoAddStaticChild status %x\n", InstanceNumber,
                status);
    if (NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Quillex!Bus_XusbCreatePdo: <%u>-- %x\n",
                    InstanceNumber, status);
        return status;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                "Quillex!Bus_XusbCreatePdo:  WdfFdoAddStaticChild  failed - 0x%x", status);

Cleanup:
    if (init != NULL) {
        WdfDeviceInitFree(init);
    }
    if (child != NULL) {
        // Its cleanup callback takes the parent's XusbPdo back.
        WdfObjectDelete(child);
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                "Quillex!Bus_XusbCreatePdo: <%u>-- Failed - - %x (err)\n", InstanceNumber, status);
    return status;
}
