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

namespace sim::wdf {

// A WDM preprocess callback and the minor functions it takes (all of them
// when the list is empty).
struct Preprocess {
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback = nullptr;
    std::vector<UCHAR> minors;

    bool Takes(UCHAR minor) const;
};

// What the framework reports to the PnP manager for a child device.
struct ChildIdentity {
    std::vector<WCHAR> deviceId;   // as assigned, without a final null
    std::vector<WCHAR> instanceId; // as assigned
    std::vector<std::vector<WCHAR>> hardwareIds;
    std::vector<std::vector<WCHAR>> compatibleIds;
    struct Text {
        LCID locale;
        std::vector<WCHAR> description;
        std::vector<WCHAR> location;
    };
    std::vector<Text> texts;
    bool hasDefaultLocale = false;
    LCID defaultLocale = 0;
};

} // namespace sim::wdf

// What the driver sets up before WdfDeviceCreate; the framework frees it.
struct WDFDEVICE_INIT {
    sim::wdf::Driver* driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    sim::wdf::Device* parent = nullptr; // set for the init of a child device (a PDO)
    bool filter = false;
    bool hasDeviceType = false;
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    std::vector<WCHAR> sddl;
    sim::wdf::Preprocess preprocess[IRP_MJ_MAXIMUM_FUNCTION + 1];
    sim::wdf::ChildIdentity identity;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    sim::wdf::Device* created = nullptr; // set once WdfDeviceCreate took the record
};

namespace sim::wdf {

enum class PnpState { Added, Started, StartFailed, Stopped, SurpriseRemoved, Removed };

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
    IoTarget* defaultTarget = nullptr; // null for a PDO: nothing is below it
    Queue* defaultQueue = nullptr;
    Preprocess preprocess[IRP_MJ_MAXIMUM_FUNCTION + 1];
    bool hasPnpCapabilities = false;
    WDF_DEVICE_PNP_CAPABILITIES pnpCapabilities{};

    // A child device (PDO): its parent and identity, whether the parent has
    // made it a static child (reported to the PnP manager from then on).
    bool isPdo = false;
    Device* parentDevice = nullptr;
    ChildIdentity identity;
    bool reported = false;
    // Reported missing (WdfPdoMarkMissing): no longer among its parent's
    // children; deleted once the PnP manager has removed it.
    bool missing = false;
    // A parent's static children, in the order they were added; and whether
    // it ever had one, so that it answers for its bus (with none) after the
    // last went missing.
    std::vector<Device*> staticChildren;
    bool hasHadStaticChildren = false;
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

  protected:
    // A PDO's device object goes with it.
    void OnCleanup() override;
};

// How long removal waits for requests to be completed and for cancelled
// requests to come back before the verifier stops (30 s; tests shorten it).
void SetRemovalWaitLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds RemovalWaitLimit();

Device* DeviceOfWdm(PDEVICE_OBJECT device);
// What a device takes from its init record whatever its kind: PnP and file
// object callbacks, preprocess callbacks.
void TakeConfiguration(Device* device, const WDFDEVICE_INIT& init);
// The framework device the loaded driver attached over 'pdo', or null.
WDFDEVICE FunctionDeviceOf(PDEVICE_OBJECT pdo);

// The framework's entry points in a driver object it manages.
void InstallFrameworkEntryPoints(PDRIVER_OBJECT driver);

// PnP handling of a framework device (IRP_MJ_PNP).
NTSTATUS DispatchPnp(Device* device, PIRP irp);
// PnP handling of a child device, as its bus driver.
NTSTATUS DispatchChildPnp(Device* device, PIRP irp);
// A parent's answer to IRP_MN_QUERY_DEVICE_RELATIONS for BusRelations: what
// the drivers below report, with its static children added.
NTSTATUS QueryBusRelations(Device* device, PIRP irp);
// A child reported missing, once the PnP manager has removed it and every
// driver over it has detached: deleted now, as the framework deletes a
// missing child at its removal. Nothing for any other device.
void DeleteMissingChild(PDEVICE_OBJECT pdo);
// Sends a PnP IRP down the stack and waits for it to come back up; the IRP
// is the device's again afterwards. Returns the lower drivers' status.
NTSTATUS ForwardAndWait(Device* device, PIRP irp);
// Start and stop of a device's hardware, shared by function and child devices:
// prepare hardware, D0, self-managed I/O; and the reverse.
NTSTATUS BringUp(Device* device);
void PowerDownAndRelease(Device* device);
void EndSelfManagedIo(Device* device);
// Creates the framework device of a child from its init record.
NTSTATUS CreateChildDevice(PWDFDEVICE_INIT init, PWDF_OBJECT_ATTRIBUTES attributes,
                           Device** created);
// Whether the init record came from WdfPdoInitAllocate and is still the
// driver's; the framework forgets one once WdfDeviceCreate took it or the
// driver freed it.
bool IsLivePdoInit(PWDFDEVICE_INIT init);
// Copies a counted string's characters; false for a malformed one.
bool CopyCounted(PCUNICODE_STRING text, std::vector<WCHAR>* out);
void ForgetPdoInit(PWDFDEVICE_INIT init);
// At unload: stops when an init record from WdfPdoInitAllocate was never freed.
void CheckPdoInitsReleased(const char* api);
// Device interfaces: enabled when the device starts, disabled when it goes.
void SetInterfacesState(Device* device, bool enable);

} // namespace sim::wdf
