// Composition of the Xbox 360 input report, and the mapping lock pair.
#include <gtest/gtest.h>

#include <array>

#include "mapping/curves.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/core/trace_sink.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace quillex_test;
using Report = std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH>;

struct Raw {
    ULONG buttons = 0;
    UCHAR leftX = 128, leftY = 128, rightX = 128, rightY = 128;
    ULONG hat = HAT_CENTRED;
    UCHAR leftTrigger = 0, rightTrigger = 0;
};

class CompositionTest : public DriverTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(TorvaXboxMappingInit(Ctx()), STATUS_SUCCESS);
        ASSERT_EQ(TorvaXboxMappingInitRemap(Ctx()), STATUS_SUCCESS); // no key: the defaults
    }
    PDEVICE_CONTEXT Ctx() { return holder_.Context(); }
    REMAP_RECORD& Map() { return Ctx()->RemapRecord; }

    Report Compose(const Raw& raw) {
        ULONG* a = holder_.Analog();
        Ctx()->CanonicalButtons = raw.buttons;
        a[ANALOG_LEFT_STICK_X] = raw.leftX;
        a[ANALOG_LEFT_STICK_Y] = raw.leftY;
        a[ANALOG_RIGHT_STICK_X] = raw.rightX;
        a[ANALOG_RIGHT_STICK_Y] = raw.rightY;
        a[ANALOG_HAT] = raw.hat;
        a[ANALOG_LEFT_TRIGGER] = raw.leftTrigger;
        a[ANALOG_RIGHT_TRIGGER] = raw.rightTrigger;
        Report r;
        r.fill(0xEE);
        EXPECT_EQ(TorvaXboxMappingGetInputReport(Ctx(), r.data(), r.size()), STATUS_SUCCESS);
        return r;
    }
    static SHORT Field(const Report& r, size_t offset) {
        return static_cast<SHORT>(r[offset] | r[offset + 1] << 8);
    }
    static USHORT Buttons(const Report& r) {
        return static_cast<USHORT>(Field(r, XUSB_REPORT_BUTTONS));
    }

    ContextHolder holder_{driver_.Handle(), 0, ANALOG_VALUE_COUNT};
};

TEST_F(CompositionTest, WorkedExampleByteForByte) {
    Raw raw;
    raw.buttons = BTN_A | BTN_PWR;
    raw.hat = 2;
    raw.leftX = 128;
    raw.leftY = 0;
    raw.rightX = 255;
    raw.rightY = 255;
    raw.leftTrigger = 10;
    raw.rightTrigger = 200;
    const Report expected = {0x00, 0x14, 0x08, 0x14, 0x0A, 0xC8, 0x00, 0x00, 0xFF, 0x7F,
                             0x00, 0x7F, 0x00, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Compose(raw), expected);

    // Composed into the context's own report, as the read path does.
    EXPECT_EQ(TorvaXboxMappingGetInputReport(Ctx(), Ctx()->XusbInputReport,
                                             sizeof(Ctx()->XusbInputReport)),
              STATUS_SUCCESS);
    EXPECT_EQ(memcmp(Ctx()->XusbInputReport, expected.data(), expected.size()), 0);
}

TEST_F(CompositionTest, StickArithmeticAndTheYFix) {
    const UCHAR raw[] = {0, 1, 127, 128, 255};
    const SHORT x[] = {-32768, -32512, -256, 0, 32512};
    const SHORT y[] = {32767, 32512, 256, 0, -32512}; // 0 would be -32768: fixed to 32767
    for (size_t i = 0; i < 5; ++i) {
        Raw r;
        r.leftX = r.rightX = raw[i];
        r.leftY = r.rightY = raw[i];
        Report report = Compose(r);
        EXPECT_EQ(Field(report, XUSB_REPORT_LEFT_X), x[i]) << int(raw[i]);
        EXPECT_EQ(Field(report, XUSB_REPORT_RIGHT_X), x[i]) << int(raw[i]);
        EXPECT_EQ(Field(report, XUSB_REPORT_LEFT_Y), y[i]) << int(raw[i]);
        EXPECT_EQ(Field(report, XUSB_REPORT_RIGHT_Y), y[i]) << int(raw[i]);
    }
    // Only the low byte of each analog entry counts.
    Raw wide;
    wide.leftX = 0;
    Compose(wide);
    holder_.Analog()[ANALOG_LEFT_STICK_X] = 0x1FF;
    Report r;
    ASSERT_EQ(TorvaXboxMappingGetInputReport(Ctx(), r.data(), r.size()), STATUS_SUCCESS);
    EXPECT_EQ(Field(r, XUSB_REPORT_LEFT_X), 32512);
}

TEST_F(CompositionTest, HatToDpad) {
    const USHORT bits[] = {0x01, 0x09, 0x08, 0x0A, 0x02, 0x06, 0x04, 0x05, 0x00};
    for (ULONG hat = 0; hat < 9; ++hat) {
        Raw r;
        r.hat = hat;
        EXPECT_EQ(Buttons(Compose(r)), bits[hat]) << hat;
    }
    for (ULONG hat : {9u, 15u, 0x100u, 0xFFFFFFFFu}) {
        Raw r;
        r.hat = hat; // compared whole: 0x100 is not hat 0
        EXPECT_EQ(Buttons(Compose(r)), 0) << hat;
    }
}

TEST_F(CompositionTest, ButtonsFollowTheMapIncludingCollisionsAndBadEntries) {
    Raw r;
    r.buttons = CANONICAL_BUTTONS_MASK;
    // Every default mapping at once: the two pairs that share start and back
    // give one bit each, and 0x0800 is never set.
    Report all = Compose(r); // into a buffer filled with 0xEE
    EXPECT_EQ(Buttons(all), 0xF7F0);
    EXPECT_EQ(all,
              (Report{0x00, 0x14, 0xF0, 0xF7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    r.buttons = BTN_RIGHT_TRIANGLE | BTN_LEFT_TRIANGLE; // fed by the application only
    EXPECT_EQ(Buttons(Compose(r)), XUSB_START | XUSB_BACK);

    Map().ButtonMap[0] = XUSB_BUTTON_INDEX_NONE;
    Map().ButtonMap[1] = 14;   // past the table
    Map().ButtonMap[2] = 0xFF; // past the table
    Map().ButtonMap[3] = 3;
    r.buttons = BTN_A | BTN_B | BTN_X | BTN_Y;
    EXPECT_EQ(Buttons(Compose(r)), XUSB_Y);
    EXPECT_EQ(RemapButtons(Ctx()), XUSB_Y);

    Map().ButtonMap[4] = 0; // BTN_LEFT_TRIGGER onto A as well
    Map().ButtonMap[0] = 0;
    r.buttons = BTN_A | BTN_LEFT_TRIGGER | 0xFFFFE000; // bits above 12 are not looked at
    EXPECT_EQ(Buttons(Compose(r)), XUSB_A);
    EXPECT_EQ(RemapButtons(nullptr), 0);
}

TEST_F(CompositionTest, TriggerAndStickSwaps) {
    Raw r;
    r.leftTrigger = 10;
    r.rightTrigger = 200;
    r.leftX = 0;
    r.leftY = 0;
    r.rightX = 255;
    r.rightY = 64;
    Map().SWAP_TRIGGERS = 1;
    Report report = Compose(r);
    EXPECT_EQ(report[XUSB_REPORT_LEFT_TRIGGER], 200);
    EXPECT_EQ(report[XUSB_REPORT_RIGHT_TRIGGER], 10);
    EXPECT_EQ(Field(report, XUSB_REPORT_LEFT_X), -32768);

    Map().SWAP_TRIGGERS = 0;
    Map().SWAP_STICKS = 0x80; // any nonzero byte
    report = Compose(r);
    EXPECT_EQ(report[XUSB_REPORT_LEFT_TRIGGER], 10);
    EXPECT_EQ(Field(report, XUSB_REPORT_LEFT_X), 32512);   // right X
    EXPECT_EQ(Field(report, XUSB_REPORT_LEFT_Y), 16384);   // right Y 64, inverted
    EXPECT_EQ(Field(report, XUSB_REPORT_RIGHT_X), -32768); // left X
    EXPECT_EQ(Field(report, XUSB_REPORT_RIGHT_Y), 32767);  // left Y 0, fixed
}

TEST_F(CompositionTest, ScalingUsesEachAxisOwnCurveBeforeTheSwaps) {
    // A distinct curve per axis: (0, 0) on the right trigger, (255, 255) on the
    // left trigger, identity on the sticks except right X with (0, 255).
    REMAP_RECORD& m = Map();
    m.R_TRIG_CP_1 = 0, m.R_TRIG_CP_2 = 0;
    m.L_TRIG_CP_1 = 255, m.L_TRIG_CP_2 = 255;
    m.R_STICK_X_CP_1 = 0, m.R_STICK_X_CP_2 = 255;
    m.R_STICK_Y_CP_1 = 85, m.R_STICK_Y_CP_2 = 171;
    m.L_STICK_X_CP_1 = 85, m.L_STICK_X_CP_2 = 171;
    m.L_STICK_Y_CP_1 = 255, m.L_STICK_Y_CP_2 = 0;
    BuildCurveTables(Ctx());

    Raw r;
    r.rightTrigger = 192; // (0, 0): 108
    r.leftTrigger = 32;   // (255, 255): 84
    r.rightX = 64;        // (0, 255): 40
    r.leftY = 96;         // (255, 0): 126
    r.leftX = 0;
    Report off = Compose(r);
    EXPECT_EQ(off[XUSB_REPORT_RIGHT_TRIGGER], 192);

    m.ENABLE_SCALING = 1;
    Report on = Compose(r);
    EXPECT_EQ(on[XUSB_REPORT_RIGHT_TRIGGER], 108);
    EXPECT_EQ(on[XUSB_REPORT_LEFT_TRIGGER], 84);
    EXPECT_EQ(Field(on, XUSB_REPORT_RIGHT_X), (40 - 128) * 256);
    EXPECT_EQ(Field(on, XUSB_REPORT_LEFT_Y), (128 - 126) * 256);
    EXPECT_EQ(Field(on, XUSB_REPORT_LEFT_Y - 2), -32768); // left X 0 stays 0 through identity
    EXPECT_EQ(Field(on, XUSB_REPORT_RIGHT_Y), 0);         // centre stays centre

    // The swap moves the already scaled values.
    m.SWAP_TRIGGERS = 1;
    m.SWAP_STICKS = 1;
    Report swapped = Compose(r);
    EXPECT_EQ(swapped[XUSB_REPORT_LEFT_TRIGGER], 108);
    EXPECT_EQ(swapped[XUSB_REPORT_RIGHT_TRIGGER], 84);
    EXPECT_EQ(Field(swapped, XUSB_REPORT_LEFT_X), (40 - 128) * 256);
    EXPECT_EQ(Field(swapped, XUSB_REPORT_RIGHT_Y), (128 - 126) * 256);

    // Raw 0 on Y still gives 32767: every curve starts at 0.
    r.leftY = 0;
    EXPECT_EQ(Field(Compose(r), XUSB_REPORT_RIGHT_Y), 32767);
}

TEST_F(CompositionTest, BadArgumentsLeaveTheReportAlone) {
    Report r;
    r.fill(0xEE);
    EXPECT_EQ(TorvaXboxMappingGetInputReport(nullptr, r.data(), r.size()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingGetInputReport(Ctx(), nullptr, 20), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingGetInputReport(Ctx(), r.data(), 19), STATUS_BUFFER_TOO_SMALL);

    // No decoded values (the pipeline is not set up): nothing to compose from.
    ContextHolder bare(driver_.Handle());
    ASSERT_EQ(TorvaXboxMappingInit(bare.Context()), STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingGetInputReport(bare.Context(), r.data(), r.size()),
              STATUS_INVALID_DEVICE_STATE);
    ContextHolder shortArray(driver_.Handle(), 0, ANALOG_VALUE_COUNT - 1);
    ASSERT_EQ(TorvaXboxMappingInit(shortArray.Context()), STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingGetInputReport(shortArray.Context(), r.data(), r.size()),
              STATUS_INVALID_DEVICE_STATE);
    Report untouched;
    untouched.fill(0xEE);
    EXPECT_EQ(r, untouched);
}

TEST_F(CompositionTest, AMappingNeverInitializedIsLoadedOnTheSpot) {
    namespace reg = sim::registry;
    std::string remap = std::string(kServiceKey) + "\\Parameters\\Remap";
    ASSERT_TRUE(reg::SetDword(remap, "BTN_A", 1));
    ContextHolder fresh(driver_.Handle(), 0, ANALOG_VALUE_COUNT);
    PDEVICE_CONTEXT ctx = fresh.Context();
    // The path alone, as if device add had stopped after building it.
    ASSERT_EQ(TorvaXboxMappingInit(ctx), STATUS_SUCCESS);
    ctx->MappingInitialized = 0;
    fresh.Analog()[ANALOG_HAT] = HAT_CENTRED;
    ctx->CanonicalButtons = BTN_A;

    Report r;
    // Without a report the load's own status comes back.
    EXPECT_EQ(TorvaXboxMappingGetInputReport(ctx, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(ctx->RemapRecord.ButtonMap[0], 1);
    EXPECT_EQ(ctx->MappingInitialized, 0); // the load leaves the flag alone
    ASSERT_EQ(TorvaXboxMappingGetInputReport(ctx, r.data(), r.size()), STATUS_SUCCESS);
    EXPECT_EQ(Buttons(r), XUSB_B);

    // At DISPATCH_LEVEL the registry is out of reach: the record is used as
    // it is, and composition goes on.
    ctx->RemapRecord.ButtonMap[0] = 2;
    {
        sim::kernel::ScopedIrql raised(DISPATCH_LEVEL);
        EXPECT_EQ(TorvaXboxMappingGetInputReport(ctx, r.data(), r.size()), STATUS_SUCCESS);
    }
    EXPECT_EQ(Buttons(r), XUSB_X);
}

TEST_F(CompositionTest, LockTakesTheMutexAndOnlyASuccessfulWaitCounts) {
    PDEVICE_CONTEXT ctx = Ctx();
    ASSERT_EQ(TorvaXboxMappingLock(ctx), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&ctx->MappingMutex), 0);
    // Recursive for its holder; the inner release leaves the mutex held.
    ASSERT_EQ(TorvaXboxMappingLock(ctx), STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingUnlock(ctx), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TorvaXboxMappingUnlock(ctx), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&ctx->MappingMutex), 1);

    // An alerted wait or a delivered APC ends the wait without the mutex: the
    // lock reports a failure, so no caller goes on to release it.
    for (NTSTATUS early : {STATUS_ALERTED, STATUS_USER_APC}) {
        sim::fault::FailNthCall("KeWaitForSingleObject", 1, early);
        EXPECT_EQ(TorvaXboxMappingLock(ctx), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KeReadStateMutex(&ctx->MappingMutex), 1);
    }
    sim::fault::FailNthCall("KeWaitForSingleObject", 1, STATUS_INVALID_HANDLE);
    EXPECT_EQ(TorvaXboxMappingLock(ctx), STATUS_INVALID_HANDLE);
    EXPECT_EQ(TorvaXboxMappingLock(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TorvaXboxMappingUnlock(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(CompositionTest, LockInitializesAMappingThatNeverWas) {
    ContextHolder fresh(driver_.Handle());
    PDEVICE_CONTEXT ctx = fresh.Context();
    ctx->InstanceNumber = 4;
    sim::trace::Capture trace;
    ASSERT_EQ(TorvaXboxMappingLock(ctx), STATUS_SUCCESS);
    EXPECT_TRUE(trace.Contains("Quillex!TorvaXboxMappingLock: <4> Auto-initializing Mapping\n"));
    EXPECT_EQ(ctx->MappingInitialized, 1);
    EXPECT_EQ(ctx->LedState, 2);
    EXPECT_EQ(TorvaXboxMappingUnlock(ctx), STATUS_SUCCESS);
    ASSERT_EQ(TorvaXboxMappingLock(ctx), STATUS_SUCCESS);
    EXPECT_EQ(trace.Count("Auto-initializing"), 1u);
    EXPECT_EQ(TorvaXboxMappingUnlock(ctx), STATUS_SUCCESS);
}

} // namespace
