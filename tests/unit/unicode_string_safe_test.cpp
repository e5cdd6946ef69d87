// The counted-string routines quillex.sys carries for ntstrsafe's library,
// built from the driver's own source: truncation, maximum lengths and bad
// strings, as the WDK's routines handle them.
#include <gtest/gtest.h>

#include <stdarg.h>
#include <string.h>

#include <vector>

#include "ntddk.h"
#include "ntstrsafe.h"
#include "sim/core/winfmt.h"

// The kernel's formatter as the routines find it in ntoskrnl.exe: at most
// Count characters, a terminator only when there is room for one, and -1 when
// the text is longer than Count.
extern "C" int _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format,
                           va_list Arguments) {
    std::vector<WCHAR> text = sim::FormatWideV(reinterpret_cast<const WCHAR*>(Format), Arguments);
    size_t n = text.size() < Count ? text.size() : Count;
    if (n != 0) {
        memcpy(Buffer, text.data(), n * sizeof(WCHAR));
    }
    if (text.size() < Count) {
        Buffer[text.size()] = 0;
    }
    return text.size() <= Count ? static_cast<int>(text.size()) : -1;
}

namespace kernel_build {
#define UNICODE_STRING_SAFE_LINKAGE
#include "windows/unicode_string_safe.cpp"
} // namespace kernel_build

namespace {

const WCHAR kFill = 0x2A2A;

// A destination of Room characters in a buffer one character larger, so that a
// write past MaximumLength shows in the guard.
struct Dest {
    WCHAR buffer[64];
    UNICODE_STRING s;
    explicit Dest(USHORT room, const WCHAR* start = L"") {
        for (WCHAR& c : buffer) {
            c = kFill;
        }
        s.Buffer = buffer;
        s.MaximumLength = static_cast<USHORT>(room * sizeof(WCHAR));
        s.Length = 0;
        while (start[s.Length / sizeof(WCHAR)] != 0) {
            buffer[s.Length / sizeof(WCHAR)] = start[s.Length / sizeof(WCHAR)];
            s.Length += sizeof(WCHAR);
        }
    }
    std::u16string Text() const {
        return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer),
                              s.Length / sizeof(WCHAR));
    }
    bool GuardIntact() const { return buffer[s.MaximumLength / sizeof(WCHAR)] == kFill; }
};

UNICODE_STRING Counted(const WCHAR* text) {
    UNICODE_STRING s;
    USHORT n = 0;
    while (text[n] != 0) {
        ++n;
    }
    s.Buffer = const_cast<PWSTR>(text);
    s.Length = static_cast<USHORT>(n * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

TEST(UnicodeStringSafe, CopyAndCatFitOrAreCutAtTheDestinationsRoom) {
    struct Case {
        bool cat;
        USHORT room;
        const WCHAR* start;
        const WCHAR* source;
        NTSTATUS status;
        const char16_t* result;
    } cases[] = {
        {false, 8, L"old", L"Quillex", STATUS_SUCCESS, u"Quillex"},
        {false, 7, L"", L"Quillex", STATUS_SUCCESS, u"Quillex"}, // exact fit: no terminator needed
        {false, 4, L"", L"Quillex", STATUS_BUFFER_OVERFLOW, u"Quil"},
        {false, 0, L"", L"Q", STATUS_BUFFER_OVERFLOW, u""},
        {false, 4, L"old", L"", STATUS_SUCCESS, u""},
        {true, 16, L"Params\\", L"Remap", STATUS_SUCCESS, u"Params\\Remap"},
        {true, 9, L"Params\\", L"Remap", STATUS_BUFFER_OVERFLOW, u"Params\\Re"},
        {true, 7, L"Params\\", L"Remap", STATUS_BUFFER_OVERFLOW, u"Params\\"},
    };
    for (const Case& c : cases) {
        Dest d(c.room, c.start);
        UNICODE_STRING source = Counted(c.source);
        NTSTATUS status = c.cat ? kernel_build::RtlUnicodeStringCat(&d.s, &source)
                                : kernel_build::RtlUnicodeStringCopy(&d.s, &source);
        SCOPED_TRACE(std::string(c.cat ? "cat " : "copy ") + std::to_string(c.room));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(d.Text(), c.result);
        EXPECT_TRUE(d.GuardIntact());
    }
}

TEST(UnicodeStringSafe, PrintfIsCutAtTheRoomAndCountsOnlyWhatItWrote) {
    struct Case {
        USHORT room;
        NTSTATUS status;
        const char16_t* result;
    } cases[] = {
        {8, STATUS_SUCCESS, u"07"},
        {2, STATUS_SUCCESS, u"07"},
        {1, STATUS_BUFFER_OVERFLOW, u"0"},
        {0, STATUS_BUFFER_OVERFLOW, u""},
    };
    for (const Case& c : cases) {
        Dest d(c.room);
        SCOPED_TRACE(c.room);
        EXPECT_EQ(kernel_build::RtlUnicodeStringPrintf(&d.s, L"%02d", 7), c.status);
        EXPECT_EQ(d.Text(), c.result);
        EXPECT_TRUE(d.GuardIntact());
    }
    Dest wide(32);
    EXPECT_EQ(kernel_build::RtlUnicodeStringPrintf(&wide.s, L"%ws %u", L"Controller", 12u),
              STATUS_SUCCESS);
    EXPECT_EQ(wide.Text(), u"Controller 12");
}

TEST(UnicodeStringSafe, BadStringsAreRefusedAndTheDestinationKeptWhereItCan) {
    UNICODE_STRING good = Counted(L"ok");
    UNICODE_STRING odd = good, crossed = good, missing = good;
    odd.Length = 3;
    crossed.Length = 4;
    crossed.MaximumLength = 2;
    missing.Buffer = NULL;
    for (UNICODE_STRING* bad : {&odd, &crossed, &missing}) {
        Dest d(8, L"keep");
        UNICODE_STRING before = *bad;
        // A bad destination is left as it was.
        EXPECT_EQ(kernel_build::RtlUnicodeStringCopy(bad, &good), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(kernel_build::RtlUnicodeStringCat(bad, &good), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(kernel_build::RtlUnicodeStringPrintf(bad, L"x"), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bad->Length, before.Length);
        // A bad source: a cat keeps the destination, a copy empties it.
        EXPECT_EQ(kernel_build::RtlUnicodeStringCat(&d.s, bad), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(d.Text(), u"keep");
        EXPECT_EQ(kernel_build::RtlUnicodeStringCopy(&d.s, bad), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(d.Text(), u"");
    }
    Dest d(8, L"keep");
    EXPECT_EQ(kernel_build::RtlUnicodeStringCopy(NULL, &good), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kernel_build::RtlUnicodeStringCat(&d.s, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kernel_build::RtlUnicodeStringPrintf(&d.s, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(d.Text(), u"keep");
    // The largest counted string is accepted.
    static WCHAR big[NTSTRSAFE_UNICODE_STRING_MAX_CCH];
    UNICODE_STRING max = {0, static_cast<USHORT>(sizeof(big)), big};
    EXPECT_EQ(kernel_build::RtlUnicodeStringCopy(&max, &good), STATUS_SUCCESS);
}

} // namespace
