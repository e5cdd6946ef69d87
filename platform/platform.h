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
#if defined(__clang__)
// The parser's routines are imports of hidparse.sys (hidparse.lib, linked by
// the project): declared so, a clang build links them as the imports they are.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdll-attribute-on-redeclaration"
__declspec(dllimport) NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
__declspec(dllimport) NTSTATUS NTAPI
    HidP_GetButtonCaps(HIDP_REPORT_TYPE, PHIDP_BUTTON_CAPS, PUSHORT, PHIDP_PREPARSED_DATA);
__declspec(dllimport) NTSTATUS NTAPI
    HidP_GetValueCaps(HIDP_REPORT_TYPE, PHIDP_VALUE_CAPS, PUSHORT, PHIDP_PREPARSED_DATA);
#pragma clang diagnostic pop
#endif
}
#else
#include <hidpddi.h>
#endif
#include <usb.h>
#if defined(_KERNEL_MODE)
// The USB library's header declares its routines without C linkage; USBD.SYS
// exports them under their C names.
extern "C" {
#include <usbdlib.h>
}
#else
#include <usbdlib.h>
#endif
#include <usbioctl.h>
#include <usbbusif.h>
#if !defined(_KERNEL_MODE)
#include <simtrace.h>
#endif

#include "platform/trace.h"

#if defined(_KERNEL_MODE) && !defined(PAGED_CODE_SEG)
// Pageable routines go to the PAGE section. #pragma alloc_text names only
// routines with C linkage; the driver's routines are C++, so each pageable
// definition carries this instead, as newer WDKs spell it.
#define PAGED_CODE_SEG __declspec(code_seg("PAGE"))
#endif

// KMDF 1.9 accepts only the structure sizes it knows. Three structures the
// driver hands over grew after 1.9, by fields appended at the end that the
// driver leaves zero; the kernel build's framework headers are a later
// version's, so the driver sets 1.9's size after each INIT routine. sim/wdk's
// structures have 1.9's layouts.
#if defined(_KERNEL_MODE)
#define QUILLEX_KMDF_1_9_SIZE_WDF_PNPPOWER_EVENT_CALLBACKS                                         \
    FIELD_OFFSET(WDF_PNPPOWER_EVENT_CALLBACKS, EvtDeviceUsageNotificationEx)
#define QUILLEX_KMDF_1_9_SIZE_WDF_IO_QUEUE_CONFIG FIELD_OFFSET(WDF_IO_QUEUE_CONFIG, Driver)
#define QUILLEX_KMDF_1_9_SIZE_WDF_IO_TARGET_OPEN_PARAMS                                            \
    FIELD_OFFSET(WDF_IO_TARGET_OPEN_PARAMS, FileName)
#else
#define QUILLEX_KMDF_1_9_SIZE_WDF_PNPPOWER_EVENT_CALLBACKS sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)
#define QUILLEX_KMDF_1_9_SIZE_WDF_IO_QUEUE_CONFIG          sizeof(WDF_IO_QUEUE_CONFIG)
#define QUILLEX_KMDF_1_9_SIZE_WDF_IO_TARGET_OPEN_PARAMS    sizeof(WDF_IO_TARGET_OPEN_PARAMS)
#endif
#define QUILLEX_KMDF_1_9_SIZE(Type) ((ULONG)QUILLEX_KMDF_1_9_SIZE_##Type)

// Every allocation of the driver carries this tag: "TrvX" in memory order.
#define QUILLEX_POOL_TAG ((ULONG)'XvrT')
