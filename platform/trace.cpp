#include "platform/platform.h"

#include <stdarg.h>

extern "C" VOID QuillexTrace(ULONG Level, ULONG Flags, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
#if defined(_KERNEL_MODE)
    // Windows debug output has no flag word; map our levels onto its filter levels.
    UNREFERENCED_PARAMETER(Flags);
    ULONG dbgLevel = Level <= TRACE_LEVEL_ERROR     ? DPFLTR_ERROR_LEVEL
                     : Level == TRACE_LEVEL_WARNING ? DPFLTR_WARNING_LEVEL
                     : Level == TRACE_LEVEL_VERBOSE ? DPFLTR_TRACE_LEVEL
                                                    : DPFLTR_INFO_LEVEL;
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID, dbgLevel, Format, args);
#else
    SimTraceV(Level, Flags, Format, args);
#endif
    va_end(args);
}
