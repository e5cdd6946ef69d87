// The trace routine: Windows format conventions, and capture for tests.
#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"
#include "sim/core/trace_sink.h"
#include "sim/core/winfmt.h"

namespace {

TEST(Trace, CaptureRecordsLevelFlagsAndFormattedText) {
    sim::trace::Capture capture;
    WCHAR name[] = L"BTN_A";
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID, "Quillex!Routine: [%d] %S = 0x%x\n", 3, name,
                0x1FFu);
    std::vector<sim::trace::Record> records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Level, 4u);
    EXPECT_EQ(records[0].Flags, 0x100u);
    EXPECT_EQ(records[0].Text, "Quillex!Routine: [3] BTN_A = 0x1ff\n");
    EXPECT_TRUE(capture.Contains("BTN_A"));
    EXPECT_EQ(capture.Count("Quillex!"), 1u);
}

TEST(Trace, CaptureSeesMessagesFromEveryThreadOnlyWhileItLives) {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "before\n");
    sim::trace::Capture capture;
    std::thread other(
        [] { TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "from another thread\n"); });
    other.join();
    EXPECT_TRUE(capture.Contains("from another thread"));
    EXPECT_FALSE(capture.Contains("before"));
}

TEST(WindowsFormat, LengthModifiersFollowWindowsWidths) {
    // "l" is 32-bit on Windows, whatever the host's long is.
    EXPECT_EQ(sim::Format("%lx %lu %ld", 0xFFFFFFFFu, 7u, -2), "ffffffff 7 -2");
    EXPECT_EQ(sim::Format("%I64x %llu", 0x123456789ABCull, 5ull), "123456789abc 5");
    EXPECT_EQ(sim::Format("%02x,%c,%5s|%-3d|", 0x7Fu, 'A', "ab", 4), "7f,A,   ab|4  |");
    EXPECT_EQ(sim::Format("%%%u", 3u), "%3");
}

TEST(WindowsFormat, WideStringsInNarrowAndWideFormats) {
    WCHAR text[] = L"Xbox \u00e9";
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, text);
    EXPECT_EQ(sim::Format("%S|%wZ|%S", text, &counted, static_cast<WCHAR*>(nullptr)),
              "Xbox \xc3\xa9|Xbox \xc3\xa9|(null)");

    WCHAR buffer[16];
    UNICODE_STRING out = {0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlUnicodeStringPrintf(&out, L"%02d", 7), STATUS_SUCCESS);
    EXPECT_EQ(out.Length, 4);
    EXPECT_EQ(buffer[0], L'0');
    EXPECT_EQ(buffer[1], L'7');
    // A result that does not fit is cut and reported, never overrun.
    WCHAR tiny[3];
    UNICODE_STRING small = {0, sizeof(tiny), tiny};
    EXPECT_EQ(RtlUnicodeStringPrintf(&small, L"%s-%d", L"abcdef", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small.Length, sizeof(tiny));
}

// On Windows a debugger shows a trace when the bit of its DbgPrintEx level is
// on in the component's mask, and masks are turned on from the bottom bit up.
// Showing the levels up to one of ours must show none above it.
TEST(Trace, EachWindowsFilterSettingShowsALevelAndTheLevelsBelowItOnly) {
    const ULONG levels[] = {TRACE_LEVEL_ERROR, TRACE_LEVEL_WARNING, TRACE_LEVEL_INFORMATION,
                            TRACE_LEVEL_VERBOSE};
    for (ULONG shown : levels) {
        ULONG mask = (2u << QuillexDebugPrintLevel(shown)) - 1; // bits 0 .. its level
        for (ULONG level : levels) {
            bool visible = (mask & (1u << QuillexDebugPrintLevel(level))) != 0;
            EXPECT_EQ(visible, level <= shown) << "level " << level << " with " << shown << " on";
        }
    }
    EXPECT_EQ(QuillexDebugPrintLevel(TRACE_LEVEL_ERROR), static_cast<ULONG>(DPFLTR_ERROR_LEVEL));
}

} // namespace
