// The simulator's sink for the driver's trace routine (no WDK counterpart).
#pragma once

#include <stdarg.h>
#include "km/ntdef.h"

extern "C" VOID SimTraceV(ULONG Level, ULONG Flags, PCSTR Format, va_list Args);
