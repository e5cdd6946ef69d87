// The kernel services a driver sees through the WDK's ntddk.h.
#pragma once

#include "km/ntdef.h"
#include "km/ntstatus.h"
#include "km/devioctl.h"
#include "km/ke.h"
#include "km/io.h"
#include "km/devobj.h"
#include "km/pnp.h"
#include "km/rtl.h"
#include "km/registry.h"
#include "km/ps.h"
#include "km/ex.h"
#include "km/dbg.h"
