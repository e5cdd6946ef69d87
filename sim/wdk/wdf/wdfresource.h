// KMDF hardware resource lists, as handed to EvtDevicePrepareHardware.
#pragma once

#include "wdf/wdfobject.h"

extern "C" {
ULONG WdfCmResourceListGetCount(WDFCMRESLIST List);
}
