// Framework devices: the device init record a driver fills in device add,
// and the device with its WDM device object, default I/O target, default
// queue, file objects, interfaces and PnP state.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/wdf/driver.h"

namespace sim::wdf {
class Device;
class FileObject;
class IoTarget;
class Queue;
} // namespace sim::wdf

// What the driver sets up before WdfDeviceCreate; the framework frees it.
struct WDFDEVICE_INIT {
    sim::wdf::Driver* driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    bool filter = false;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    sim::wdf::Device* created = nullptr; // set once WdfDeviceCreate took the record
};

namespace sim::wdf {

enum class PnpState { Added, Started, StartFailed, SurpriseRemoved, Removed };

class Device : public Object {
  public:
    Device() : Object(Kind::Device) { driverMayDelete = false; }

    Driver* driver = nullptr;
    PDEVICE_OBJECT wdm = nullptr;   // this device's own device object
    PDEVICE_OBJECT pdo = nullptr;   // bottom of the stack
    PDEVICE_OBJECT lower = nullptr; // the device it is attached over
    bool filter = false;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    IoTarget* defaultTarget = nullptr;
    Queue* defaultQueue = nullptr;
    std::vector<std::string> interfaces; // symbolic link names, enabled while started

    // PnP state; changed only on the PnP thread.
    PnpState state = PnpState::Added;
    bool hardwarePrepared = false;
    bool inD0 = false;
    bool selfManagedIo = false;
    Object* rawResources = nullptr; // the lists prepare hardware got, until release
    Object* translatedResources = nullptr;

    // File objects of open handles, and requests presented to the driver and
    // not yet completed or handed away.
    std::mutex lock;
    std::condition_variable idle;
    std::map<PFILE_OBJECT, FileObject*> files;
    size_t outstanding = 0;

    void RequestPresented();
    void RequestFinished();
    // Waits until the driver has completed or handed away every request it
    // was given; stops the program when it never does.
    void WaitForRequests(const char* api);
};

// How long removal waits for requests to be completed and for cancelled
// requests to come back before the verifier stops (30 s; tests shorten it).
void SetRemovalWaitLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds RemovalWaitLimit();

Device* DeviceOfWdm(PDEVICE_OBJECT device);
// The framework device the loaded driver attached over 'pdo', or null.
WDFDEVICE FunctionDeviceOf(PDEVICE_OBJECT pdo);

// The framework's entry points in a driver object it manages.
void InstallFrameworkEntryPoints(PDRIVER_OBJECT driver);

// PnP handling of a framework device (IRP_MJ_PNP).
NTSTATUS DispatchPnp(Device* device, PIRP irp);
// Device interfaces: enabled when the device starts, disabled when it goes.
void SetInterfacesState(Device* device, bool enable);

} // namespace sim::wdf
