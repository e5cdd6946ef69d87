// KMDF I/O targets: where a driver sends requests (the default target is the
// next-lower driver of the device's stack).
#pragma once

#include "wdf/wdfobject.h"

extern "C" {
PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget);
WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget);
}
