// DbgPrintEx goes to the trace sink as an untagged message.
#include "ntddk.h"
#include "simtrace.h"

extern "C" {

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    UNREFERENCED_PARAMETER(ComponentId);
    // Debugger filter levels 0..3 are our trace levels 2..5.
    SimTraceV(Level + 2, 0, Format, arglist);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG r = vDbgPrintEx(ComponentId, Level, Format, args);
    va_end(args);
    return r;
}

} // extern "C"
