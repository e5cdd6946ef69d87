// Framework devices: creation over the stack's PDO, the accessors drivers
// use, and device interfaces.
#include "sim/wdf/device.h"

#include <atomic>
#include <chrono>

#include "sim/core/fault.h"
#include "sim/core/utf.h"
#include "sim/core/verifier.h"
#include "sim/io/device_object.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/io_target.h"
#include "sim/wdf/queue.h"

namespace sim::wdf {
namespace {

std::atomic<long long> g_removalWaitMs{30000};

// A framework device inherits the transfer flags of the device it filters;
// a function device takes the I/O type its driver chose.
void SetTransferFlags(PDEVICE_OBJECT wdm, PDEVICE_OBJECT lower, const WDFDEVICE_INIT& init) {
    if (init.filter) {
        wdm->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
        wdm->Characteristics = lower->Characteristics;
        wdm->DeviceType = lower->DeviceType;
    } else if (init.ioType == WdfDeviceIoBuffered) {
        wdm->Flags |= DO_BUFFERED_IO;
    } else if (init.ioType == WdfDeviceIoDirect) {
        wdm->Flags |= DO_DIRECT_IO;
    }
}

void SetInterfaceState(const std::string& link, bool enable) {
    std::vector<WCHAR> text = WideZ(link);
    UNICODE_STRING name;
    name.Buffer = text.data();
    name.Length = static_cast<USHORT>((text.size() - 1) * sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    IoSetDeviceInterfaceState(&name, enable ? TRUE : FALSE);
}

} // namespace

void SetRemovalWaitLimit(std::chrono::milliseconds limit) {
    g_removalWaitMs = limit.count();
}

std::chrono::milliseconds RemovalWaitLimit() {
    return std::chrono::milliseconds(g_removalWaitMs.load());
}

void Device::RequestPresented() {
    std::lock_guard<std::mutex> guard(lock);
    ++outstanding;
}

void Device::RequestFinished() {
    std::lock_guard<std::mutex> guard(lock);
    if (--outstanding == 0) {
        idle.notify_all();
    }
}

void Device::WaitForRequests(const char* api) {
    std::unique_lock<std::mutex> guard(lock);
    if (!idle.wait_for(guard, RemovalWaitLimit(), [this] { return outstanding == 0; })) {
        VerifierStop(rule::kRequestNotCompleted, api,
                     "WDFDEVICE %p: %zu request(s) presented to the driver were neither "
                     "completed nor sent on",
                     static_cast<void*>(this), outstanding);
    }
}

Device* DeviceOfWdm(PDEVICE_OBJECT device) {
    return *static_cast<Device**>(device->DeviceExtension);
}

WDFDEVICE FunctionDeviceOf(PDEVICE_OBJECT pdo) {
    Driver* driver = CurrentDriver();
    if (driver == nullptr || pdo == nullptr) {
        return nullptr;
    }
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
        if (d->DriverObject == driver->wdmDriver) {
            return DeviceOfWdm(d)->HandleAs<WDFDEVICE>();
        }
    }
    return nullptr;
}

void SetInterfacesState(Device* device, bool enable) {
    for (const std::string& link : device->interfaces) {
        SetInterfaceState(link, enable);
    }
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreate");
    if (DeviceInit == nullptr || *DeviceInit == nullptr || Device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Device = nullptr;
    PWDFDEVICE_INIT init = *DeviceInit;
    if (init->created != nullptr) {
        sim::VerifierStop(sim::rule::kDeviceInitMisuse, "WdfDeviceCreate",
                          "DeviceInit %p already made device %p", static_cast<void*>(init),
                          static_cast<void*>(init->created));
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfDeviceCreate", &status)) {
        return status;
    }

    PDEVICE_OBJECT wdm = nullptr;
    status = IoCreateDevice(init->driver->wdmDriver, sizeof(sim::wdf::Device*), nullptr,
                            FILE_DEVICE_UNKNOWN, 0, FALSE, &wdm);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(wdm, init->pdo);
    if (lower == nullptr) {
        IoDeleteDevice(wdm);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto* device = new sim::wdf::Device();
    device->driver = init->driver;
    device->wdm = wdm;
    device->pdo = init->pdo;
    device->lower = lower;
    device->filter = init->filter;
    device->pnp = init->pnpPower;
    device->hasFileConfig = init->hasFileConfig;
    device->fileConfig = init->fileConfig;
    device->hasFileAttributes = init->hasFileAttributes;
    device->fileAttributes = init->fileAttributes;
    status = Attach(device, DeviceAttributes, init->driver, "WdfDeviceCreate");
    if (!NT_SUCCESS(status)) {
        delete device;
        IoDetachDevice(lower);
        IoDeleteDevice(wdm);
        return status;
    }
    *static_cast<sim::wdf::Device**>(wdm->DeviceExtension) = device;
    SetTransferFlags(wdm, lower, *init);

    auto* target = new IoTarget();
    target->driverMayDelete = false;
    target->device = device;
    target->targetDevice = lower;
    Attach(target, nullptr, device, "WdfDeviceCreate");
    device->defaultTarget = target;

    init->created = device;
    *DeviceInit = nullptr;
    *Device = device->HandleAs<WDFDEVICE>();
    return STATUS_SUCCESS;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    return LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceGetDriver")
        ->driver->HandleAs<WDFDRIVER>();
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
    return LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceWdmGetDeviceObject")->wdm;
}

PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device) {
    return LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceWdmGetAttachedDevice")->lower;
}

PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device) {
    return LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceWdmGetPhysicalDevice")->pdo;
}

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfDeviceGetIoTarget");
    return LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceGetIoTarget")
        ->defaultTarget->HandleAs<WDFIOTARGET>();
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    auto* device = LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceGetDefaultQueue");
    return device->defaultQueue != nullptr ? device->defaultQueue->HandleAs<WDFQUEUE>() : nullptr;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreateDeviceInterface");
    auto* device =
        LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfDeviceCreateDeviceInterface");
    if (InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfDeviceCreateDeviceInterface", &status)) {
        return status;
    }
    UNICODE_STRING link{};
    status = IoRegisterDeviceInterface(device->pdo, InterfaceClassGUID,
                                       const_cast<PUNICODE_STRING>(ReferenceString), &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::string name = sim::Utf16ToUtf8(link);
    RtlFreeUnicodeString(&link);
    device->interfaces.push_back(name);
    if (device->state == PnpState::Started) {
        sim::wdf::SetInterfaceState(name, true);
    }
    return STATUS_SUCCESS;
}

} // extern "C"
