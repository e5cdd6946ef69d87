#include "platform/platform.h"

#include <stdarg.h>

extern "C" ULONG QuillexDebugPrintLevel(ULONG Level) {
    // DbgPrintEx levels 0 to 3 are bits of the component's filter mask, which
    // a debugger turns on from the bottom up (0x3 errors and warnings, 0x7
    // and information, 0xF everything). Our levels take those bits in their
    // own order, so turning information on leaves the verbose entry and exit
    // messages off.
    return Level <= TRACE_LEVEL_ERROR         ? DPFLTR_ERROR_LEVEL
           : Level == TRACE_LEVEL_WARNING     ? DPFLTR_WARNING_LEVEL
           : Level == TRACE_LEVEL_INFORMATION ? DPFLTR_TRACE_LEVEL
                                              : DPFLTR_INFO_LEVEL;
}

extern "C" VOID QuillexTrace(ULONG Level, ULONG Flags, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
#if defined(_KERNEL_MODE)
    // Windows debug output has no flag word.
    UNREFERENCED_PARAMETER(Flags);
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID, QuillexDebugPrintLevel(Level), Format, args);
#else
    SimTraceV(Level, Flags, Format, args);
#endif
    va_end(args);
}
