// USB definitions of the WDK's usbbusif.h: the USBDI bus interface a USB
// client driver obtains from its physical device object with
// IRP_MN_QUERY_INTERFACE.
#pragma once

#include "ntddk.h"
#include "usb.h"

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}
DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea,
            0xb3, 0x18, 0xd6);

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002

#define USB_BUSIFFN

typedef VOID USB_BUSIFFN USB_BUSIFFN_GETUSBDI_VERSION(PVOID BusContext,
                                                      PUSBD_VERSION_INFORMATION VersionInformation,
                                                      PULONG HcdCapabilities);
typedef USB_BUSIFFN_GETUSBDI_VERSION* PUSB_BUSIFFN_GETUSBDI_VERSION;

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_QUERY_BUS_TIME(PVOID BusContext, PULONG CurrentUsbFrame);
typedef USB_BUSIFFN_QUERY_BUS_TIME* PUSB_BUSIFFN_QUERY_BUS_TIME;

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_SUBMIT_ISO_OUT_URB(PVOID BusContext, PURB Urb);
typedef USB_BUSIFFN_SUBMIT_ISO_OUT_URB* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB;

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_QUERY_BUS_INFORMATION(PVOID BusContext, ULONG Level,
                                                               PVOID BusInformationBuffer,
                                                               PULONG BusInformationBufferLength,
                                                               PULONG BusInformationActualLength);
typedef USB_BUSIFFN_QUERY_BUS_INFORMATION* PUSB_BUSIFFN_QUERY_BUS_INFORMATION;

typedef BOOLEAN USB_BUSIFFN USB_BUSIFFN_IS_DEVICE_HIGH_SPEED(PVOID BusContext);
typedef USB_BUSIFFN_IS_DEVICE_HIGH_SPEED* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED;

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_ENUM_LOG_ENTRY(PVOID BusContext, ULONG DriverTag,
                                                        ULONG EnumTag, ULONG P1, ULONG P2);
typedef USB_BUSIFFN_ENUM_LOG_ENTRY* PUSB_BUSIFFN_ENUM_LOG_ENTRY;

typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

typedef struct _USB_BUS_INTERFACE_USBDI_V2 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
    PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
} USB_BUS_INTERFACE_USBDI_V2, *PUSB_BUS_INTERFACE_USBDI_V2;

// Each version extends the one before it; the Windows x64 sizes.
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64, "USB_BUS_INTERFACE_USBDI_V0");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USB_BUS_INTERFACE_USBDI_V1");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V2) == 80, "USB_BUS_INTERFACE_USBDI_V2");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, QueryBusInformation) ==
                  offsetof(USB_BUS_INTERFACE_USBDI_V0, QueryBusInformation),
              "version 1 extends version 0");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V2, IsDeviceHighSpeed) ==
                  offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed),
              "version 2 extends version 1");
