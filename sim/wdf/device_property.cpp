// PnP properties of a framework device, read from its PDO.
#include "sim/core/fault.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/device.h"
#include "sim/wdf/memory.h"

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfDeviceQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceQueryProperty");
    auto* device = LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceQueryProperty");
    if (ResultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = 0;
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfDeviceQueryProperty", &status)) {
        return status;
    }
    return IoGetDeviceProperty(device->pdo, DeviceProperty, BufferLength, PropertyBuffer,
                               ResultLength);
}

NTSTATUS WdfDeviceAllocAndQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        POOL_TYPE PoolType,
                                        PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                        WDFMEMORY* PropertyMemory) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceAllocAndQueryProperty");
    auto* device =
        LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceAllocAndQueryProperty");
    if (PropertyMemory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *PropertyMemory = nullptr;
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfDeviceAllocAndQueryProperty", &status)) {
        return status;
    }
    ULONG length = 0;
    status = IoGetDeviceProperty(device->pdo, DeviceProperty, 0, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    auto* memory = new Memory();
    memory->poolType = PoolType;
    memory->poolTag = device->driver->config.DriverPoolTag != 0
                          ? device->driver->config.DriverPoolTag
                          : static_cast<ULONG>('FDW');
    memory->size = length;
    memory->buffer = ExAllocatePoolWithTag(PoolType, length, memory->poolTag);
    if (memory->buffer == nullptr) {
        delete memory;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IoGetDeviceProperty(device->pdo, DeviceProperty, length, memory->buffer, &length);
    if (NT_SUCCESS(status)) {
        status = Attach(memory, PropertyMemoryAttributes, device->driver,
                        "WdfDeviceAllocAndQueryProperty");
    }
    if (!NT_SUCCESS(status)) {
        delete memory;
        return status;
    }
    *PropertyMemory = memory->HandleAs<WDFMEMORY>();
    return STATUS_SUCCESS;
}

} // extern "C"
