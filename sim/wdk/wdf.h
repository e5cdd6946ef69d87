// The Kernel-Mode Driver Framework 1.9, as a driver sees it through wdf.h.
// Functions are declared directly rather than through the WdfFunctions table.
#pragma once

#include "ntddk.h"
#include "wdf/wdftypes.h"
#include "wdf/wdfobject.h"
#include "wdf/wdfmemory.h"
#include "wdf/wdfdriver.h"
#include "wdf/wdfresource.h"
#include "wdf/wdffileobject.h"
#include "wdf/wdfdevice.h"
#include "wdf/wdfpdo.h"
#include "wdf/wdffdo.h"
#include "wdf/wdfrequest.h"
#include "wdf/wdfio.h"
#include "wdf/wdfiotarget.h"
#include "wdf/wdfworkitem.h"
