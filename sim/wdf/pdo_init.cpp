// WdfPdoInitAllocate and the identity of a child device: the init record a
// parent fills before WdfDeviceCreate, and its release with WdfDeviceInitFree.
#include <algorithm>
#include <mutex>
#include <set>

#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/device.h"

namespace sim::wdf {
namespace {

std::mutex g_lock;
std::set<PWDFDEVICE_INIT> g_liveInits; // from WdfPdoInitAllocate, still the driver's

PWDFDEVICE_INIT CheckChildInit(PWDFDEVICE_INIT init, const char* api) {
    kernel::RequireIrqlAtMost(PASSIVE_LEVEL, api);
    if (!IsLivePdoInit(init)) {
        VerifierStop(rule::kChildInitMisuse, api,
                     "DeviceInit %p is not a child's init record the driver still holds",
                     static_cast<void*>(init));
    }
    return init;
}

// The ID services: the checks, the fault, then the value stored by 'store'.
template <class Store>
NTSTATUS SetIdentity(PWDFDEVICE_INIT init, const char* api, PCUNICODE_STRING value, Store store) {
    CheckChildInit(init, api);
    NTSTATUS status;
    if (fault::ShouldFail(api, &status)) {
        return status;
    }
    std::vector<WCHAR> text;
    if (!CopyCounted(value, &text)) {
        return STATUS_INVALID_PARAMETER;
    }
    store(init->identity, std::move(text));
    return STATUS_SUCCESS;
}

} // namespace

bool Preprocess::Takes(UCHAR minor) const {
    return callback != nullptr &&
           (minors.empty() || std::find(minors.begin(), minors.end(), minor) != minors.end());
}

bool CopyCounted(PCUNICODE_STRING text, std::vector<WCHAR>* out) {
    if (text == nullptr || text->Length % sizeof(WCHAR) != 0 ||
        text->Length > text->MaximumLength || (text->Length != 0 && text->Buffer == nullptr)) {
        return false;
    }
    out->assign(text->Buffer, text->Buffer + text->Length / sizeof(WCHAR));
    return true;
}

bool IsLivePdoInit(PWDFDEVICE_INIT init) {
    std::lock_guard<std::mutex> guard(g_lock);
    return init != nullptr && g_liveInits.count(init) != 0;
}

void ForgetPdoInit(PWDFDEVICE_INIT init) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_liveInits.erase(init);
    }
    delete init;
}

void CheckPdoInitsReleased(const char* api) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_liveInits.empty()) {
        VerifierStop(rule::kChildInitMisuse, api,
                     "%zu init record(s) from WdfPdoInitAllocate were neither given to "
                     "WdfDeviceCreate nor freed with WdfDeviceInitFree",
                     g_liveInits.size());
    }
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

PWDFDEVICE_INIT WdfPdoInitAllocate(WDFDEVICE ParentDevice) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfPdoInitAllocate");
    auto* parent =
        dynamic_cast<sim::wdf::Device*>(Lookup(ParentDevice, Kind::Device, "WdfPdoInitAllocate"));
    if (parent == nullptr || parent->isPdo) {
        sim::VerifierStop(sim::rule::kStaticChildMisuse, "WdfPdoInitAllocate",
                          "parent %p is not a function or filter device",
                          static_cast<void*>(ParentDevice));
    }
    if (sim::fault::ShouldFail("WdfPdoInitAllocate", nullptr)) {
        return nullptr;
    }
    auto* init = new WDFDEVICE_INIT();
    init->driver = parent->driver;
    init->parent = parent;
    std::lock_guard<std::mutex> guard(g_lock);
    g_liveInits.insert(init);
    return init;
}

VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit) {
    CheckChildInit(DeviceInit, "WdfDeviceInitFree");
    ForgetPdoInit(DeviceInit);
}

NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID) {
    return SetIdentity(DeviceInit, "WdfPdoInitAssignDeviceID", DeviceID,
                       [](ChildIdentity& id, std::vector<WCHAR> v) { id.deviceId = std::move(v); });
}

NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID) {
    return SetIdentity(
        DeviceInit, "WdfPdoInitAssignInstanceID", InstanceID,
        [](ChildIdentity& id, std::vector<WCHAR> v) { id.instanceId = std::move(v); });
}

NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID) {
    return SetIdentity(
        DeviceInit, "WdfPdoInitAddHardwareID", HardwareID,
        [](ChildIdentity& id, std::vector<WCHAR> v) { id.hardwareIds.push_back(std::move(v)); });
}

NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID) {
    return SetIdentity(
        DeviceInit, "WdfPdoInitAddCompatibleID", CompatibleID,
        [](ChildIdentity& id, std::vector<WCHAR> v) { id.compatibleIds.push_back(std::move(v)); });
}

NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                 PCUNICODE_STRING DeviceLocation, LCID LocaleId) {
    PWDFDEVICE_INIT init = CheckChildInit(DeviceInit, "WdfPdoInitAddDeviceText");
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfPdoInitAddDeviceText", &status)) {
        return status;
    }
    ChildIdentity::Text text{LocaleId, {}, {}};
    if (!CopyCounted(DeviceDescription, &text.description) ||
        (DeviceLocation != nullptr && !CopyCounted(DeviceLocation, &text.location))) {
        return STATUS_INVALID_PARAMETER;
    }
    init->identity.texts.push_back(std::move(text));
    return STATUS_SUCCESS;
}

VOID WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, LCID LocaleId) {
    PWDFDEVICE_INIT init = CheckChildInit(DeviceInit, "WdfPdoInitSetDefaultLocale");
    init->identity.hasDefaultLocale = true;
    init->identity.defaultLocale = LocaleId;
}

} // extern "C"
