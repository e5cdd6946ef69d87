// WDFDEVICE_INIT: what a driver configures in device add before it creates
// the device.
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/device.h"

namespace {

PWDFDEVICE_INIT CheckInit(PWDFDEVICE_INIT init, const char* api) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, api);
    if (init == nullptr) {
        sim::VerifierStop(sim::rule::kDeviceInitMisuse, api, "DeviceInit is null");
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

} // extern "C"
