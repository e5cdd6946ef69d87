// The USB driver library: descriptor parsing and validation, and building a
// select-configuration request. Every walk stays inside the length it is
// given: a descriptor that claims more bytes than remain ends the walk.
#include <bitset>

#include "sim/core/fault.h"
#include "sim/kernel/irql_check.h"
#include "usbdlib.h"

namespace {

constexpr ULONG kUsbdPoolTag = 'DBSU'; // "USBD" in memory order

// The highest IRQL each routine is documented for; above it the verifier stops.
constexpr KIRQL kParseDescriptorsIrql = DISPATCH_LEVEL;
constexpr KIRQL kParseConfigurationIrql = APC_LEVEL; // below DISPATCH_LEVEL
constexpr KIRQL kValidateConfigurationIrql = PASSIVE_LEVEL;
constexpr KIRQL kCreateConfigurationRequestIrql = DISPATCH_LEVEL;

// The descriptor at p, if a whole, well-formed one fits before end.
const USB_COMMON_DESCRIPTOR* DescriptorAt(const UCHAR* p, const UCHAR* end) {
    if (end - p < static_cast<ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
        return nullptr;
    }
    auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || common->bLength > end - p) {
        return nullptr;
    }
    return common;
}

USBD_STATUS Fail(USBD_STATUS status, const UCHAR* where, PUCHAR* offset) {
    if (offset != nullptr) {
        *offset = const_cast<PUCHAR>(where);
    }
    return status;
}

// Level 2 and 3: every descriptor after the configuration descriptor.
USBD_STATUS ValidateSet(const USB_CONFIGURATION_DESCRIPTOR* config, USHORT level, PUCHAR* offset) {
    auto* base = reinterpret_cast<const UCHAR*>(config);
    const UCHAR* end = base + config->wTotalLength;
    const UCHAR* p = base + config->bLength;
    const USB_INTERFACE_DESCRIPTOR* current = nullptr;
    ULONG endpoints = 0;
    std::bitset<256> interfaceNumbers;
    std::bitset<256> addresses; // of the current interface setting
    while (p < end) {
        const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end);
        if (d == nullptr) {
            return Fail(USBD_STATUS_BAD_DESCRIPTOR_BLEN, p, offset);
        }
        switch (d->bDescriptorType) {
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return Fail(USBD_STATUS_BAD_DESCRIPTOR_TYPE, p + 1, offset);
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                return Fail(USBD_STATUS_BAD_INTERFACE_DESCRIPTOR, p, offset);
            }
            if (current != nullptr && endpoints != current->bNumEndpoints) {
                return Fail(USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS,
                            reinterpret_cast<const UCHAR*>(&current->bNumEndpoints), offset);
            }
            current = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
            interfaceNumbers.set(current->bInterfaceNumber);
            endpoints = 0;
            addresses.reset();
            break;
        case USB_ENDPOINT_DESCRIPTOR_TYPE: {
            if (d->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR) || current == nullptr) {
                return Fail(USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR, p, offset);
            }
            auto* e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
            if (level >= 3) {
                UCHAR address = e->bEndpointAddress;
                if ((address & USB_ENDPOINT_ADDRESS_MASK) == 0 || (address & 0x70) != 0 ||
                    addresses.test(address)) {
                    return Fail(USBD_STATUS_BAD_ENDPOINT_ADDRESS,
                                reinterpret_cast<const UCHAR*>(&e->bEndpointAddress), offset);
                }
                addresses.set(address);
            }
            ++endpoints;
            break;
        }
        default:
            break; // class and vendor descriptors are opaque here
        }
        p += d->bLength;
    }
    if (current != nullptr && endpoints != current->bNumEndpoints) {
        return Fail(USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS,
                    reinterpret_cast<const UCHAR*>(&current->bNumEndpoints), offset);
    }
    if (interfaceNumbers.count() != config->bNumInterfaces) {
        return Fail(USBD_STATUS_BAD_NUMBER_OF_INTERFACES, &config->bNumInterfaces, offset);
    }
    return USBD_STATUS_SUCCESS;
}

} // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
    sim::kernel::RequireIrqlAtMost(kParseDescriptorsIrql, "USBD_ParseDescriptors");
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    auto* base = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = base + TotalLength;
    auto* p = static_cast<const UCHAR*>(StartPosition);
    if (p < base || p >= end) {
        return nullptr;
    }
    while (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end)) {
        if (d->bDescriptorType == DescriptorType) {
            return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
        }
        p += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber,
                                    LONG AlternateSetting, LONG InterfaceClass,
                                    LONG InterfaceSubClass, LONG InterfaceProtocol) {
    sim::kernel::RequireIrqlAtMost(kParseConfigurationIrql, "USBD_ParseConfigurationDescriptorEx");
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    auto* base = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
    ULONG total = ConfigurationDescriptor->wTotalLength;
    auto* p = static_cast<UCHAR*>(StartPosition);
    auto matches = [](LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; };
    while (PUSB_COMMON_DESCRIPTOR d =
               USBD_ParseDescriptors(base, total, p, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            matches(InterfaceNumber, i->bInterfaceNumber) &&
            matches(AlternateSetting, i->bAlternateSetting) &&
            matches(InterfaceClass, i->bInterfaceClass) &&
            matches(InterfaceSubClass, i->bInterfaceSubClass) &&
            matches(InterfaceProtocol, i->bInterfaceProtocol)) {
            return i;
        }
        p = reinterpret_cast<UCHAR*>(d) + d->bLength;
    }
    return nullptr;
}

USBD_STATUS USBD_ValidateConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigDesc,
                                                 ULONG BufferLength, USHORT Level, PUCHAR* Offset,
                                                 ULONG Tag) {
    sim::kernel::RequireIrqlAtMost(kValidateConfigurationIrql,
                                   "USBD_ValidateConfigurationDescriptor");
    UNREFERENCED_PARAMETER(Tag); // no temporary allocation is needed here
    if (Offset != nullptr) {
        *Offset = nullptr;
    }
    if (ConfigDesc == nullptr || Level < 1 || Level > 3) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    auto* base = reinterpret_cast<const UCHAR*>(ConfigDesc);
    if (BufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return Fail(USBD_STATUS_BAD_CONFIG_DESC_LENGTH, base, Offset);
    }
    if (ConfigDesc->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return Fail(USBD_STATUS_BAD_DESCRIPTOR_BLEN, base, Offset);
    }
    if (ConfigDesc->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return Fail(USBD_STATUS_BAD_DESCRIPTOR_TYPE, base + 1, Offset);
    }
    if (ConfigDesc->wTotalLength < ConfigDesc->bLength || ConfigDesc->wTotalLength > BufferLength) {
        return Fail(USBD_STATUS_BAD_CONFIG_DESC_LENGTH, base + 2, Offset);
    }
    if (ConfigDesc->bNumInterfaces == 0) {
        return Fail(USBD_STATUS_BAD_NUMBER_OF_INTERFACES, base + 4, Offset);
    }
    return Level == 1 ? USBD_STATUS_SUCCESS : ValidateSet(ConfigDesc, Level, Offset);
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    sim::kernel::RequireIrqlAtMost(kCreateConfigurationRequestIrql,
                                   "USBD_CreateConfigurationRequestEx");
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr ||
        InterfaceList[0].InterfaceDescriptor == nullptr) {
        return nullptr;
    }
    if (sim::fault::ShouldFail("USBD_CreateConfigurationRequestEx", nullptr)) {
        return nullptr;
    }
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    }
    if (size > MAXUSHORT) {
        return nullptr;
    }
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (urb == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
    auto* next = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(next);
        UCHAR pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (UCHAR i = 0; i < pipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        next += info->Length;
    }
    return urb;
}

} // extern "C"
