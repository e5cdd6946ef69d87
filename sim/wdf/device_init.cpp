// WDFDEVICE_INIT: what a driver configures in device add (or, for a child,
// after WdfPdoInitAllocate) before it creates the device.
#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/device.h"

namespace {

PWDFDEVICE_INIT CheckInit(PWDFDEVICE_INIT init, const char* api) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, api);
    if (init == nullptr) {
        sim::VerifierStop(sim::rule::kDeviceInitMisuse, api, "DeviceInit is null");
    }
    // A child's record is freed when WdfDeviceCreate takes it: a live one
    // is still the driver's.
    if (sim::wdf::IsLivePdoInit(init)) {
        return init;
    }
    if (init->created != nullptr) {
        sim::VerifierStop(sim::rule::kDeviceInitMisuse, api,
                          "DeviceInit %p already went to WdfDeviceCreate",
                          static_cast<void*>(init));
    }
    return init;
}

} // namespace

extern "C" {

VOID WdfFdoInitSetFilter(PWDFDEVICE_INIT DeviceInit) {
    CheckInit(DeviceInit, "WdfFdoInitSetFilter")->filter = true;
}

PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit) {
    return CheckInit(DeviceInit, "WdfFdoInitWdmGetPhysicalDevice")->pdo;
}

VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    PWDFDEVICE_INIT init = CheckInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (PnpPowerEventCallbacks == nullptr ||
        PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        sim::VerifierStop(sim::rule::kBadConfigSize, "WdfDeviceInitSetPnpPowerEventCallbacks",
                          "WDF_PNPPOWER_EVENT_CALLBACKS.Size is %u, expected %zu",
                          PnpPowerEventCallbacks != nullptr ? PnpPowerEventCallbacks->Size : 0,
                          sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    }
    init->pnpPower = *PnpPowerEventCallbacks;
}

VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    PWDFDEVICE_INIT init = CheckInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig");
    if (FileObjectConfig == nullptr || FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        sim::VerifierStop(sim::rule::kBadConfigSize, "WdfDeviceInitSetFileObjectConfig",
                          "WDF_FILEOBJECT_CONFIG.Size is %u, expected %zu",
                          FileObjectConfig != nullptr ? FileObjectConfig->Size : 0,
                          sizeof(WDF_FILEOBJECT_CONFIG));
    }
    if (FileObjectAttributes != nullptr &&
        FileObjectAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        sim::VerifierStop(sim::rule::kBadAttributes, "WdfDeviceInitSetFileObjectConfig",
                          "WDF_OBJECT_ATTRIBUTES.Size is %u, expected %zu",
                          FileObjectAttributes->Size, sizeof(WDF_OBJECT_ATTRIBUTES));
    }
    init->hasFileConfig = true;
    init->fileConfig = *FileObjectConfig;
    init->hasFileAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes != nullptr) {
        init->fileAttributes = *FileObjectAttributes;
    }
}

VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    CheckInit(DeviceInit, "WdfDeviceInitSetIoType")->ioType = IoType;
}

VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType) {
    PWDFDEVICE_INIT init = CheckInit(DeviceInit, "WdfDeviceInitSetDeviceType");
    init->hasDeviceType = true;
    init->deviceType = DeviceType;
}

NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString) {
    PWDFDEVICE_INIT init = CheckInit(DeviceInit, "WdfDeviceInitAssignSDDLString");
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfDeviceInitAssignSDDLString", &status)) {
        return status;
    }
    // The descriptor is kept as given; nothing in the simulator checks access
    // against it.
    std::vector<WCHAR> sddl;
    if (!sim::wdf::CopyCounted(SDDLString, &sddl) || sddl.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    init->sddl = std::move(sddl);
    return STATUS_SUCCESS;
}

// A second callback for a major function that has one is refused; the same
// callback again adds its minor functions to the list.
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
    UCHAR MajorFunction, PUCHAR MinorFunctions, ULONG NumMinorFunctions) {
    PWDFDEVICE_INIT init = CheckInit(DeviceInit, "WdfDeviceInitAssignWdmIrpPreprocessCallback");
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfDeviceInitAssignWdmIrpPreprocessCallback", &status)) {
        return status;
    }
    if (EvtDeviceWdmIrpPreprocess == nullptr || MajorFunction > IRP_MJ_MAXIMUM_FUNCTION ||
        (NumMinorFunctions != 0 && MinorFunctions == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    sim::wdf::Preprocess& entry = init->preprocess[MajorFunction];
    if (entry.callback != nullptr && entry.callback != EvtDeviceWdmIrpPreprocess) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    bool allBefore = entry.callback != nullptr && entry.minors.empty();
    entry.callback = EvtDeviceWdmIrpPreprocess;
    if (NumMinorFunctions == 0 || allBefore) {
        entry.minors.clear();
    } else {
        entry.minors.insert(entry.minors.end(), MinorFunctions, MinorFunctions + NumMinorFunctions);
    }
    return STATUS_SUCCESS;
}

} // extern "C"
