// The driver's trace routine.
//
// TraceEvents(Level, Flags, Format, ...) takes a printf-style format with
// Windows conventions ("%S" for a UTF-16 string, "%x" for a ULONG). It never
// changes behaviour: arguments must have no side effects, since the macro
// compiles to nothing when QUILLEX_TRACE_OFF is defined.
#pragma once

#include <ntddk.h>

// Levels.
#define TRACE_LEVEL_ERROR       2
#define TRACE_LEVEL_WARNING     3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE     5

// Flags: the area a message belongs to.
#define TRACE_DRIVER 0x00000001 // driver entry, child creation/removal, descriptors, bus interface
#define TRACE_DEVICE 0x00000002 // device add errors, hardware lifecycle, file create
#define TRACE_IOCTL  0x00000020 // control requests and the application interface
#define TRACE_HID    0x00000100 // HID pipeline and mapping engine
#define TRACE_URB    0x00000200 // URB dispatch errors and endpoint data
#define TRACE_ENTRY  0x00000400 // entry and exit messages

extern "C" VOID QuillexTrace(ULONG Level, ULONG Flags, PCSTR Format, ...);
// The DbgPrintEx level a trace of Level goes out at on Windows.
extern "C" ULONG QuillexDebugPrintLevel(ULONG Level);

#if defined(QUILLEX_TRACE_OFF)
#define TraceEvents(Level, Flags, ...) ((void)0)
#else
#define TraceEvents(Level, Flags, ...) QuillexTrace((Level), (Flags), __VA_ARGS__)
#endif
