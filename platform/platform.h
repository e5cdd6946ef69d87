// The one header driver code includes for operating-system services.
//
// Under the WDK's kernel build (_KERNEL_MODE defined) these are the WDK's own
// headers. Everywhere else the same names resolve to sim/wdk, the user-mode
// Windows the driver runs in on our machines.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <ntstrsafe.h>
#include <hidclass.h>
#if defined(_KERNEL_MODE)
// The HID parser's header declares its routines without C linkage.
extern "C" {
#include <hidpddi.h>
}
#else
#include <hidpddi.h>
#endif
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
#if !defined(_KERNEL_MODE)
#include <simtrace.h>
#endif

#include "platform/trace.h"

// Every allocation of the driver carries this tag: "TrvX" in memory order.
#define QUILLEX_POOL_TAG ((ULONG)'XvrT')
