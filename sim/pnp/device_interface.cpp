// Device interfaces: registration on a PDO, and the symbolic link that
// enabling one creates to the PDO's name.
#include <stdio.h>
#include <strings.h>

#include <algorithm>
#include <mutex>

#include "sim/core/utf.h"
#include "sim/core/verifier.h"
#include "sim/io/object_names.h"
#include "sim/pnp/devnode.h"

namespace sim::pnp {
namespace {

constexpr ULONG kLinkNameTag = 'LknI';

std::vector<DevNode*>& Registered() {
    static std::vector<DevNode*> nodes;
    return nodes;
}

bool SameText(const std::string& a, const std::string& b) {
    return io::CanonicalPath(a).size() == io::CanonicalPath(b).size() &&
           strcasecmp(io::CanonicalPath(a).c_str(), io::CanonicalPath(b).c_str()) == 0;
}

// The registration a link names, with its devnode; under InterfaceLock().
InterfaceRegistration* FindLink(const std::string& link, DevNode** owner) {
    for (DevNode* node : Registered()) {
        for (InterfaceRegistration& reg : node->interfaces) {
            if (SameText(reg.link, link)) {
                *owner = node;
                return &reg;
            }
        }
    }
    return nullptr;
}

// The symbolic link object of an interface: its name without the reference
// string, which stays in the path an opener passes and reaches the driver as
// the file name.
std::string LinkObject(const InterfaceRegistration& reg) {
    if (reg.referenceString.empty()) {
        return reg.link;
    }
    return reg.link.substr(0, reg.link.size() - reg.referenceString.size() - 1);
}

// \??\x as an application names it: \\?\x.
std::string UserPath(const InterfaceRegistration& reg) {
    return "\\\\?\\" + reg.link.substr(4);
}

} // namespace

std::mutex& InterfaceLock() {
    static std::mutex lock;
    return lock;
}

std::string GuidString(const GUID& g) {
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
             g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
             g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

void DropInterfaces(DevNode* node) {
    std::lock_guard<std::mutex> guard(InterfaceLock());
    for (InterfaceRegistration& reg : node->interfaces) {
        if (reg.enabled) {
            io::DeleteLink(LinkObject(reg));
        }
    }
    node->interfaces.clear();
    auto& nodes = Registered();
    nodes.erase(std::remove(nodes.begin(), nodes.end(), node), nodes.end());
}

std::vector<std::string> EnabledInterfaces(const GUID& classGuid) {
    std::lock_guard<std::mutex> guard(InterfaceLock());
    std::vector<std::string> out;
    for (DevNode* node : Registered()) {
        for (const InterfaceRegistration& reg : node->interfaces) {
            if (reg.enabled && IsEqualGUID(reg.classGuid, classGuid)) {
                out.push_back(UserPath(reg));
            }
        }
    }
    return out;
}

std::vector<std::string> EnabledInterfacesOf(const DevNode* node) {
    std::lock_guard<std::mutex> guard(InterfaceLock());
    std::vector<std::string> out;
    for (const InterfaceRegistration& reg : node->interfaces) {
        if (reg.enabled) {
            out.push_back(UserPath(reg));
        }
    }
    return out;
}

} // namespace sim::pnp

using namespace sim::pnp;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "IoRegisterDeviceInterface", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    DevNode* node = DevNodeOfPdo(PhysicalDeviceObject, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string reference;
    if (ReferenceString != nullptr && ReferenceString->Length != 0) {
        reference = sim::Utf16ToUtf8(*ReferenceString);
        if (reference.find('\\') != std::string::npos) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    std::string instance = node->instanceId;
    for (char& c : instance) {
        if (c == '\\') {
            c = '#';
        }
    }
    std::string link = "\\??\\" + instance + "#" + GuidString(*InterfaceClassGuid);
    if (!reference.empty()) {
        link += "\\" + reference;
    }
    std::vector<WCHAR> wide = sim::WideZ(link);
    size_t bytes = wide.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kLinkNameTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, wide.data(), bytes);
    {
        std::lock_guard<std::mutex> guard(InterfaceLock());
        DevNode* owner = nullptr;
        if (FindLink(link, &owner) == nullptr) {
            node->interfaces.push_back(
                InterfaceRegistration{*InterfaceClassGuid, reference, link, false});
            auto& nodes = Registered();
            if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) {
                nodes.push_back(node);
            }
        }
    }
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string link = sim::Utf16ToUtf8(*SymbolicLinkName);
    std::lock_guard<std::mutex> guard(InterfaceLock());
    DevNode* node = nullptr;
    InterfaceRegistration* reg = FindLink(link, &node);
    if (reg == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if ((Enable != FALSE) == reg->enabled) {
        return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::string object = LinkObject(*reg);
    NTSTATUS status =
        Enable ? sim::io::CreateLink(object, node->pdoName) : sim::io::DeleteLink(object);
    if (NT_SUCCESS(status)) {
        reg->enabled = Enable != FALSE;
    }
    return status;
}

} // extern "C"
