// PnP handling of a child device, where the framework plays its bus driver:
// start and removal, and the identity queries answered from what the parent
// set in the init record and the PnP capabilities.
#include <algorithm>

#include "sim/core/verifier.h"
#include "sim/wdf/device.h"

namespace sim::wdf {
namespace {

constexpr ULONG kIdTag = 'dIxF';

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Hands 'text' (null-terminated as it must be) to the PnP manager in pool it frees.
NTSTATUS CompleteWithText(PIRP irp, const std::vector<WCHAR>& text) {
    auto* buffer =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, text.size() * sizeof(WCHAR), kIdTag));
    if (buffer == nullptr) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    std::copy(text.begin(), text.end(), buffer);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return Complete(irp, STATUS_SUCCESS);
}

// One string: the value as assigned, then a null.
std::vector<WCHAR> SingleString(const std::vector<WCHAR>& value) {
    std::vector<WCHAR> text = value;
    text.push_back(0);
    return text;
}

// A list: each value as assigned followed by a null, then the final null.
std::vector<WCHAR> MultiString(const std::vector<std::vector<WCHAR>>& values) {
    std::vector<WCHAR> text;
    for (const std::vector<WCHAR>& value : values) {
        text.insert(text.end(), value.begin(), value.end());
        text.push_back(0);
    }
    text.push_back(0);
    return text;
}

// What the child does not define keeps the status the IRP came with, as a
// bus driver leaves a request it does not answer.
NTSTATUS QueryId(Device* device, PIRP irp) {
    const ChildIdentity& id = device->identity;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        if (!id.deviceId.empty()) {
            return CompleteWithText(irp, SingleString(id.deviceId));
        }
        break;
    case BusQueryInstanceID:
        if (!id.instanceId.empty()) {
            return CompleteWithText(irp, SingleString(id.instanceId));
        }
        break;
    case BusQueryHardwareIDs:
        if (!id.hardwareIds.empty()) {
            return CompleteWithText(irp, MultiString(id.hardwareIds));
        }
        break;
    case BusQueryCompatibleIDs:
        if (!id.compatibleIds.empty()) {
            return CompleteWithText(irp, MultiString(id.compatibleIds));
        }
        break;
    default:
        break;
    }
    return Complete(irp, irp->IoStatus.Status);
}

// The text of the locale asked for, else of the default locale.
NTSTATUS QueryText(Device* device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ChildIdentity& id = device->identity;
    auto forLocale = [&](LCID locale) -> const ChildIdentity::Text* {
        for (const ChildIdentity::Text& text : id.texts) {
            if (text.locale == locale) {
                return &text;
            }
        }
        return nullptr;
    };
    const ChildIdentity::Text* text = forLocale(stack->Parameters.QueryDeviceText.LocaleId);
    if (text == nullptr && id.hasDefaultLocale) {
        text = forLocale(id.defaultLocale);
    }
    if (text != nullptr) {
        const std::vector<WCHAR>& value =
            stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                ? text->description
                : text->location;
        if (!value.empty()) {
            return CompleteWithText(irp, SingleString(value));
        }
    }
    return Complete(irp, irp->IoStatus.Status);
}

NTSTATUS QueryCapabilities(Device* device, PIRP irp) {
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    WDF_DEVICE_PNP_CAPABILITIES set;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (!device->hasPnpCapabilities) {
            return Complete(irp, STATUS_SUCCESS);
        }
        set = device->pnpCapabilities;
    }
    // Each tri-state that is not WdfUseDefault decides its bit.
#define QUILLEX_SIM_APPLY(field)                                                                   \
    if (set.field != WdfUseDefault) {                                                              \
        caps->field = set.field == WdfTrue ? 1 : 0;                                                \
    }
    QUILLEX_SIM_APPLY(LockSupported)
    QUILLEX_SIM_APPLY(EjectSupported)
    QUILLEX_SIM_APPLY(Removable)
    QUILLEX_SIM_APPLY(DockDevice)
    QUILLEX_SIM_APPLY(UniqueID)
    QUILLEX_SIM_APPLY(SilentInstall)
    QUILLEX_SIM_APPLY(SurpriseRemovalOK)
    QUILLEX_SIM_APPLY(HardwareDisabled)
    QUILLEX_SIM_APPLY(NoDisplayInUI)
#undef QUILLEX_SIM_APPLY
    if (set.Address != static_cast<ULONG>(-1)) {
        caps->Address = set.Address;
    }
    if (set.UINumber != static_cast<ULONG>(-1)) {
        caps->UINumber = set.UINumber;
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS QueryRelations(Device* device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type !=
        TargetDeviceRelation) {
        return Complete(irp, irp->IoStatus.Status);
    }
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
    if (relations == nullptr) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    relations->Count = 1;
    relations->Objects[0] = device->wdm;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return Complete(irp, STATUS_SUCCESS);
}

} // namespace

NTSTATUS DispatchChildPnp(Device* device, PIRP irp) {
    WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = BringUp(device);
        device->state = NT_SUCCESS(status) ? PnpState::Started : PnpState::StartFailed;
        if (NT_SUCCESS(status)) {
            SetInterfacesState(device, true);
        }
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (device->pnp.EvtDeviceQueryRemove != nullptr) {
            return Complete(irp, device->pnp.EvtDeviceQueryRemove(handle));
        }
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        PowerDownAndRelease(device);
        device->state = PnpState::Stopped;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        SetInterfacesState(device, false);
        if (device->pnp.EvtDeviceSurpriseRemoval != nullptr) {
            device->pnp.EvtDeviceSurpriseRemoval(handle);
        }
        PowerDownAndRelease(device);
        device->state = PnpState::SurpriseRemoved;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        // The PnP manager removes a child when its parent goes, or once it
        // was reported missing; the object itself is deleted with the parent,
        // or after the removal of a missing one (DeleteMissingChild).
        if (device->state != PnpState::SurpriseRemoved) {
            SetInterfacesState(device, false);
        }
        PowerDownAndRelease(device);
        EndSelfManagedIo(device);
        device->state = PnpState::Removed;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID:
        return QueryId(device, irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryText(device, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(device, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryRelations(device, irp);
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

} // namespace sim::wdf
