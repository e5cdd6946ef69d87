// The driver's binding to KMDF 1.9, which the WDK's stub library would give:
// the image's entry point binds to the framework through its loader, fills the
// function table the framework headers call through, then runs DriverEntry.
// Unbinding follows a failed DriverEntry and, chained in front of the driver's
// own unload routine, every unload.
#include "windows/kmdf/binding.h"

#include "driver/device_add.h"
#include "platform/platform.h"

extern "C" {

DRIVER_INITIALIZE FxDriverEntry;

// The table the framework fills at bind time; the headers reach it through
// WdfFunctions (renamed by wdf.h to the name of the headers' version).
static QUILLEX_WDFFUNC QuillexWdfFunctionTable[QUILLEX_KMDF_FUNCTION_COUNT];
const WDFFUNC* WdfFunctions = reinterpret_cast<const WDFFUNC*>(QuillexWdfFunctionTable);
PWDF_DRIVER_GLOBALS WdfDriverGlobals = NULL;

static WCHAR QuillexKmdfComponent[] = L"KmdfLibrary";

static WDF_BIND_INFO QuillexBindInfo = {
    sizeof(WDF_BIND_INFO),
    QuillexKmdfComponent,
    {QUILLEX_KMDF_MAJOR, QUILLEX_KMDF_MINOR, QUILLEX_KMDF_BUILD},
    QUILLEX_KMDF_FUNCTION_COUNT,
    QuillexWdfFunctionTable,
    NULL,
};

// The I/O manager frees the registry path DriverEntry gets when DriverEntry
// returns; unbinding at unload needs it, so the binding keeps a copy.
static UNICODE_STRING QuillexBoundRegistryPath;
static PDRIVER_UNLOAD QuillexDriverOwnUnload = NULL;

static VOID QuillexUnbind(VOID) {
    WdfVersionUnbind(&QuillexBoundRegistryPath, &QuillexBindInfo, WdfDriverGlobals);
    WdfDriverGlobals = NULL;
    if (QuillexBoundRegistryPath.Buffer != NULL) {
        ExFreePoolWithTag(QuillexBoundRegistryPath.Buffer, QUILLEX_POOL_TAG);
        QuillexBoundRegistryPath.Buffer = NULL;
    }
}

static VOID QuillexStubUnload(PDRIVER_OBJECT DriverObject) {
    if (QuillexDriverOwnUnload != NULL) {
        QuillexDriverOwnUnload(DriverObject);
    }
    QuillexUnbind();
}

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, FxDriverEntry)
#endif

_Use_decl_annotations_ NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject,
                                              PUNICODE_STRING RegistryPath) {
    NTSTATUS status;

    if (DriverObject == NULL || RegistryPath == NULL || RegistryPath->Buffer == NULL ||
        RegistryPath->Length == 0 || RegistryPath->Length % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    QuillexBoundRegistryPath.Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, RegistryPath->Length, QUILLEX_POOL_TAG));
    if (QuillexBoundRegistryPath.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(QuillexBoundRegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    QuillexBoundRegistryPath.Length = RegistryPath->Length;
    QuillexBoundRegistryPath.MaximumLength = RegistryPath->Length;

    status = WdfVersionBind(DriverObject, &QuillexBoundRegistryPath, &QuillexBindInfo,
                            reinterpret_cast<PWDF_COMPONENT_GLOBALS*>(&WdfDriverGlobals));
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(QuillexBoundRegistryPath.Buffer, QUILLEX_POOL_TAG);
        QuillexBoundRegistryPath.Buffer = NULL;
        return status;
    }

    status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        QuillexUnbind();
        return status;
    }
    // The framework set the driver's unload routine in DriverEntry. Unless the
    // framework asks to be left alone, the binding's unload goes in front of
    // it: it runs the driver's, then unbinds.
    if (WdfDriverGlobals != NULL && WdfDriverGlobals->DisplaceDriverUnload) {
        QuillexDriverOwnUnload = DriverObject->DriverUnload;
        DriverObject->DriverUnload = QuillexStubUnload;
    }
    return status;
}

} // extern "C"
