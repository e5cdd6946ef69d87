// The counted-string routines of ntstrsafe that the WDK supplies from its
// library and mingw-w64's headers lack. They behave as the WDK's: a result that
// does not fit is cut at the destination's MaximumLength, its Length set to
// the cut, and STATUS_BUFFER_OVERFLOW returned; a string whose lengths are odd,
// crossed or beyond NTSTRSAFE_UNICODE_STRING_MAX_CCH, or whose buffer is
// missing, is STATUS_INVALID_PARAMETER. A missing string or format, which the
// WDK's would dereference, is STATUS_INVALID_PARAMETER too.
//
// Built into quillex.sys, and into a unit test on Linux with the same source:
// UNICODE_STRING_SAFE_LINKAGE lets the test give them names of their own.
#ifndef UNICODE_STRING_SAFE_LINKAGE
#include "platform/platform.h"
#define UNICODE_STRING_SAFE_LINKAGE extern "C"
#endif

#include <stdarg.h>

// The kernel's formatter (ntoskrnl.exe exports it), as the WDK's routine uses.
extern "C" int _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, va_list Arguments);

static NTSTATUS UnicodeStringValidate(PCUNICODE_STRING String, size_t* Chars, size_t* Room) {
    if (String == NULL || String->Length % sizeof(WCHAR) != 0 ||
        String->MaximumLength % sizeof(WCHAR) != 0 || String->Length > String->MaximumLength ||
        String->MaximumLength > NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(WCHAR) ||
        (String->Buffer == NULL && String->MaximumLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    *Chars = String->Length / sizeof(WCHAR);
    if (Room != NULL) {
        *Room = String->MaximumLength / sizeof(WCHAR);
    }
    return STATUS_SUCCESS;
}

// Copies as much of Source as Room holds; overflow when some was left behind.
static NTSTATUS UnicodeCharsCopy(PWSTR Dest, size_t Room, const WCHAR* Source, size_t Chars,
                                 size_t* Copied) {
    size_t n = Chars < Room ? Chars : Room;
    if (n != 0) {
        RtlMoveMemory(Dest, Source, n * sizeof(WCHAR));
    }
    *Copied = n;
    return n == Chars ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

// A copy (Replace) writes Source from the start of the destination, a cat
// after its text; a copy with a bad source leaves the destination empty.
static NTSTATUS UnicodeStringPut(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                 BOOLEAN Replace) {
    size_t destChars, room, sourceChars, copied = 0;
    NTSTATUS status = UnicodeStringValidate(DestinationString, &destChars, &room);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Replace) {
        destChars = 0;
    }
    status = UnicodeStringValidate(SourceString, &sourceChars, NULL);
    if (NT_SUCCESS(status)) {
        status = UnicodeCharsCopy(DestinationString->Buffer + destChars, room - destChars,
                                  SourceString->Buffer, sourceChars, &copied);
    } else if (!Replace) {
        return status;
    }
    DestinationString->Length = static_cast<USHORT>((destChars + copied) * sizeof(WCHAR));
    return status;
}

UNICODE_STRING_SAFE_LINKAGE NTSTATUS NTAPI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString,
                                                                PCUNICODE_STRING SourceString) {
    return UnicodeStringPut(DestinationString, SourceString, TRUE);
}

UNICODE_STRING_SAFE_LINKAGE NTSTATUS NTAPI RtlUnicodeStringCat(PUNICODE_STRING DestinationString,
                                                               PCUNICODE_STRING SourceString) {
    return UnicodeStringPut(DestinationString, SourceString, FALSE);
}

UNICODE_STRING_SAFE_LINKAGE NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString,
                                                            PCWSTR pszFormat, ...) {
    size_t destChars, room, written;
    NTSTATUS status = UnicodeStringValidate(DestinationString, &destChars, &room);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (pszFormat == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list arguments;
    va_start(arguments, pszFormat);
    // The formatter writes at most room characters and no terminator when the
    // text fills them exactly; a longer text returns a negative count.
    int count = _vsnwprintf(reinterpret_cast<wchar_t*>(DestinationString->Buffer), room,
                            reinterpret_cast<const wchar_t*>(pszFormat), arguments);
    va_end(arguments);
    if (count < 0 || static_cast<size_t>(count) > room) {
        written = room;
        status = STATUS_BUFFER_OVERFLOW;
    } else {
        written = static_cast<size_t>(count);
        status = STATUS_SUCCESS;
    }
    DestinationString->Length = static_cast<USHORT>(written * sizeof(WCHAR));
    return status;
}
