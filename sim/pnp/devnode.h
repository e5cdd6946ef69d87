// The PnP manager's record of one device: its identity (what IRP_MN_QUERY_ID
// would report), its PDO, and the interfaces registered on it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ntddk.h"
#include "sim/hid/lower_device.h"

namespace sim::pnp {

struct InterfaceRegistration {
    GUID classGuid;
    std::string referenceString;
    std::string link; // \??\<instance path with '#'>#{guid}[\reference]
    bool enabled = false;
};

struct DevNode {
    std::string instanceId; // enumerator\device\instance
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string location;
    DEVICE_CAPABILITIES capabilities{};
    // Posts a new query of the stack's bus relations to the PnP thread.
    std::function<void()> invalidateBusRelations;
    PDEVICE_OBJECT pdo = nullptr;
    std::string pdoName;
    std::unique_ptr<hid::LowerDevice> lower;
    std::vector<InterfaceRegistration> interfaces; // under InterfaceLock()
};

// The devnode of a PDO; stops the program when 'device' is not a PDO, as
// Windows bug-checks.
DevNode* DevNodeOfPdo(PDEVICE_OBJECT device, const char* api);

std::mutex& InterfaceLock();
// Forgets the devnode's interfaces (their links are gone with it).
void DropInterfaces(DevNode* node);

// The enabled interfaces of a class, or of one devnode, as an application
// lists them (\\?\... paths it can open).
std::vector<std::string> EnabledInterfaces(const GUID& classGuid);
std::vector<std::string> EnabledInterfacesOf(const DevNode* node);

std::string GuidString(const GUID& guid);

} // namespace sim::pnp
