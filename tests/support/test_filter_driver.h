// A small KMDF driver for testing the simulated PnP manager, I/O manager and
// framework on their own: a filter (or function) device with every PnP/power
// callback logged, and request handlers that each test supplies.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <wdf.h>

namespace quillex_test {

struct TEST_DEVICE_CONTEXT {
    ULONG Number;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_DEVICE_CONTEXT, TestDeviceContext)

struct TestDriverHooks {
    bool filter = true;
    bool fileObjects = false; // a file object configuration without a create callback
    // Called after WdfDeviceCreate; its status is device add's.
    std::function<NTSTATUS(WDFDEVICE)> afterCreate;
    std::function<void(WDFDEVICE, WDFREQUEST, WDFFILEOBJECT)> fileCreate;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t, size_t, ULONG)> deviceControl;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t, size_t, ULONG)> internalDeviceControl;
    std::function<NTSTATUS(WDFDEVICE)> queryRemove;
    std::function<NTSTATUS(WDFDEVICE)> queryStop;
    NTSTATUS prepareStatus = STATUS_SUCCESS; // what prepare hardware returns

    std::mutex lock;
    std::vector<std::string> events;

    void Log(const std::string& event) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
};

inline TestDriverHooks*& CurrentHooks() {
    static TestDriverHooks* hooks = nullptr;
    return hooks;
}
inline TestDriverHooks& Hooks() {
    return *CurrentHooks();
}

namespace test_driver {

inline NTSTATUS PrepareHardware(WDFDEVICE, WDFCMRESLIST raw, WDFCMRESLIST translated) {
    Hooks().Log(std::string("prepare") +
                (WdfCmResourceListGetCount(raw) == 0 && WdfCmResourceListGetCount(translated) == 0
                     ? ""
                     : " (resources)"));
    return Hooks().prepareStatus;
}
inline NTSTATUS ReleaseHardware(WDFDEVICE, WDFCMRESLIST) {
    Hooks().Log("release");
    return STATUS_SUCCESS;
}
inline NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    Hooks().Log("D0 entry");
    return STATUS_SUCCESS;
}
inline NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    Hooks().Log("D0 exit");
    return STATUS_SUCCESS;
}
inline NTSTATUS SelfManagedIoInit(WDFDEVICE) {
    Hooks().Log("self-managed I/O init");
    return STATUS_SUCCESS;
}
inline NTSTATUS SelfManagedIoSuspend(WDFDEVICE) {
    Hooks().Log("self-managed I/O suspend");
    return STATUS_SUCCESS;
}
inline NTSTATUS SelfManagedIoRestart(WDFDEVICE) {
    Hooks().Log("self-managed I/O restart");
    return STATUS_SUCCESS;
}
inline VOID SelfManagedIoFlush(WDFDEVICE) {
    Hooks().Log("self-managed I/O flush");
}
inline VOID SelfManagedIoCleanup(WDFDEVICE) {
    Hooks().Log("self-managed I/O cleanup");
}
inline VOID SurpriseRemoval(WDFDEVICE) {
    Hooks().Log("surprise removal");
}
inline NTSTATUS QueryRemove(WDFDEVICE device) {
    Hooks().Log("query remove");
    return Hooks().queryRemove ? Hooks().queryRemove(device) : STATUS_SUCCESS;
}
inline NTSTATUS QueryStop(WDFDEVICE device) {
    Hooks().Log("query stop");
    return Hooks().queryStop ? Hooks().queryStop(device) : STATUS_SUCCESS;
}
inline VOID ContextCleanup(WDFOBJECT) {
    Hooks().Log("context cleanup");
}
inline VOID FileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file) {
    Hooks().fileCreate(device, request, file);
}
inline VOID DeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in, ULONG code) {
    Hooks().deviceControl(queue, request, out, in, code);
}
inline VOID InternalDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in,
                                  ULONG code) {
    Hooks().internalDeviceControl(queue, request, out, in, code);
}
inline VOID Unload(WDFDRIVER) {
    Hooks().Log("unload");
}

inline NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    TestDriverHooks& hooks = Hooks();
    hooks.Log("device add");
    if (hooks.filter) {
        WdfFdoInitSetFilter(init);
    }
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    pnp.EvtDeviceSelfManagedIoInit = SelfManagedIoInit;
    pnp.EvtDeviceSelfManagedIoSuspend = SelfManagedIoSuspend;
    pnp.EvtDeviceSelfManagedIoFlush = SelfManagedIoFlush;
    pnp.EvtDeviceSelfManagedIoCleanup = SelfManagedIoCleanup;
    pnp.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    pnp.EvtDeviceQueryRemove = QueryRemove;
    pnp.EvtDeviceQueryStop = QueryStop;
    pnp.EvtDeviceSelfManagedIoRestart = SelfManagedIoRestart;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    if (hooks.fileCreate || hooks.fileObjects) {
        WDF_FILEOBJECT_CONFIG files;
        WDF_FILEOBJECT_CONFIG_INIT(&files, hooks.fileCreate ? FileCreate : nullptr, nullptr,
                                   nullptr);
        WdfDeviceInitSetFileObjectConfig(init, &files, WDF_NO_OBJECT_ATTRIBUTES);
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = ContextCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (hooks.deviceControl || hooks.internalDeviceControl) {
        WDF_IO_QUEUE_CONFIG queue;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
        queue.PowerManaged = WdfFalse;
        if (hooks.deviceControl) {
            queue.EvtIoDeviceControl = DeviceControl;
        }
        if (hooks.internalDeviceControl) {
            queue.EvtIoInternalDeviceControl = InternalDeviceControl;
        }
        status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return hooks.afterCreate ? hooks.afterCreate(device) : STATUS_SUCCESS;
}

inline NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    config.EvtDriverUnload = Unload;
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

} // namespace test_driver

// Installs a fresh set of hooks for one test.
class TestDriverScope {
  public:
    TestDriverScope() { CurrentHooks() = &hooks_; }
    ~TestDriverScope() { CurrentHooks() = nullptr; }
    TestDriverHooks& hooks() { return hooks_; }

  private:
    TestDriverHooks hooks_;
};

} // namespace quillex_test
