// Bounded string routines: they fail rather than overrun the destination.
#pragma once

#include <stdarg.h>
#include "ntddk.h"

#define NTSTRSAFE_MAX_CCH                2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

extern "C" {
NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, PCWSTR pszSrc);
NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, PCWSTR pszSrc);
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);
NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat,
                                 va_list argList);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
}
