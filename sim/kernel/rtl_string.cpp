// Counted UTF-16 strings and the bounded ntstrsafe routines.
#include <stdarg.h>

#include "ntstrsafe.h"
#include "sim/core/fault.h"
#include "sim/core/utf.h"
#include "sim/core/winfmt.h"

namespace {

constexpr size_t kMaxUnicodeChars = NTSTRSAFE_UNICODE_STRING_MAX_CCH;

bool ValidCounted(PCUNICODE_STRING s) {
    return s != nullptr && s->Length % 2 == 0 && s->MaximumLength % 2 == 0 &&
           s->Length <= s->MaximumLength && (s->Buffer != nullptr || s->MaximumLength == 0) &&
           s->MaximumLength / sizeof(WCHAR) <= kMaxUnicodeChars;
}

// Copies 'count' characters after the first 'offset' of dest; fails, leaving dest
// unchanged, when they do not fit.
NTSTATUS PutAt(PUNICODE_STRING dest, size_t offset, const WCHAR* src, size_t count) {
    size_t room = dest->MaximumLength / sizeof(WCHAR);
    if (offset + count > room) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (count != 0) {
        memmove(dest->Buffer + offset, src, count * sizeof(WCHAR));
    }
    dest->Length = static_cast<USHORT>((offset + count) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = sim::WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength
                   ? SourceString->Length
                   : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
    }
}

static WCHAR Upcase(WCHAR c) {
    return (c >= L'a' && c <= L'z') ? static_cast<WCHAR>(c - 32) : c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b) {
            return static_cast<LONG>(static_cast<uint16_t>(a)) - static_cast<uint16_t>(b);
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!ValidCounted(DestinationString) || !ValidCounted(SourceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    return PutAt(DestinationString, 0, SourceString->Buffer, SourceString->Length / sizeof(WCHAR));
}

NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!ValidCounted(DestinationString) || !ValidCounted(SourceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    return PutAt(DestinationString, DestinationString->Length / sizeof(WCHAR), SourceString->Buffer,
                 SourceString->Length / sizeof(WCHAR));
}

NTSTATUS RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, PCWSTR pszSrc) {
    if (!ValidCounted(DestinationString) || pszSrc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return PutAt(DestinationString, 0, pszSrc, sim::WideLength(pszSrc));
}

NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, PCWSTR pszSrc) {
    if (!ValidCounted(DestinationString) || pszSrc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return PutAt(DestinationString, DestinationString->Length / sizeof(WCHAR), pszSrc,
                 sim::WideLength(pszSrc));
}

NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat,
                                 va_list argList) {
    if (!ValidCounted(DestinationString) || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<WCHAR> text = sim::FormatWideV(pszFormat, argList);
    size_t room = DestinationString->MaximumLength / sizeof(WCHAR);
    size_t n = text.size() < room ? text.size() : room;
    if (n != 0) {
        memcpy(DestinationString->Buffer, text.data(), n * sizeof(WCHAR));
    }
    // Like the real routine, a result that does not fit is truncated and reported.
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return n == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...) {
    NTSTATUS status;
    if (sim::fault::ShouldFail("RtlUnicodeStringPrintf", &status)) {
        return status;
    }
    va_list args;
    va_start(args, pszFormat);
    status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    if (psz == nullptr || cchMax > NTSTRSAFE_MAX_CCH) {
        if (pcchLength != nullptr) {
            *pcchLength = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cchMax && psz[n] != 0) {
        ++n;
    }
    if (n == cchMax) {
        if (pcchLength != nullptr) {
            *pcchLength = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    if (pcchLength != nullptr) {
        *pcchLength = n;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t cch = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength != nullptr) {
        *pcbLength = NT_SUCCESS(status) ? cch * sizeof(WCHAR) : 0;
    }
    return status;
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    if (pszDest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH || pszSrc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t i = 0;
    for (; i + 1 < cchDest && pszSrc[i] != 0; ++i) {
        pszDest[i] = pszSrc[i];
    }
    pszDest[i] = 0;
    return pszSrc[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
    if (pszDest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    std::vector<WCHAR> text = sim::FormatWideV(pszFormat, args);
    va_end(args);
    size_t n = text.size() < cchDest - 1 ? text.size() : cchDest - 1;
    if (n != 0) {
        memcpy(pszDest, text.data(), n * sizeof(WCHAR));
    }
    pszDest[n] = 0;
    return n == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
    if (pszDest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    std::string text = sim::FormatV(pszFormat, args);
    va_end(args);
    size_t n = text.size() < cchDest - 1 ? text.size() : cchDest - 1;
    memcpy(pszDest, text.data(), n);
    pszDest[n] = 0;
    return n == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

} // extern "C"
