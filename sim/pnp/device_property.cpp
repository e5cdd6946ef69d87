// IoGetDeviceProperty: the identity the PnP manager keeps for each PDO.
#include <vector>

#include "sim/core/utf.h"
#include "sim/core/verifier.h"
#include "sim/io/device_object.h"
#include "sim/pnp/devnode.h"

namespace sim::pnp {
namespace {

std::vector<WCHAR> MultiString(const std::vector<std::string>& list) {
    std::vector<WCHAR> out;
    for (const std::string& item : list) {
        std::vector<WCHAR> wide = sim::WideZ(item);
        out.insert(out.end(), wide.begin(), wide.end());
    }
    out.push_back(0);
    return out;
}

} // namespace

DevNode* DevNodeOfPdo(PDEVICE_OBJECT device, const char* api) {
    auto* node = device != nullptr ? static_cast<DevNode*>(io::Record(device)->devnode) : nullptr;
    if (node == nullptr) {
        VerifierStop(rule::kNotPhysicalDevice, api, "device object %p is not a PDO",
                     static_cast<void*>(device));
    }
    return node;
}

} // namespace sim::pnp

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                        DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                        PVOID PropertyBuffer, PULONG ResultLength) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "IoGetDeviceProperty", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    sim::pnp::DevNode* node = sim::pnp::DevNodeOfPdo(DeviceObject, "IoGetDeviceProperty");
    if (ResultLength == nullptr || (BufferLength != 0 && PropertyBuffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = 0;
    std::vector<WCHAR> value;
    switch (DeviceProperty) {
    case DevicePropertyHardwareID:
        value = sim::pnp::MultiString(node->hardwareIds);
        break;
    case DevicePropertyCompatibleIDs:
        if (node->compatibleIds.empty()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        value = sim::pnp::MultiString(node->compatibleIds);
        break;
    case DevicePropertyDeviceDescription:
        value = sim::WideZ(node->description);
        break;
    case DevicePropertyPhysicalDeviceObjectName:
        value = sim::WideZ(node->pdoName);
        break;
    case DevicePropertyEnumeratorName:
        value = sim::WideZ(node->instanceId.substr(0, node->instanceId.find('\\')));
        break;
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
    ULONG needed = static_cast<ULONG>(value.size() * sizeof(WCHAR));
    *ResultLength = needed;
    if (BufferLength < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(PropertyBuffer, value.data(), needed);
    return STATUS_SUCCESS;
}
