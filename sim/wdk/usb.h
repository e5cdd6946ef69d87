// USB definitions of the WDK's usb.h.
#pragma once

#include "ntddk.h"

typedef LONG USBD_STATUS;
#define USBD_SUCCESS(Status)          ((USBD_STATUS)(Status) >= 0)
#define USBD_STATUS_SUCCESS           ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_DATA_UNDERRUN     ((USBD_STATUS)0xC0000009L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
