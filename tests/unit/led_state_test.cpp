// LED states: their translation to the stick's LED index, and their record.
#include <gtest/gtest.h>

#include <thread>

#include "appapi/app_data.h"
#include "mapping/led_state.h"
#include "mapping/remap_store.h"
#include "sim/core/trace_sink.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace quillex_test;

class LedStateTest : public DriverTest {
  protected:
    void SetUp() override {
        Ctx()->InstanceNumber = 7;
        ASSERT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_SUCCESS);
    }
    PDEVICE_CONTEXT Ctx() { return holder_.Context(); }

    ContextHolder holder_{driver_.Handle()};
};

TEST_F(LedStateTest, StatesTranslateToLedIndexesAndAreRecorded) {
    struct Case {
        UCHAR state;
        const char* led;
    };
    const Case cases[] = {{2, "[3]"},     {3, "[2]"},     {4, "[1]"},
                          {5, "[0]"},     {0, "[65535]"}, {1, "[65535]"},
                          {6, "[65535]"}, {9, "[65535]"}, {255, "[65535]"}};
    for (const Case& c : cases) {
        sim::trace::Capture trace;
        EXPECT_EQ(TorvaXboxMappingSetLed(Ctx(), c.state), STATUS_SUCCESS);
        EXPECT_EQ(trace.Text(),
                  std::string("Quillex!QuillexSetLed: <7> ++ Torva_LED ") + c.led + "\n")
            << int(c.state);
        EXPECT_EQ(Ctx()->LedState, c.state); // stored untranslated
        EXPECT_EQ(KeReadStateMutex(&Ctx()->MappingMutex), 1);
    }
}

TEST_F(LedStateTest, QuillexSetLedOnlyTraces) {
    sim::trace::Capture trace;
    EXPECT_EQ(QuillexSetLed(Ctx(), 2), STATUS_SUCCESS);
    sim::trace::Record record;
    ASSERT_TRUE(trace.Find("Torva_LED [2]", &record));
    EXPECT_EQ(record.Level, static_cast<ULONG>(TRACE_LEVEL_VERBOSE));
    EXPECT_EQ(Ctx()->LedState, 2); // from the init, unchanged
    EXPECT_EQ(QuillexSetLed(nullptr, 2), STATUS_INVALID_PARAMETER);
}

TEST_F(LedStateTest, FailuresAreTracedAndChangeNothing) {
    sim::trace::Capture trace;
    EXPECT_EQ(TorvaXboxMappingSetLed(nullptr, 3), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingSetLed: <0> Error - Invalid device "
                               "context or LED - c000000d\n"));

    // An alerted wait holds no mutex: nothing is set, stored or released
    // (releasing it would be a verifier stop).
    trace.Clear();
    sim::fault::FailNthCall("KeWaitForSingleObject", 1, STATUS_ALERTED);
    EXPECT_EQ(TorvaXboxMappingSetLed(Ctx(), 5), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(trace.Contains("Torva_LED"));
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingSetLed: <7> Error - Invalid device "
                               "context or LED - c0000001\n"));
    EXPECT_EQ(Ctx()->LedState, 2);
    EXPECT_EQ(KeReadStateMutex(&Ctx()->MappingMutex), 1);
}

TEST_F(LedStateTest, TheFirstSetInitializesAMappingThatNeverWas) {
    ContextHolder fresh(driver_.Handle());
    fresh.Context()->InstanceNumber = 3;
    sim::trace::Capture trace;
    EXPECT_EQ(TorvaXboxMappingSetLed(fresh.Context(), 4), STATUS_SUCCESS);
    std::vector<sim::trace::Record> records = trace.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Text, "Quillex!TorvaXboxMappingLock: <3> Auto-initializing Mapping\n");
    EXPECT_EQ(records[0].Level, static_cast<ULONG>(TRACE_LEVEL_WARNING));
    EXPECT_EQ(records[1].Text, "Quillex!QuillexSetLed: <3> ++ Torva_LED [1]\n");
    EXPECT_EQ(fresh.Context()->LedState, 4);
    EXPECT_EQ(fresh.Context()->MappingInitialized, 1);
}

// The LED work item records states while the application data refresh reads
// them on another thread: under ThreadSanitizer this fails if the two do not
// share a lock.
TEST(LedStateRace, RecordedStatesAndTheApplicationRefreshShareALock) {
    sim::fault::Scope faults;
    SimDriver driver;
    ContextHolder holder(driver.Handle(), 0, ANALOG_VALUE_COUNT);
    PDEVICE_CONTEXT context = holder.Context();
    KeInitializeSpinLock(&context->StateLock);
    ASSERT_EQ(TorvaXboxMappingInit(context), STATUS_SUCCESS);
    std::thread refresh([context] {
        APP_INSTANCE instance{};
        for (int i = 0; i < 500; ++i) {
            EXPECT_EQ(AppApi_QuillexToApp(context, &instance), STATUS_SUCCESS);
            EXPECT_TRUE(instance.Led <= 3 || instance.Led == QUILLEX_LED_NONE);
        }
    });
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(TorvaXboxMappingSetLed(context, static_cast<UCHAR>(2 + i % 4)), STATUS_SUCCESS);
    }
    refresh.join();
    APP_INSTANCE instance{};
    EXPECT_EQ(AppApi_QuillexToApp(context, &instance), STATUS_SUCCESS);
    EXPECT_EQ(instance.Led, 5u - (2 + 499 % 4));
}

} // namespace
