#include "sim/peers/xbox/urb_trace.h"

#include <string.h>

namespace sim::xbox {
namespace {

void SetSetup(UrbEvent* event, UCHAR requestType, UCHAR request, USHORT value, USHORT index,
              USHORT length) {
    const uint8_t setup[8] = {requestType,
                              request,
                              static_cast<uint8_t>(value),
                              static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(index),
                              static_cast<uint8_t>(index >> 8),
                              static_cast<uint8_t>(length),
                              static_cast<uint8_t>(length >> 8)};
    memcpy(event->setup, setup, sizeof(setup));
    event->hasSetup = true;
}

// The data a transfer carries: OUT data on the way down, IN data once back,
// as long as the device said it transferred.
void TakeData(const void* buffer, ULONG length, bool in, bool completion, UrbEvent* event) {
    if (buffer == nullptr || in != completion) {
        return;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    event->data.assign(bytes, bytes + length);
}

UCHAR RecipientBits(USHORT function) {
    switch (function) {
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
        return 0x01;
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
        return 0x02;
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER:
        return 0x03;
    default:
        return 0x00;
    }
}

} // namespace

bool DescribeUrb(const URB& urb, bool completion,
                 const std::function<UCHAR(ULONG_PTR pipeHandle)>& endpointOf, UrbEvent* event) {
    USHORT function = urb.UrbHeader.Function;
    event->function = function;
    event->completion = completion;
    event->usbdStatus = completion ? urb.UrbHeader.Status : 0;
    event->data.clear();
    event->hasSetup = false;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        const _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb.UrbControlDescriptorRequest;
        UCHAR recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0x00
                          : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 0x01
                                                                                   : 0x02;
        event->endpoint = 0x80;
        event->transfer = UrbEvent::kControl;
        SetSetup(event, 0x80 | recipient, USB_REQUEST_GET_DESCRIPTOR,
                 static_cast<USHORT>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                 static_cast<USHORT>(r.TransferBufferLength));
        TakeData(r.TransferBuffer, r.TransferBufferLength, true, completion, event);
        return true;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        const _URB_SELECT_CONFIGURATION& r = urb.UrbSelectConfiguration;
        UCHAR value = r.ConfigurationDescriptor != nullptr
                          ? r.ConfigurationDescriptor->bConfigurationValue
                          : 0;
        event->endpoint = 0x00;
        event->transfer = UrbEvent::kControl;
        SetSetup(event, 0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0);
        return true;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        const _URB_CONTROL_TRANSFER& r = urb.UrbControlTransfer;
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        event->endpoint = in ? 0x80 : 0x00;
        event->transfer = UrbEvent::kControl;
        memcpy(event->setup, r.SetupPacket, sizeof(event->setup));
        event->hasSetup = true;
        TakeData(r.TransferBuffer, r.TransferBufferLength, in, completion, event);
        return true;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb.UrbControlVendorClassRequest;
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        bool vendor =
            function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_VENDOR_ENDPOINT;
        vendor = vendor || function == URB_FUNCTION_VENDOR_OTHER;
        event->endpoint = in ? 0x80 : 0x00;
        event->transfer = UrbEvent::kControl;
        SetSetup(event,
                 static_cast<UCHAR>((in ? 0x80 : 0x00) | (vendor ? 0x40 : 0x20) |
                                    RecipientBits(function)),
                 r.Request, r.Value, r.Index, static_cast<USHORT>(r.TransferBufferLength));
        TakeData(r.TransferBuffer, r.TransferBufferLength, in, completion, event);
        return true;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        const _URB_BULK_OR_INTERRUPT_TRANSFER& r = urb.UrbBulkOrInterruptTransfer;
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        UCHAR address = endpointOf(reinterpret_cast<ULONG_PTR>(r.PipeHandle));
        event->endpoint = static_cast<UCHAR>((address & 0x0F) | (in ? 0x80 : 0x00));
        event->transfer = UrbEvent::kInterrupt;
        TakeData(r.TransferBuffer, r.TransferBufferLength, in, completion, event);
        return true;
    }
    default:
        return false;
    }
}

} // namespace sim::xbox
