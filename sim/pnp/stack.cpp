// The PnP manager: loading the driver, building, starting and removing the
// device stacks of plugged collections.
#include "sim/pnp/stack.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>

#include "sim/core/utf.h"
#include "sim/core/watchdog.h"
#include "sim/core/verifier.h"
#include "sim/hid/collection.h"
#include "sim/io/device_object.h"
#include "sim/io/sync_call.h"
#include "sim/io/target_notification.h"
#include "sim/kernel/irp.h"
#include "sim/pnp/pnp_irp.h"
#include "sim/wdf/device.h"
#include "sim/wdf/driver.h"

namespace sim::pnp {
namespace {

// How long the stack's destructor waits for open handles to go.
constexpr std::chrono::seconds kTeardownLimit{10};

unsigned g_nextInstance = 0;

std::string DeviceIdFrom(const std::string& hardwareId) {
    std::string id = hardwareId;
    size_t rev = id.find("&REV_");
    if (rev != std::string::npos) {
        size_t end = id.find('&', rev + 1);
        id.erase(rev, end == std::string::npos ? std::string::npos : end - rev);
    }
    return id;
}

UNICODE_STRING Counted(std::vector<WCHAR>& text) {
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = static_cast<USHORT>((text.size() - 1) * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return s;
}

} // namespace

io::IoResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& parameters) {
    PDEVICE_OBJECT top = io::TopOfStack(pdo);
    PIRP irp = io::AllocateIrpMustSucceed(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (parameters) {
        parameters(stack);
    }
    return io::CallAndWait(top, irp);
}

Stack::Stack(PDRIVER_INITIALIZE driverEntry, std::string serviceName)
    : entry_(driverEntry), service_(std::move(serviceName)),
      driverName_(sim::WideZ("\\Driver\\" + service_)), registryPath_(sim::WideZ(RegistryPath())),
      thread_(std::make_unique<PnpThread>()) {}

Stack::~Stack() {
    for (DeviceId id : PresentDevices()) {
        Unplug(id);
        std::unique_lock<std::mutex> guard(lock_);
        if (!removed_.wait_for(guard, kTeardownLimit,
                               [&] { return nodes_[id]->state == DeviceState::Removed; })) {
            fprintf(stderr,
                    "sim::pnp::Stack: device %u still has open handles; close them before the "
                    "stack goes\n",
                    id);
            abort();
        }
    }
    if (loaded_) {
        Unload();
    }
    thread_.reset();
}

std::string Stack::RegistryPath() const {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_;
}

bool Stack::Loaded() const {
    std::lock_guard<std::mutex> guard(lock_);
    return loaded_;
}

NTSTATUS Stack::Load() {
    NTSTATUS status;
    thread_->Run([&] { status = LoadOnPnpThread(); });
    return status;
}

NTSTATUS Stack::LoadOnPnpThread() {
    if (loaded_) {
        return STATUS_SUCCESS;
    }
    driverObject_ = DRIVER_OBJECT{};
    driverExtension_ = DRIVER_EXTENSION{};
    driverObject_.Type = 4;
    driverObject_.Size = sizeof(DRIVER_OBJECT);
    driverObject_.DriverExtension = &driverExtension_;
    driverObject_.DriverName = Counted(driverName_);
    driverObject_.DriverInit = entry_;
    driverExtension_.DriverObject = &driverObject_;
    driverExtension_.ServiceKeyName = driverObject_.DriverName;
    UNICODE_STRING registryPath = Counted(registryPath_);
    NTSTATUS status = entry_(&driverObject_, &registryPath);
    if (!NT_SUCCESS(status)) {
        // The image goes without its unload routine; the framework driver
        // it may have made goes with it.
        sim::wdf::Driver* driver = sim::wdf::CurrentDriver();
        if (driver != nullptr && driver->wdmDriver == &driverObject_) {
            sim::wdf::DiscardDriver();
        }
        return status;
    }
    std::lock_guard<std::mutex> guard(lock_);
    loaded_ = true;
    return STATUS_SUCCESS;
}

std::vector<Stack::DeviceId> Stack::PresentDevices() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<DeviceId> present;
    for (auto& [id, node] : nodes_) {
        if (node->state != DeviceState::Removed) {
            present.push_back(id);
        }
    }
    return present;
}

NTSTATUS Stack::Unload() {
    for (DeviceId id : PresentDevices()) {
        NTSTATUS status = Remove(id);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    thread_->Run([&] {
        if (!loaded_) {
            return;
        }
        if (driverObject_.DriverUnload != nullptr) {
            driverObject_.DriverUnload(&driverObject_);
        }
        if (driverObject_.DeviceObject != nullptr) {
            VerifierStop(rule::kObjectsLeftOver, "driver unload",
                         "device object %p of %s still exists",
                         static_cast<void*>(driverObject_.DeviceObject), service_.c_str());
        }
        std::lock_guard<std::mutex> guard(lock_);
        loaded_ = false;
    });
    thread_->Run([&] { UnloadPackages(); });
    return STATUS_SUCCESS;
}

NTSTATUS Stack::Plug(DeviceDescription device, DeviceId* id) {
    NTSTATUS result;
    thread_->Run([&] { result = PlugOnPnpThread(std::move(device), id, true); });
    return result;
}

NTSTATUS Stack::PlugWithoutStart(DeviceDescription device, DeviceId* id) {
    NTSTATUS result;
    thread_->Run([&] { result = PlugOnPnpThread(std::move(device), id, false); });
    return result;
}

NTSTATUS Stack::PlugOnPnpThread(DeviceDescription device, DeviceId* id, bool start) {
    if (id == nullptr || device.hardwareIds.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    auto node = std::make_unique<Node>();
    DevNode& dn = node->devnode;
    char instance[32];
    snprintf(instance, sizeof(instance), "\\1&2d595ca7&0&%04u", g_nextInstance++);
    dn.instanceId = DeviceIdFrom(device.hardwareIds.front()) + instance;
    dn.hardwareIds = std::move(device.hardwareIds);
    dn.compatibleIds = std::move(device.compatibleIds);
    dn.description = std::move(device.description);
    dn.lower =
        device.lower ? std::move(device.lower) : std::make_unique<hid::RecordingLowerDevice>();

    // The collection's PDO, as the HID class creates it.
    std::vector<WCHAR> name = sim::WideZ(device.pdoName);
    UNICODE_STRING counted = Counted(name);
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(
        hid::CollectionDriverObject(), sizeof(hid::LowerDevice*),
        device.pdoName.empty() ? nullptr : &counted, FILE_DEVICE_UNKNOWN,
        FILE_DEVICE_SECURE_OPEN | (device.pdoName.empty() ? FILE_AUTOGENERATED_DEVICE_NAME : 0),
        FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *static_cast<hid::LowerDevice**>(pdo->DeviceExtension) = dn.lower.get();
    pdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    io::Record(pdo)->devnode = &dn;
    dn.pdo = pdo;
    dn.pdoName = io::Record(pdo)->name;
    WatchBusRelations(node.get());

    Node* raw = node.get();
    {
        std::lock_guard<std::mutex> guard(lock_);
        *id = nextId_++;
        nodes_[*id] = std::move(node);
    }
    if (!loaded_) {
        NTSTATUS load = LoadOnPnpThread();
        if (!NT_SUCCESS(load)) {
            raw->state = DeviceState::NoDriver;
            return load;
        }
    }
    raw->addStatus = driverExtension_.AddDevice(&driverObject_, pdo);
    if (!NT_SUCCESS(raw->addStatus)) {
        raw->state = DeviceState::AddFailed;
        return raw->addStatus;
    }
    if (!start) {
        raw->state = DeviceState::Added;
        return STATUS_SUCCESS;
    }
    raw->startStatus = SendPnp(pdo, IRP_MN_START_DEVICE).status;
    if (!NT_SUCCESS(raw->startStatus)) {
        // A stack that fails to start is taken down again; the PDO stays.
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        raw->state = DeviceState::StartFailed;
        return raw->startStatus;
    }
    raw->state = DeviceState::Started;
    return STATUS_SUCCESS;
}

NTSTATUS Stack::Unplug(DeviceId id) {
    NTSTATUS result = STATUS_SUCCESS;
    thread_->Run([&] {
        Node& node = NodeOf(id);
        if (node.state == DeviceState::Removed) {
            result = STATUS_NO_SUCH_DEVICE;
            return;
        }
        if (node.state == DeviceState::SurpriseRemoved) {
            return;
        }
        PDEVICE_OBJECT pdo = node.devnode.pdo;
        io::MarkDeletePending(pdo,
                              [this, id] { thread_->Post([this, id] { FinishRemoval(id); }); });
        if (node.state == DeviceState::Started) {
            SurpriseRemoveChildren(&node);
            SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
            std::lock_guard<std::mutex> guard(lock_);
            node.state = DeviceState::SurpriseRemoved;
        }
        // The device is gone: whoever still holds it open is told to let go.
        io::NotifyTargetListeners(pdo, io::TargetEvent::RemoveComplete);
        if (io::OpenHandleCount(pdo) == 0) {
            FinishRemoval(id);
        }
    });
    return result;
}

NTSTATUS Stack::Remove(DeviceId id) {
    NTSTATUS result;
    thread_->Run([&] { result = RemoveOnPnpThread(id); });
    return result;
}

NTSTATUS Stack::RemoveOnPnpThread(DeviceId id) {
    Node& node = NodeOf(id);
    if (node.state == DeviceState::Removed) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT pdo = node.devnode.pdo;
    // Kernel components holding the device open close their handles first.
    io::NotifyTargetListeners(pdo, io::TargetEvent::QueryRemove);
    if (io::OpenHandleCount(pdo) != 0) {
        io::NotifyTargetListeners(pdo, io::TargetEvent::RemoveCancelled);
        return STATUS_DEVICE_BUSY; // vetoed: an application holds the device open
    }
    if (node.state == DeviceState::Started) {
        // The children are asked first; any of them may veto.
        std::vector<Node*> queried;
        NTSTATUS status = QueryRemoveChildren(&node, &queried);
        if (NT_SUCCESS(status)) {
            status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE).status;
            if (!NT_SUCCESS(status)) {
                SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            }
        }
        if (!NT_SUCCESS(status)) {
            CancelRemoveChildren(queried);
            io::NotifyTargetListeners(pdo, io::TargetEvent::RemoveCancelled);
            return status;
        }
    }
    io::MarkDeletePending(pdo, nullptr);
    FinishRemoval(id);
    return STATUS_SUCCESS;
}

NTSTATUS Stack::Stop(DeviceId id) {
    NTSTATUS result = STATUS_SUCCESS;
    thread_->Run([&] {
        Node& node = NodeOf(id);
        if (node.state != DeviceState::Started) {
            result = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        PDEVICE_OBJECT pdo = node.devnode.pdo;
        std::vector<Node*> queried;
        NTSTATUS status = QueryStopChildren(&node, &queried);
        if (NT_SUCCESS(status)) {
            queried.push_back(&node);
            status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE).status;
        }
        if (!NT_SUCCESS(status)) {
            for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                SendPnp((*it)->devnode.pdo, IRP_MN_CANCEL_STOP_DEVICE);
            }
            result = status;
            return;
        }
        StopChildren(&node);
        SendPnp(pdo, IRP_MN_STOP_DEVICE);
        std::lock_guard<std::mutex> guard(lock_);
        node.state = DeviceState::Stopped;
    });
    return result;
}

NTSTATUS Stack::Start(DeviceId id) {
    NTSTATUS result = STATUS_SUCCESS;
    thread_->Run([&] {
        Node& node = NodeOf(id);
        if (node.state != DeviceState::Stopped) {
            result = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        PDEVICE_OBJECT pdo = node.devnode.pdo;
        node.startStatus = SendPnp(pdo, IRP_MN_START_DEVICE).status;
        if (!NT_SUCCESS(node.startStatus)) {
            RemoveChildren(&node);
            SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
            std::lock_guard<std::mutex> guard(lock_);
            node.state = DeviceState::StartFailed;
            result = node.startStatus;
            return;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            node.state = DeviceState::Started;
        }
        // A device with children has its bus asked first, as Windows
        // enumerates a device it starts: a child reported missing meanwhile
        // is removed, not started again.
        if (!node.children.empty()) {
            EnumerateBus(&node);
        }
        StartChildren(&node);
    });
    return result;
}

NTSTATUS Stack::Restart(DeviceId id) {
    NTSTATUS status = Stop(id);
    return NT_SUCCESS(status) ? Start(id) : status;
}

NTSTATUS Stack::QueryStopChildren(Node* node, std::vector<Node*>* queried) {
    for (auto& child : node->children) {
        NTSTATUS status = QueryStopChildren(child.get(), queried);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (child->state == DeviceState::Started) {
            queried->push_back(child.get());
            status = SendPnp(child->devnode.pdo, IRP_MN_QUERY_STOP_DEVICE).status;
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    return STATUS_SUCCESS;
}

void Stack::StopChildren(Node* node) {
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
        Node* child = it->get();
        StopChildren(child);
        if (child->state == DeviceState::Started) {
            SendPnp(child->devnode.pdo, IRP_MN_STOP_DEVICE);
            std::lock_guard<std::mutex> guard(lock_);
            child->state = DeviceState::Stopped;
        }
    }
}

void Stack::StartChildren(Node* node) {
    for (auto& child : node->children) {
        if (child->state != DeviceState::Stopped) {
            continue;
        }
        child->startStatus = SendPnp(child->devnode.pdo, IRP_MN_START_DEVICE).status;
        {
            std::lock_guard<std::mutex> guard(lock_);
            child->state =
                NT_SUCCESS(child->startStatus) ? DeviceState::Started : DeviceState::StartFailed;
        }
        if (NT_SUCCESS(child->startStatus)) {
            StartChildren(child.get());
        }
    }
}

void Stack::FinishRemoval(DeviceId id) {
    Node& node = NodeOf(id);
    if (node.state == DeviceState::Removed) {
        return;
    }
    PDEVICE_OBJECT pdo = node.devnode.pdo;
    RemoveChildren(&node);
    if (node.state != DeviceState::StartFailed || io::TopOfStack(pdo) != pdo) {
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    }
    if (io::TopOfStack(pdo) != pdo) {
        VerifierStop(rule::kDeviceStillAttached, "IRP_MN_REMOVE_DEVICE",
                     "device %p stayed attached over the removed PDO %s",
                     static_cast<void*>(pdo->AttachedDevice), node.devnode.pdoName.c_str());
    }
    DropInterfaces(&node.devnode);
    IoDeleteDevice(pdo);
    std::lock_guard<std::mutex> guard(lock_);
    node.devnode.pdo = nullptr;
    node.state = DeviceState::Removed;
    removed_.notify_all();
}

void Stack::WaitRemoved(DeviceId id) {
    std::unique_lock<std::mutex> guard(lock_);
    watchdog::Wait(
        removed_, guard, [&] { return nodes_.at(id)->state == DeviceState::Removed; },
        "device removal", "the PnP manager to finish removing a device");
}

void Stack::Forget(DeviceId id) {
    // On the PnP thread, behind the removal that may still be unwinding
    // there.
    thread_->Run([&] {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = nodes_.find(id);
        if (it == nodes_.end() || it->second->state != DeviceState::Removed) {
            fprintf(stderr, "sim::pnp::Stack: device %u cannot be forgotten: %s\n", id,
                    it == nodes_.end() ? "there is no such device" : "it is not removed");
            abort();
        }
        nodes_.erase(it);
    });
}

Stack::Node& Stack::NodeOf(DeviceId id) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = nodes_.find(id);
    if (it == nodes_.end()) {
        fprintf(stderr, "sim::pnp::Stack: no device %u\n", id);
        abort();
    }
    return *it->second;
}

DeviceState Stack::State(DeviceId id) const {
    Node& node = NodeOf(id);
    std::lock_guard<std::mutex> guard(lock_);
    return node.state;
}

NTSTATUS Stack::AddStatus(DeviceId id) const {
    return NodeOf(id).addStatus;
}

NTSTATUS Stack::StartStatus(DeviceId id) const {
    return NodeOf(id).startStatus;
}

WDFDEVICE Stack::FunctionDevice(DeviceId id) const {
    Node& node = NodeOf(id);
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pdo = node.devnode.pdo;
    }
    return pdo != nullptr ? sim::wdf::FunctionDeviceOf(pdo) : nullptr;
}

hid::LowerDevice* Stack::Lower(DeviceId id) const {
    return NodeOf(id).devnode.lower.get();
}

hid::RecordingLowerDevice* Stack::Recorder(DeviceId id) const {
    return dynamic_cast<hid::RecordingLowerDevice*>(Lower(id));
}

hid::Collection* Stack::Hid(DeviceId id) const {
    return dynamic_cast<hid::Collection*>(Lower(id));
}

std::string Stack::PdoName(DeviceId id) const {
    return NodeOf(id).devnode.pdoName;
}

std::string Stack::InstanceId(DeviceId id) const {
    return NodeOf(id).devnode.instanceId;
}

std::vector<std::string> Stack::Interfaces(DeviceId id) const {
    return EnabledInterfacesOf(&NodeOf(id).devnode);
}

} // namespace sim::pnp
