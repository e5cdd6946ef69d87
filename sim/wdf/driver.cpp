#include "sim/wdf/driver.h"

#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/wdf/device.h"

namespace sim::wdf {

Driver* CurrentDriver() {
    return static_cast<Driver*>(DriverRoot());
}

void UnloadDriver() {
    Driver* driver = CurrentDriver();
    if (driver == nullptr) {
        return;
    }
    if (driver->config.EvtDriverUnload != nullptr) {
        driver->config.EvtDriverUnload(driver->HandleAs<WDFDRIVER>());
    }
    SetDriverRoot(nullptr);
    Delete(driver, "driver unload");
}

void DiscardDriver() {
    Driver* driver = CurrentDriver();
    if (driver == nullptr) {
        return;
    }
    SetDriverRoot(nullptr);
    Delete(driver, "failed DriverEntry");
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* DriverHandle) {
    PAGED_CODE();
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverHandle != nullptr) {
        *DriverHandle = nullptr;
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfDriverCreate", &status)) {
        return status;
    }
    if (CurrentDriver() != nullptr) {
        sim::VerifierStop(sim::rule::kIllegalDelete, "WdfDriverCreate",
                          "a framework driver object already exists");
    }
    auto* driver = new Driver();
    driver->wdmDriver = DriverObject;
    driver->config = *DriverConfig;
    driver->registryPath.assign(RegistryPath->Buffer,
                                RegistryPath->Buffer + RegistryPath->Length / sizeof(WCHAR));
    driver->registryPath.push_back(0);
    status = Attach(driver, DriverAttributes, nullptr, "WdfDriverCreate");
    if (!NT_SUCCESS(status)) {
        delete driver;
        return status;
    }
    SetDriverRoot(driver);
    InstallFrameworkEntryPoints(DriverObject);
    if (DriverHandle != nullptr) {
        *DriverHandle = driver->HandleAs<WDFDRIVER>();
    }
    return STATUS_SUCCESS;
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver) {
    PAGED_CODE();
    auto* driver = LookupAs<sim::wdf::Driver>(Driver, Kind::Driver, "WdfDriverGetRegistryPath");
    return driver->registryPath.data();
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
    return LookupAs<sim::wdf::Driver>(Driver, Kind::Driver, "WdfDriverWdmGetDriverObject")
        ->wdmDriver;
}

WDFDRIVER WdfGetDriver(VOID) {
    Driver* driver = CurrentDriver();
    return driver != nullptr ? driver->HandleAs<WDFDRIVER>() : nullptr;
}

} // extern "C"
