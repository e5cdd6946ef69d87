// Run-time library: memory helpers and counted strings.
#pragma once

#include "km/ntstatus.h"

#define RtlZeroMemory(Destination, Length)         memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill)   memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(a, b, Length)               (memcmp((a), (b), (Length)) == 0)

#define RTL_CONSTANT_STRING(s)                                                                     \
    { sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<PWSTR>(s) }

extern "C" {
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
// Frees a string a system service allocated (IoRegisterDeviceInterface's link name).
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
}
