// USB definitions of the WDK's usbioctl.h: the internal I/O control codes a
// USB client driver sends to its physical device object.
#pragma once

#include "ntddk.h"
#include "usb.h"

#define USB_SUBMIT_URB          0
#define USB_RESET_PORT          1
#define USB_GET_ROOTHUB_PDO     3
#define USB_GET_PORT_STATUS     4
#define USB_ENABLE_PORT         5
#define USB_GET_HUB_COUNT       6
#define USB_CYCLE_PORT          7
#define USB_GET_HUB_NAME        8
#define USB_IDLE_NOTIFICATION   9
#define USB_RECORD_FAILURE      10
#define USB_GET_BUS_INFO        264
#define USB_GET_CONTROLLER_NAME 265
#define USB_GET_BUSGUID_INFO    266
#define USB_GET_PARENT_HUB_INFO 267
#define USB_GET_DEVICE_HANDLE   268

#define IOCTL_INTERNAL_USB_SUBMIT_URB                                                              \
    CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS) // 0x220003
#define IOCTL_INTERNAL_USB_RESET_PORT                                                              \
    CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS) // 0x220007
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO                                                         \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_ROOTHUB_PDO, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS                                                         \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS) // 0x220013
#define IOCTL_INTERNAL_USB_ENABLE_PORT                                                             \
    CTL_CODE(FILE_DEVICE_USB, USB_ENABLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT                                                           \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_COUNT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT                                                              \
    CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_NAME                                                            \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION                                                \
    CTL_CODE(FILE_DEVICE_USB, USB_IDLE_NOTIFICATION, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_BUS_INFO                                                            \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_BUS_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME                                                     \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_CONTROLLER_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_BUSGUID_INFO                                                        \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_BUSGUID_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO                                                     \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PARENT_HUB_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE                                                       \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_DEVICE_HANDLE, METHOD_NEITHER, FILE_ANY_ACCESS)

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007, "IOCTL_INTERNAL_USB_RESET_PORT");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");

// The port status bits IOCTL_INTERNAL_USB_GET_PORT_STATUS reports.
#define USBD_PORT_ENABLED   0x00000001
#define USBD_PORT_CONNECTED 0x00000002
