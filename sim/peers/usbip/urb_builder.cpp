// USB requests into the URBs Windows' USB stack hands a device: standard
// control requests into their URB functions, class and vendor requests into
// control transfers with their setup packet, interrupt and bulk transfers
// onto the pipes select-configuration returned. And the way back: a finished
// URB's status as the Linux status a USB/IP host expects.
#include "sim/peers/usbip/transfer.h"

namespace sim::usbip {
namespace {

enum : uint8_t {
    kGetStatus = 0,
    kClearFeature = 1,
    kSetFeature = 3,
    kSetAddress = 5,
    kGetDescriptor = 6,
    kSetDescriptor = 7,
    kGetConfiguration = 8,
    kSetConfiguration = 9,
    kGetInterface = 10,
    kSetInterface = 11,
};
constexpr uint16_t kEndpointHalt = 0;

enum : uint8_t { kRecipientDevice, kRecipientInterface, kRecipientEndpoint, kRecipientOther };
enum : uint8_t { kTypeStandard, kTypeClass, kTypeVendor, kTypeReserved };

// URB functions by recipient: device, interface, endpoint, other (0: none).
constexpr USHORT kGetStatusFunctions[] = {
    URB_FUNCTION_GET_STATUS_FROM_DEVICE, URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
    URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, URB_FUNCTION_GET_STATUS_FROM_OTHER};
constexpr USHORT kClearFeatureFunctions[] = {
    URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
    URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, URB_FUNCTION_CLEAR_FEATURE_TO_OTHER};
constexpr USHORT kSetFeatureFunctions[] = {
    URB_FUNCTION_SET_FEATURE_TO_DEVICE, URB_FUNCTION_SET_FEATURE_TO_INTERFACE,
    URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, URB_FUNCTION_SET_FEATURE_TO_OTHER};
constexpr USHORT kGetDescriptorFunctions[] = {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                              URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                                              URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, 0};
constexpr USHORT kSetDescriptorFunctions[] = {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE,
                                              URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE,
                                              URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, 0};

bool Stall(int32_t* status) {
    *status = kErrPipe;
    return false;
}

} // namespace

ULONG HostDevice::Transfer::TransferredLength() {
    PURB urb = Urb();
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
        return urb->UrbControlTransfer.TransferBufferLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        return urb->UrbControlDescriptorRequest.TransferBufferLength;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_GET_CONFIGURATION:
    case URB_FUNCTION_GET_INTERFACE:
        return urb->UrbControlGetStatusRequest.TransferBufferLength;
    default:
        return 0; // no data stage
    }
}

bool HostDevice::BuildUrb(Transfer* transfer, int32_t* status) {
    const Request& request = transfer->request;
    transfer->buffer.assign(request.length, 0);
    if (!request.in) {
        std::copy(request.out.begin(), request.out.end(), transfer->buffer.begin());
    }
    if (request.endpoint == 0) {
        return BuildControlUrb(transfer, status);
    }
    // Interrupt and bulk transfers go on the pipe of their endpoint; a device
    // not configured, or without that endpoint, has none.
    UCHAR address = static_cast<UCHAR>(request.endpoint | (request.in ? 0x80 : 0));
    auto pipe = pipes_.find(address);
    if (pipe == pipes_.end()) {
        return Stall(status);
    }
    PURB urb = transfer->NewUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    ULONG flags = request.in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    if ((request.flags & kUrbShortNotOk) == 0) {
        flags |= USBD_SHORT_TRANSFER_OK;
    }
    UsbBuildInterruptOrBulkTransferRequest(
        urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe->second,
        transfer->buffer.empty() ? nullptr : transfer->buffer.data(), nullptr,
        static_cast<ULONG>(transfer->buffer.size()), flags, nullptr);
    return true;
}

bool HostDevice::BuildControlUrb(Transfer* transfer, int32_t* status) {
    const Request& request = transfer->request;
    const std::array<uint8_t, 8>& setup = request.setup;
    const uint8_t requestType = setup[0];
    const uint8_t code = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    const uint8_t recipient = requestType & 0x1F;
    const uint8_t type = (requestType >> 5) & 3;
    // The data stage goes the way the setup packet says, and fits the buffer.
    if (((requestType & 0x80) != 0) != request.in || length > request.length) {
        return Stall(status);
    }
    PVOID buffer = length != 0 ? transfer->buffer.data() : nullptr;

    if (type == kTypeClass || type == kTypeVendor) {
        // Passed to the device with its setup packet as the host sent it.
        PURB urb = transfer->NewUrb(sizeof(_URB_CONTROL_TRANSFER));
        urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
        _URB_CONTROL_TRANSFER& control = urb->UrbControlTransfer;
        control.TransferFlags = (request.in ? USBD_TRANSFER_DIRECTION_IN : 0) |
                                USBD_DEFAULT_PIPE_TRANSFER |
                                ((request.flags & kUrbShortNotOk) ? 0 : USBD_SHORT_TRANSFER_OK);
        control.TransferBuffer = buffer;
        control.TransferBufferLength = length;
        std::copy(setup.begin(), setup.end(), control.SetupPacket);
        return true;
    }
    if (type == kTypeReserved || recipient > kRecipientOther) {
        return Stall(status);
    }

    switch (code) {
    case kGetStatus:
    case kGetConfiguration:
    case kGetInterface: {
        // The three share one layout: a buffer and the index the request names.
        USHORT function = code == kGetStatus          ? kGetStatusFunctions[recipient]
                          : code == kGetConfiguration ? URB_FUNCTION_GET_CONFIGURATION
                                                      : URB_FUNCTION_GET_INTERFACE;
        PURB urb = transfer->NewUrb(sizeof(_URB_CONTROL_GET_STATUS_REQUEST));
        urb->UrbHeader.Function = function;
        urb->UrbControlGetStatusRequest.TransferBuffer = buffer;
        urb->UrbControlGetStatusRequest.TransferBufferLength = length;
        urb->UrbControlGetStatusRequest.Index = index;
        return true;
    }
    case kClearFeature:
        if (recipient == kRecipientEndpoint && value == kEndpointHalt) {
            // The hub's way of clearing a halt: reset the pipe.
            auto pipe = pipes_.find(static_cast<uint8_t>(index));
            if (pipe == pipes_.end()) {
                return Stall(status);
            }
            PURB urb = transfer->NewUrb(sizeof(_URB_PIPE_REQUEST));
            urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
            urb->UrbPipeRequest.PipeHandle = pipe->second;
            return true;
        }
        [[fallthrough]];
    case kSetFeature: {
        PURB urb = transfer->NewUrb(sizeof(_URB_CONTROL_FEATURE_REQUEST));
        urb->UrbHeader.Function = code == kClearFeature ? kClearFeatureFunctions[recipient]
                                                        : kSetFeatureFunctions[recipient];
        urb->UrbControlFeatureRequest.FeatureSelector = value;
        urb->UrbControlFeatureRequest.Index = index;
        return true;
    }
    case kSetAddress:
        // The hub's own business: it never reaches the device.
        *status = 0;
        return false;
    case kGetDescriptor:
    case kSetDescriptor: {
        USHORT function = code == kGetDescriptor ? kGetDescriptorFunctions[recipient]
                                                 : kSetDescriptorFunctions[recipient];
        if (function == 0) {
            return Stall(status);
        }
        PURB urb = transfer->NewUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
        UsbBuildGetDescriptorRequest(
            urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), static_cast<UCHAR>(value >> 8),
            static_cast<UCHAR>(value & 0xFF), index, buffer, nullptr, length, nullptr);
        urb->UrbHeader.Function = function;
        return true;
    }
    case kSetConfiguration:
        return recipient == kRecipientDevice
                   ? BuildSelectConfiguration(transfer, static_cast<UCHAR>(value), status)
                   : Stall(status);
    case kSetInterface:
        return recipient == kRecipientInterface
                   ? BuildSelectInterface(transfer, static_cast<UCHAR>(index),
                                          static_cast<UCHAR>(value), status)
                   : Stall(status);
    default:
        return Stall(status); // SYNCH_FRAME and unknown requests: no such endpoint
    }
}

bool HostDevice::BuildSelectConfiguration(Transfer* transfer, UCHAR value, int32_t* status) {
    if (value == 0) {
        // Unconfigure: a select-configuration without a descriptor.
        PURB urb = transfer->NewUrb(sizeof(_URB_SELECT_CONFIGURATION));
        UsbBuildSelectConfigurationRequest(urb, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
        transfer->effect = Transfer::Effect::Unconfigure;
        return true;
    }
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
    if (configuration_.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        value != config->bConfigurationValue) {
        return Stall(status); // the device has no such configuration
    }
    // Every interface in its first alternate setting.
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG number = 0; number < config->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR interface =
            USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
        if (interface == nullptr) {
            return Stall(status);
        }
        list.push_back({interface, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB built = USBD_CreateConfigurationRequestEx(config, list.data());
    if (built == nullptr) {
        *status = kErrNoMemory;
        return false;
    }
    PURB urb = transfer->NewUrb(built->UrbHeader.Length);
    RtlCopyMemory(urb, built, built->UrbHeader.Length);
    ExFreePool(built);
    // The device reads the configuration the hub holds, as on Windows.
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    transfer->effect = Transfer::Effect::SelectConfiguration;
    return true;
}

bool HostDevice::BuildSelectInterface(Transfer* transfer, UCHAR number, UCHAR alternate,
                                      int32_t* status) {
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
    if (configurationHandle_ == nullptr) {
        return Stall(status);
    }
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(config, config, number, alternate, -1, -1, -1);
    if (interface == nullptr) {
        return Stall(status);
    }
    size_t size = FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface) +
                  GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints);
    PURB urb = transfer->NewUrb(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle_;
    USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
    info.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints));
    info.InterfaceNumber = number;
    info.AlternateSetting = alternate;
    info.NumberOfPipes = interface->bNumEndpoints;
    for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
        info.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    transfer->effect = Transfer::Effect::SelectInterface;
    return true;
}

void HostDevice::RecordConfiguration(Transfer* transfer) {
    PURB urb = transfer->Urb();
    auto remember = [this](const USBD_INTERFACE_INFORMATION& info) {
        for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
            pipes_[info.Pipes[i].EndpointAddress] = info.Pipes[i].PipeHandle;
        }
    };
    switch (transfer->effect) {
    case Transfer::Effect::SelectConfiguration: {
        pipes_.clear();
        configurationHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        auto* at = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
        auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
        while (at + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) <= end) {
            auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
            if (info->Length == 0 || at + info->Length > end) {
                break;
            }
            remember(*info);
            at += info->Length;
        }
        break;
    }
    case Transfer::Effect::Unconfigure:
        pipes_.clear();
        configurationHandle_ = nullptr;
        break;
    case Transfer::Effect::SelectInterface:
        remember(urb->UrbSelectInterface.Interface);
        break;
    case Transfer::Effect::None:
        break;
    }
}

int32_t LinuxStatus(NTSTATUS irpStatus, USBD_STATUS urbStatus, bool gone, bool shortNotOk,
                    bool shortLength) {
    if (!NT_SUCCESS(irpStatus)) {
        if (gone || irpStatus == STATUS_DEVICE_DOES_NOT_EXIST ||
            irpStatus == STATUS_DEVICE_REMOVED || irpStatus == STATUS_NO_SUCH_DEVICE ||
            irpStatus == STATUS_DELETE_PENDING || irpStatus == STATUS_DEVICE_NOT_CONNECTED) {
            return kErrShutdown;
        }
        return irpStatus == STATUS_CANCELLED ? kErrConnectionReset : kErrPipe;
    }
    // A short answer is a data underrun on Windows and a short read on Linux:
    // an error only where the host said short is not OK.
    if (USBD_ERROR(urbStatus) && urbStatus != USBD_STATUS_DATA_UNDERRUN) {
        if (urbStatus == USBD_STATUS_CANCELED) {
            return kErrConnectionReset;
        }
        return urbStatus == USBD_STATUS_DEVICE_GONE ? kErrShutdown : kErrPipe;
    }
    return shortLength && shortNotOk ? kErrRemoteIo : 0;
}

} // namespace sim::usbip
