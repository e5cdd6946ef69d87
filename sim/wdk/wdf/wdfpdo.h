// KMDF child devices: the init record of a physical device object (PDO)
// and the identity the framework reports for it to the PnP manager.
#pragma once

#include "wdf/wdfdevice.h"

extern "C" {

// An init record for a child of ParentDevice (a function or filter device);
// null when it cannot be allocated. WdfDeviceCreate takes it on success,
// otherwise the driver frees it with WdfDeviceInitFree.
PWDFDEVICE_INIT WdfPdoInitAllocate(WDFDEVICE ParentDevice);

// Each ID is one counted string, copied as it is; the framework reports a
// list as its strings, each followed by a null, and a final null.
NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID);
NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID);
NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID);
NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID);
NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                 PCUNICODE_STRING DeviceLocation, LCID LocaleId);
VOID WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, LCID LocaleId);

// The static child is gone: the framework stops reporting it to the PnP
// manager, which removes it, and deletes it then (at once when its parent
// is not started, once the parent has started again otherwise).
// STATUS_NO_SUCH_DEVICE when it was reported missing before.
NTSTATUS WdfPdoMarkMissing(WDFDEVICE Device);

} // extern "C"
