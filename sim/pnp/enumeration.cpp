// The PnP manager's child devices: bus relations queried after a driver
// invalidates them, each new child's identity, the installed driver that
// matches it, and its removal before its parent's.
#include <stdio.h>
#include <strings.h>

#include <algorithm>
#include <functional>

#include "sim/core/utf.h"
#include "sim/core/verifier.h"
#include "sim/io/device_object.h"
#include "sim/pnp/pnp_irp.h"
#include "sim/pnp/stack.h"
#include "sim/wdf/device.h"

namespace sim::pnp {
namespace {

// The system's locale, in which device texts are asked for.
constexpr LCID kSystemLocale = 0x409;

// A device ID, instance ID or device text is one null-terminated string; ID
// lists are strings each with its null, then a final null. A single string
// has no final null, so it must not be read as a list.
enum class TextKind { Single, List };

std::vector<std::string> SplitText(const WCHAR* text, TextKind kind) {
    std::vector<std::string> out;
    if (kind == TextKind::Single) {
        out.push_back(sim::Utf16ToUtf8(text));
        return out;
    }
    while (*text != 0) {
        out.push_back(sim::Utf16ToUtf8(text));
        text += sim::WideLength(text) + 1;
    }
    return out;
}

// The answer of a query that returns text in pool: taken and freed.
std::vector<std::string> TakeText(const io::IoResult& result, TextKind kind) {
    auto* text = reinterpret_cast<WCHAR*>(result.information);
    if (!NT_SUCCESS(result.status) || text == nullptr) {
        return {};
    }
    std::vector<std::string> out = SplitText(text, kind);
    ExFreePool(text);
    return out;
}

std::vector<std::string> QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    TextKind kind = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs ? TextKind::List
                                                                                 : TextKind::Single;
    return TakeText(
        SendPnp(pdo, IRP_MN_QUERY_ID,
                [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; }),
        kind);
}

std::string First(const std::vector<std::string>& list) {
    return list.empty() ? std::string() : list.front();
}

std::string QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type) {
    return First(TakeText(SendPnp(pdo, IRP_MN_QUERY_DEVICE_TEXT,
                                  [type](PIO_STACK_LOCATION stack) {
                                      stack->Parameters.QueryDeviceText.DeviceTextType = type;
                                      stack->Parameters.QueryDeviceText.LocaleId = kSystemLocale;
                                  }),
                          TextKind::Single));
}

DEVICE_CAPABILITIES QueryCapabilities(PDEVICE_OBJECT pdo) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = static_cast<ULONG>(-1);
    caps.UINumber = static_cast<ULONG>(-1);
    SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    return caps;
}

// A child's stack is taken down: every device above its PDO must have
// detached by the time the remove comes back.
void SendRemove(PDEVICE_OBJECT pdo, const char* which, const std::string& pdoName) {
    SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    if (io::TopOfStack(pdo) != pdo) {
        VerifierStop(rule::kDeviceStillAttached, "IRP_MN_REMOVE_DEVICE",
                     "device %p stayed attached over the %s %s",
                     static_cast<void*>(pdo->AttachedDevice), which, pdoName.c_str());
    }
}

bool SameId(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

} // namespace

void Stack::Install(DriverPackage package) {
    thread_->Run([&] {
        auto loaded = std::make_unique<LoadedPackage>();
        loaded->driverName = sim::WideZ("\\Driver\\" + package.service);
        loaded->registryPath = sim::WideZ(
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + package.service);
        loaded->package = std::move(package);
        packages_.push_back(std::move(loaded));
    });
}

void Stack::WatchBusRelations(Node* node) {
    node->devnode.invalidateBusRelations = [this, node] {
        thread_->Post([this, node] { EnumerateBus(node); });
    };
}

void Stack::RunOnManagerThread(std::function<void()> work) {
    thread_->Run(std::move(work));
}

void Stack::WaitIdle() {
    do {
        thread_->Run([] {});
    } while (!thread_->Empty());
}

void Stack::EnumerateBus(Node* node) {
    if (node->state != DeviceState::Started || node->devnode.pdo == nullptr) {
        return; // a stack on its way out reports nothing new
    }
    io::IoResult result =
        SendPnp(node->devnode.pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceRelations.Type = BusRelations;
        });
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
    if (!NT_SUCCESS(result.status) || relations == nullptr) {
        return;
    }
    std::vector<PDEVICE_OBJECT> reported(relations->Objects, relations->Objects + relations->Count);
    ExFreePool(relations);
    // A child no longer reported is gone.
    std::vector<Node*> gone;
    for (const auto& child : node->children) {
        PDEVICE_OBJECT pdo = child->devnode.pdo;
        if (pdo != nullptr && std::find(reported.begin(), reported.end(), pdo) == reported.end()) {
            gone.push_back(child.get());
        }
    }
    for (Node* child : gone) {
        RemoveMissingChild(node, child);
    }
    for (PDEVICE_OBJECT pdo : reported) {
        bool known = false;
        for (const auto& child : node->children) {
            known = known || child->devnode.pdo == pdo;
        }
        if (!known) {
            AddChild(node, pdo);
        }
    }
}

// As Windows takes away a device its bus no longer reports: surprise removal
// if it runs, then removal; its bus driver deletes it after that.
void Stack::RemoveMissingChild(Node* parent, Node* child) {
    PDEVICE_OBJECT pdo = child->devnode.pdo;
    SurpriseRemoveChildren(child);
    if (child->state == DeviceState::Started) {
        SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
        std::lock_guard<std::mutex> guard(lock_);
        child->state = DeviceState::SurpriseRemoved;
    }
    RemoveChildren(child);
    if (child->state != DeviceState::Removed) {
        SendRemove(pdo, "missing child", child->devnode.pdoName);
    }
    DropInterfaces(&child->devnode);
    io::Record(pdo)->devnode = nullptr;
    std::unique_ptr<Node> removed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto& list = parent->children;
        auto it = std::find_if(list.begin(), list.end(), [child](const std::unique_ptr<Node>& n) {
            return n.get() == child;
        });
        removed = std::move(*it);
        list.erase(it);
    }
    wdf::DeleteMissingChild(pdo);
}

void Stack::AddChild(Node* parent, PDEVICE_OBJECT pdo) {
    auto child = std::make_unique<Node>();
    Node* raw = child.get();
    raw->parent = parent;
    DevNode& dn = raw->devnode;
    dn.pdo = pdo;
    dn.pdoName = io::Record(pdo)->name;
    raw->deviceId = First(QueryId(pdo, BusQueryDeviceID));
    raw->instanceIdOnBus = First(QueryId(pdo, BusQueryInstanceID));
    dn.hardwareIds = QueryId(pdo, BusQueryHardwareIDs);
    dn.compatibleIds = QueryId(pdo, BusQueryCompatibleIDs);
    dn.description = QueryText(pdo, DeviceTextDescription);
    dn.location = QueryText(pdo, DeviceTextLocationInformation);
    dn.capabilities = QueryCapabilities(pdo);
    // An instance ID the bus vouches for (UniqueID) stands on its own; any
    // other is made unique with a prefix of its parent's.
    if (dn.capabilities.UniqueID) {
        dn.instanceId = raw->deviceId + "\\" + raw->instanceIdOnBus;
    } else {
        char prefix[32];
        snprintf(prefix, sizeof(prefix), "%zx",
                 std::hash<std::string>()(parent->devnode.instanceId) & 0xffffffff);
        dn.instanceId = raw->deviceId + "\\7&" + prefix + "&0&" + raw->instanceIdOnBus;
    }
    io::Record(pdo)->devnode = &dn;
    WatchBusRelations(raw);
    // Listed from here on: what Children() reports of it is written under
    // the lock.
    LoadedPackage* package = MatchPackage(*raw);
    {
        std::lock_guard<std::mutex> guard(lock_);
        parent->children.push_back(std::move(child));
        if (package != nullptr) {
            raw->service = package->package.service;
        }
    }
    if (package == nullptr) {
        return; // no driver: the child stays as it is, not started
    }
    NTSTATUS status = LoadPackage(package);
    if (NT_SUCCESS(status)) {
        status = package->extension.AddDevice != nullptr
                     ? package->extension.AddDevice(&package->object, pdo)
                     : STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        raw->addStatus = status;
        if (!NT_SUCCESS(status)) {
            raw->state = DeviceState::AddFailed;
            return;
        }
    }
    const NTSTATUS started = SendPnp(pdo, IRP_MN_START_DEVICE).status;
    if (!NT_SUCCESS(started)) {
        // The drivers over it leave again; the child itself stays reported.
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    }
    std::lock_guard<std::mutex> guard(lock_);
    raw->startStatus = started;
    raw->state = NT_SUCCESS(started) ? DeviceState::Started : DeviceState::StartFailed;
}

Stack::LoadedPackage* Stack::MatchPackage(const Node& child) {
    for (const auto* list : {&child.devnode.hardwareIds, &child.devnode.compatibleIds}) {
        for (const std::string& id : *list) {
            for (auto& package : packages_) {
                for (const std::string& installed : package->package.ids) {
                    if (SameId(id, installed)) {
                        return package.get();
                    }
                }
            }
        }
    }
    return nullptr;
}

NTSTATUS Stack::LoadPackage(LoadedPackage* package) {
    if (package->loaded) {
        return STATUS_SUCCESS;
    }
    auto counted = [](std::vector<WCHAR>& text) {
        UNICODE_STRING s;
        s.Buffer = text.data();
        s.Length = static_cast<USHORT>((text.size() - 1) * sizeof(WCHAR));
        s.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        return s;
    };
    package->object = DRIVER_OBJECT{};
    package->extension = DRIVER_EXTENSION{};
    package->object.Type = 4;
    package->object.Size = sizeof(DRIVER_OBJECT);
    package->object.DriverExtension = &package->extension;
    package->object.DriverName = counted(package->driverName);
    package->object.DriverInit = package->package.entry;
    package->extension.DriverObject = &package->object;
    package->extension.ServiceKeyName = package->object.DriverName;
    UNICODE_STRING registryPath = counted(package->registryPath);
    NTSTATUS status = package->package.entry(&package->object, &registryPath);
    package->loaded = NT_SUCCESS(status);
    return status;
}

void Stack::UnloadPackages() {
    for (auto& package : packages_) {
        if (!package->loaded) {
            continue;
        }
        if (package->object.DriverUnload != nullptr) {
            package->object.DriverUnload(&package->object);
        }
        if (package->object.DeviceObject != nullptr) {
            VerifierStop(
                rule::kObjectsLeftOver, "driver unload", "device object %p of %s still exists",
                static_cast<void*>(package->object.DeviceObject), package->package.service.c_str());
        }
        package->loaded = false;
    }
}

NTSTATUS Stack::QueryRemoveChildren(Node* node, std::vector<Node*>* queried) {
    for (auto& child : node->children) {
        NTSTATUS status = QueryRemoveChildren(child.get(), queried);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (child->state == DeviceState::Started) {
            queried->push_back(child.get());
            status = SendPnp(child->devnode.pdo, IRP_MN_QUERY_REMOVE_DEVICE).status;
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    return STATUS_SUCCESS;
}

void Stack::CancelRemoveChildren(const std::vector<Node*>& queried) {
    for (Node* child : queried) {
        SendPnp(child->devnode.pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    }
}

void Stack::SurpriseRemoveChildren(Node* node) {
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
        Node* child = it->get();
        SurpriseRemoveChildren(child);
        if (child->state == DeviceState::Started) {
            SendPnp(child->devnode.pdo, IRP_MN_SURPRISE_REMOVAL);
            std::lock_guard<std::mutex> guard(lock_);
            child->state = DeviceState::SurpriseRemoved;
        }
    }
}

// Each child's stack gets IRP_MN_REMOVE_DEVICE, so the drivers over it
// leave; the child device object itself goes with its parent's removal.
void Stack::RemoveChildren(Node* node) {
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
        Node* child = it->get();
        RemoveChildren(child);
        PDEVICE_OBJECT pdo = child->devnode.pdo;
        if (child->state == DeviceState::Removed || pdo == nullptr) {
            continue;
        }
        SendRemove(pdo, "removed child", child->devnode.pdoName);
        DropInterfaces(&child->devnode);
        io::Record(pdo)->devnode = nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        child->devnode.pdo = nullptr;
        child->state = DeviceState::Removed;
    }
}

std::vector<ChildDevice> Stack::Children(DeviceId id) const {
    Node& node = NodeOf(id);
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ChildDevice> out;
    for (const auto& child : node.children) {
        ChildDevice c;
        c.pdo = child->devnode.pdo;
        c.deviceId = child->deviceId;
        c.instanceIdOnBus = child->instanceIdOnBus;
        c.instanceId = child->devnode.instanceId;
        c.hardwareIds = child->devnode.hardwareIds;
        c.compatibleIds = child->devnode.compatibleIds;
        c.description = child->devnode.description;
        c.location = child->devnode.location;
        c.capabilities = child->devnode.capabilities;
        c.service = child->service;
        c.state = child->state;
        c.addStatus = child->addStatus;
        c.startStatus = child->startStatus;
        out.push_back(std::move(c));
    }
    return out;
}

} // namespace sim::pnp
