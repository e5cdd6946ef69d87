// USB definitions of the WDK's usbdlib.h: the USB driver library's
// descriptor parsing and validation, and the URB building macros.
#pragma once

#include "ntddk.h"
#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface; // filled by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// Bytes of a USBD_INTERFACE_INFORMATION with n pipes, and of a select-
// configuration URB for i interfaces with p pipes in all.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                      \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) -       \
     sizeof(USBD_PIPE_INFORMATION))
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                         \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                    \
     ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +                                \
     ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,     \
                                     transferBuffer, transferBufferMDL, transferBufferLength,      \
                                     link)                                                         \
    do {                                                                                           \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
    } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,            \
                                               transferBufferMDL, transferBufferLength,            \
                                               transferFlags, link)                                \
    do {                                                                                           \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                       \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                               \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                 \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                       \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                         \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                        \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                   \
    do {                                                                                           \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                             \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);         \
    } while (0)

extern "C" {

// The first descriptor of DescriptorType at or after StartPosition, within
// the TotalLength bytes at DescriptorBuffer; null when there is none or the
// walk meets a descriptor that does not fit.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType);

// The first interface descriptor at or after StartPosition, within the
// configuration's wTotalLength, that matches every criterion not -1.
PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber,
                                    LONG AlternateSetting, LONG InterfaceClass,
                                    LONG InterfaceSubClass, LONG InterfaceProtocol);

// Checks a configuration descriptor set of BufferLength bytes. Level 1 checks
// the configuration descriptor itself, level 2 also every descriptor in the
// set, level 3 also the endpoint addresses. On a failure *Offset (when given)
// points at the offending byte.
USBD_STATUS USBD_ValidateConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigDesc,
                                                 ULONG BufferLength, USHORT Level, PUCHAR* Offset,
                                                 ULONG Tag);

// A select-configuration URB for the listed interfaces, from pool; the caller
// frees it with ExFreePool. Each list entry's Interface points into the URB.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

} // extern "C"
