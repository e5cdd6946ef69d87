// KMDF function and filter devices as parents of child devices.
#pragma once

#include "wdf/wdfdevice.h"

extern "C" {

// Makes Child (created from WdfPdoInitAllocate(Fdo)) a static child of Fdo:
// reported to the PnP manager among Fdo's bus relations until Fdo goes.
NTSTATUS WdfFdoAddStaticChild(WDFDEVICE Fdo, WDFDEVICE Child);

} // extern "C"
