// The application state block's defaults.
#include <gtest/gtest.h>

#include "appapi/app_state.h"
#include "sim/core/trace_sink.h"

namespace {

TEST(AppState, InitializeWritesTheDefaultsAndLeavesThePadding) {
    APP_INSTANCE instance;
    memset(&instance, 0xEE, sizeof(instance));
    sim::trace::Capture trace;
    EXPECT_EQ(AppApi_Initialize(&instance), STATUS_SUCCESS);

    UCHAR expected[48];
    memset(expected, 0, 13);
    memset(expected + 13, 0xEE, 3); // padding: not written
    const ULONG words[] = {128, 128, 128, 128, 8, 0, 0, 3};
    for (size_t i = 0; i < 8; ++i) {
        for (size_t b = 0; b < 4; ++b) {
            expected[16 + 4 * i + b] = static_cast<UCHAR>(words[i] >> (8 * b));
        }
    }
    EXPECT_EQ(memcmp(&instance, expected, sizeof(expected)), 0);

    std::vector<sim::trace::Record> records = trace.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Text, "Quillex!AppApi_Initialize: ++\n");
    EXPECT_EQ(records[1].Text, "Quillex!AppApi_Initialize: -- 0\n");
    EXPECT_EQ(records[1].Level, static_cast<ULONG>(TRACE_LEVEL_VERBOSE));
    EXPECT_EQ(records[1].Flags, static_cast<ULONG>(TRACE_ENTRY));
}

TEST(AppState, InitializeWithoutABlock) {
    sim::trace::Capture trace;
    EXPECT_EQ(AppApi_Initialize(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains("Quillex!AppApi_Initialize: -- c000000d\n"));
}

} // namespace
