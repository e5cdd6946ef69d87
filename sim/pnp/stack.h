// sim::pnp::Stack: the simulated PnP manager with one driver, as quillex-sim
// and the system tests drive it.
//
// Load() loads the driver as Windows does: a DRIVER_OBJECT and the service
// key path handed to its DriverEntry, on the PnP thread. Plug() adds a HID
// collection a peer describes (sim/peers/stick plugs the arcade sticks): a
// PDO (\Driver\HidUsb, named like \Device\00000042) with its hardware IDs, the driver's
// AddDevice over it, then IRP_MN_START_DEVICE down the new stack. Unplug()
// is a surprise removal: IRP_MN_SURPRISE_REMOVAL at once, IRP_MN_REMOVE_DEVICE
// once the last open handle is closed; the framework then deletes the device
// with everything it owns and the verifier checks that nothing is left over.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wdf.h>

#include "sim/pnp/devnode.h"
#include "sim/hid/lower_device.h"
#include "sim/pnp/pnp_thread.h"

namespace sim::hid {
class Collection;
}

namespace sim::pnp {

// One HID collection to plug.
struct DeviceDescription {
    std::vector<std::string> hardwareIds; // most specific first
    std::vector<std::string> compatibleIds;
    std::string description = "HID-compliant game controller";
    std::string pdoName;                     // empty: the system names it \Device\<8 hex digits>
    std::unique_ptr<hid::LowerDevice> lower; // null: a hid::RecordingLowerDevice
};

// What an INF tells the PnP manager about a driver for devices other than
// the plugged collections: its service name, its entry point, and the hardware or
// compatible IDs it installs on.
struct DriverPackage {
    std::string service;
    PDRIVER_INITIALIZE entry = nullptr;
    std::vector<std::string> ids;
};

enum class DeviceState {
    NoDriver,        // plugged while no driver was loaded
    AddFailed,       // the driver's device add failed: the PDO stands alone
    Added,           // added, its start held back (PlugWithoutStart)
    StartFailed,     // the stack failed to start and was taken down
    Started,         // running
    Stopped,         // stopped for a restart: hardware released, stack still there
    SurpriseRemoved, // unplugged; removal waits for the last handle
    Removed,         // gone
};

// A child a driver reported among its bus relations, as the PnP manager
// learned it (IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT for locale 0x409,
// IRP_MN_QUERY_CAPABILITIES) and what it did with it.
struct ChildDevice {
    PDEVICE_OBJECT pdo = nullptr; // null once removed
    std::string deviceId;
    std::string instanceIdOnBus; // what the bus reported
    std::string instanceId;      // the device instance path built from both
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string location;
    DEVICE_CAPABILITIES capabilities{};
    std::string service; // the driver bound to it; empty when none matched
    DeviceState state = DeviceState::NoDriver;
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
};

class Stack {
  public:
    using DeviceId = unsigned;

    explicit Stack(PDRIVER_INITIALIZE driverEntry, std::string serviceName = "Quillex");
    // Unplugs what is left and unloads the driver. Handles opened on the
    // devices must be closed before.
    ~Stack();
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    // DriverEntry's status.
    NTSTATUS Load();
    // Removes every device still present (orderly), then unloads the driver.
    // STATUS_DEVICE_BUSY when a device still has open handles.
    NTSTATUS Unload();
    bool Loaded() const;
    // \Registry\Machine\System\CurrentControlSet\Services\<service>
    std::string RegistryPath() const;

    // Plugs a collection (loading the driver first if needed). Returns the
    // load status when the driver fails to load, else the device add status,
    // or the start status after a successful add.
    NTSTATUS Plug(DeviceDescription device, DeviceId* id);
    // Plugs a collection and has the driver add its device, but holds the
    // start back (as the PnP manager does while it finds the device
    // resources): the device stays Added until it is unplugged or removed.
    NTSTATUS PlugWithoutStart(DeviceDescription device, DeviceId* id);
    // Surprise removal. STATUS_NO_SUCH_DEVICE when already removed.
    NTSTATUS Unplug(DeviceId id);
    // Orderly removal (query-remove, then remove). STATUS_DEVICE_BUSY while
    // handles are open, or the driver's query-remove failure.
    NTSTATUS Remove(DeviceId id);
    // Blocks until the device is removed (after Unplug, once handles close).
    void WaitRemoved(DeviceId id);
    // Drops what the manager keeps of a removed device (its lower device,
    // its children's records), for a caller that plugs devices one after
    // another for as long as it runs; the id names nothing afterwards.
    // Stops the test when the device is not removed.
    void Forget(DeviceId id);

    // Stopping and starting a running device again, as the PnP manager does
    // to rebalance resources: the device and the children below it are asked
    // with IRP_MN_QUERY_STOP_DEVICE (children first; a refusal is answered
    // with IRP_MN_CANCEL_STOP_DEVICE to every one asked and returned), then
    // stopped with IRP_MN_STOP_DEVICE, children first. Start() sends
    // IRP_MN_START_DEVICE to the device, then to the children it stopped; a
    // device that fails to start again is taken down as at a failed plug.
    // Open handles stay open throughout. STATUS_INVALID_DEVICE_STATE when the
    // device is not running (Stop) or not stopped (Start).
    NTSTATUS Stop(DeviceId id);
    NTSTATUS Start(DeviceId id);
    NTSTATUS Restart(DeviceId id);

    DeviceState State(DeviceId id) const;
    NTSTATUS AddStatus(DeviceId id) const;
    NTSTATUS StartStatus(DeviceId id) const;
    // The driver's device over the collection; null when there is none.
    WDFDEVICE FunctionDevice(DeviceId id) const;
    hid::LowerDevice* Lower(DeviceId id) const;
    // The lower device when it is the recording model (the HID collection is
    // one too), else null.
    hid::RecordingLowerDevice* Recorder(DeviceId id) const;
    // The lower device when it is a HID collection (sim/hid/collection.h), else null.
    hid::Collection* Hid(DeviceId id) const;
    std::string PdoName(DeviceId id) const;
    std::string InstanceId(DeviceId id) const;
    // Enabled device interfaces of the collection, as paths an application opens.
    std::vector<std::string> Interfaces(DeviceId id) const;

    // Child devices: when a driver reports a child among a device's bus
    // relations, the PnP manager queries its identity, loads the installed
    // driver whose IDs match (hardware IDs first, then compatible IDs, in
    // their order), adds its device over the child and starts the child's
    // stack. Children are surprise-removed and removed before their parent.
    void Install(DriverPackage package);
    // The children of a plugged device, in the order they were reported.
    std::vector<ChildDevice> Children(DeviceId id) const;
    // Waits until the PnP thread has nothing left to do, including the
    // enumerations that drivers asked for from other threads.
    void WaitIdle();
    // Runs 'work' on the PnP manager's thread and waits for it (for a test
    // that sets something of that thread's, such as its clock).
    void RunOnManagerThread(std::function<void()> work);

  private:
    struct Node {
        DevNode devnode;
        DeviceState state = DeviceState::NoDriver;
        NTSTATUS addStatus = STATUS_SUCCESS;
        NTSTATUS startStatus = STATUS_SUCCESS;
        // Children (bus relations) of this device, and what they got.
        Node* parent = nullptr;
        std::vector<std::unique_ptr<Node>> children;
        std::string deviceId;
        std::string instanceIdOnBus;
        std::string service;
    };
    struct LoadedPackage {
        DriverPackage package;
        std::vector<WCHAR> driverName;
        std::vector<WCHAR> registryPath;
        DRIVER_OBJECT object{};
        DRIVER_EXTENSION extension{};
        bool loaded = false;
    };

    NTSTATUS LoadOnPnpThread();
    NTSTATUS PlugOnPnpThread(DeviceDescription device, DeviceId* id, bool start);
    NTSTATUS RemoveOnPnpThread(DeviceId id);
    void FinishRemoval(DeviceId id);
    // Child devices (enumeration.cpp), on the PnP thread.
    void WatchBusRelations(Node* node);
    void EnumerateBus(Node* node);
    void AddChild(Node* parent, PDEVICE_OBJECT pdo);
    LoadedPackage* MatchPackage(const Node& child);
    NTSTATUS LoadPackage(LoadedPackage* package);
    void UnloadPackages();
    NTSTATUS QueryRemoveChildren(Node* node, std::vector<Node*>* queried);
    void CancelRemoveChildren(const std::vector<Node*>& queried);
    void SurpriseRemoveChildren(Node* node);
    void RemoveMissingChild(Node* parent, Node* child);
    NTSTATUS QueryStopChildren(Node* node, std::vector<Node*>* queried);
    void StopChildren(Node* node);
    void StartChildren(Node* node);
    void RemoveChildren(Node* node);
    Node& NodeOf(DeviceId id) const;
    std::vector<DeviceId> PresentDevices() const;

    PDRIVER_INITIALIZE entry_;
    std::string service_;
    std::vector<WCHAR> driverName_;
    std::vector<WCHAR> registryPath_;
    DRIVER_OBJECT driverObject_{};
    DRIVER_EXTENSION driverExtension_{};
    bool loaded_ = false;

    mutable std::mutex lock_;
    std::condition_variable removed_;
    std::map<DeviceId, std::unique_ptr<Node>> nodes_;
    DeviceId nextId_ = 1;

    std::vector<std::unique_ptr<LoadedPackage>> packages_;

    std::unique_ptr<PnpThread> thread_;
};

} // namespace sim::pnp
