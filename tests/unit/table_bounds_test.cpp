// The driver's constant tables against every index the outside can make it
// compute: raw report bytes from the stick, mapping bytes from the registry
// or the application, the application's state block and item ids, and stage
// counters driven by the class driver. Each sweep covers the whole range of
// the value that selects the entry; under AddressSanitizer a read past any
// table is reported, and here a wrong entry or a missing refusal fails.
#include <gtest/gtest.h>

#include <string.h>

#include <array>
#include <vector>

#include "appapi/app_data.h"
#include "appapi/app_state.h"
#include "mapping/curves.h"
#include "mapping/decode.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/peers/stick/raw_reports.h"
#include "tests/support/sim_fixture.h"
#include "xusb/staged_response.h"

namespace {

using namespace quillex_test;
using Report = std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH>;

// Xbox button bits by map entry value, and d-pad bits by hat value, written
// out here rather than taken from the driver's tables.
const USHORT kXboxButtonOf[11] = {0x1000, 0x2000, 0x4000, 0x8000, 0x0100, 0x0200,
                                  0x0020, 0x0010, 0x0040, 0x0080, 0x0400};
const USHORT kDpadOf[9] = {0x01, 0x09, 0x08, 0x0A, 0x02, 0x06, 0x04, 0x05, 0x00};

class TableBoundsTest : public DriverTest {
  protected:
    void SetUp() override {
        ctx_ = holder_.Context();
        ASSERT_EQ(TorvaXboxMappingInit(ctx_), STATUS_SUCCESS);
        ASSERT_EQ(TorvaXboxMappingRestoreDefaults(ctx_), STATUS_SUCCESS);
        ASSERT_EQ(AppApi_Initialize(&ctx_->AppInstance), STATUS_SUCCESS);
    }

    Report Compose() {
        Report r;
        r.fill(0xEE);
        EXPECT_EQ(TorvaXboxMappingGetInputReport(ctx_, r.data(), r.size()), STATUS_SUCCESS);
        return r;
    }
    static USHORT Buttons(const Report& r) { return static_cast<USHORT>(r[2] | r[3] << 8); }
    Report Pushed() {
        Report r;
        memcpy(r.data(), ctx_->XusbInputReport, r.size());
        return r;
    }

    // Room for either raw layout, as the reader allocates it: one byte more.
    static constexpr size_t kReportRoom =
        (sim::stick::kLayoutALength > sim::stick::kLayoutBLength ? sim::stick::kLayoutALength
                                                                 : sim::stick::kLayoutBLength) +
        1;
    ContextHolder holder_{driver_.Handle(), kReportRoom, ANALOG_VALUE_COUNT};
    PDEVICE_CONTEXT ctx_ = nullptr;
};

TEST_F(TableBoundsTest, EveryMapEntryValueStaysInsideTheXboxButtonTable) {
    ULONG* analog = holder_.Analog();
    analog[ANALOG_HAT] = HAT_CENTRED;
    for (ULONG entry = 0; entry < QUILLEX_CANONICAL_BUTTON_COUNT; ++entry) {
        ctx_->CanonicalButtons = 1UL << entry;
        for (ULONG value = 0; value <= 0xFF; ++value) {
            ctx_->RemapRecord.ButtonMap[entry] = static_cast<UCHAR>(value);
            USHORT expected = value < 11 ? kXboxButtonOf[value] : 0;
            ASSERT_EQ(Buttons(Compose()), expected) << "entry " << entry << " value " << value;
            ASSERT_EQ(RemapButtons(ctx_), expected);
        }
    }
}

TEST_F(TableBoundsTest, EveryRawHatByteStaysInsideTheDpadTable) {
    PUCHAR raw = holder_.Report();
    for (ULONG byte = 0; byte <= 0xFF; ++byte) {
        // Layout A: the hat has a byte of its own, of which the low half counts.
        memset(raw, 0, sim::stick::kLayoutALength);
        raw[2] = static_cast<UCHAR>(byte);
        DecodeHidReportLayoutA(ctx_); // success or "no change": the state is stored either way
        ULONG hat = byte & 0x0F;
        ASSERT_EQ(holder_.Analog()[ANALOG_HAT], hat);
        ASSERT_EQ(Buttons(Compose()), hat < 9 ? kDpadOf[hat] : 0) << "layout A byte " << byte;

        // Layout B: the hat shares its byte with four buttons.
        memset(raw, 0, sim::stick::kLayoutBLength);
        raw[5] = static_cast<UCHAR>(byte);
        DecodeHidReportLayoutB(ctx_);
        ASSERT_EQ(holder_.Analog()[ANALOG_HAT], hat);
        ASSERT_EQ(Buttons(Compose()) & 0x000F, hat < 9 ? kDpadOf[hat] : 0)
            << "layout B byte " << byte;
        ASSERT_EQ(ctx_->CanonicalButtons & ~static_cast<ULONG>(CANONICAL_BUTTONS_MASK), 0u);
    }
}

// Each raw button byte of any value gives the buttons of its set bits and
// nothing else: the 256-entry translations cover every byte.
TEST_F(TableBoundsTest, EveryRawButtonByteGivesTheButtonsOfItsBits) {
    struct ButtonByte {
        bool layoutA;
        size_t offset;
        ULONG bit[8]; // canonical button of each bit, 0 for an ignored bit
    };
    const ButtonByte bytes[] = {
        {true, 0, {BTN_X, BTN_A, BTN_B, BTN_Y, BTN_LEFT_TRIGGER, BTN_RIGHT_TRIGGER, 0, 0}},
        {true, 1, {BTN_BACK, BTN_HOME, BTN_LEFT_JOY_PRESS, BTN_RIGHT_JOY_PRESS, BTN_PWR, 0, 0, 0}},
        {false, 5, {0, 0, 0, 0, BTN_X, BTN_A, BTN_B, BTN_Y}},
        {false,
         6,
         {BTN_LEFT_TRIGGER, BTN_RIGHT_TRIGGER, 0, 0, BTN_BACK, BTN_HOME, BTN_LEFT_JOY_PRESS,
          BTN_RIGHT_JOY_PRESS}},
        {false, 7, {BTN_PWR, BTN_BACK, 0, 0, 0, 0, 0, 0}},
    };
    PUCHAR raw = holder_.Report();
    for (const ButtonByte& b : bytes) {
        for (ULONG value = 0; value <= 0xFF; ++value) {
            memset(raw, 0, kReportRoom);
            raw[b.offset] = static_cast<UCHAR>(value);
            b.layoutA ? DecodeHidReportLayoutA(ctx_) : DecodeHidReportLayoutB(ctx_);
            ULONG expected = 0;
            for (ULONG k = 0; k < 8; ++k) {
                expected |= (value >> k & 1) ? b.bit[k] : 0;
            }
            ASSERT_EQ(ctx_->CanonicalButtons, expected)
                << (b.layoutA ? "layout A" : "layout B") << " byte " << b.offset << " = " << value;
        }
    }
}

// The application's block is stored as sent: any 32-bit value reaches the
// d-pad and curve lookups, which must take only what their tables cover.
TEST_F(TableBoundsTest, EveryApplicationValueStaysInsideTheDpadAndCurveTables) {
    ctx_->RemapRecord.ENABLE_SCALING = 1;
    ctx_->RemapRecord.ControlPoints[0] = 0x10; // a curve that moves every entry
    ctx_->RemapRecord.ControlPoints[1] = 0xF0;
    BuildCurveTables(ctx_);
    APP_INSTANCE block = ctx_->AppInstance;

    for (ULONG dpad : {9u, 15u, 16u, 0x100u, 0x108u, 0x80000000u, 0xFFFFFFFFu}) {
        block.Dpad = dpad;
        ASSERT_EQ(AppApi_SetInstance(ctx_, &ctx_->AppInstance, sizeof(block), &block),
                  STATUS_SUCCESS);
        EXPECT_EQ(Buttons(Pushed()), 0) << "d-pad " << dpad;
    }
    block.Dpad = HAT_CENTRED;

    for (ULONG low = 0; low <= 0xFF; low += 0x11) {
        block.RightStickY = block.RightStickX = block.LeftStickX = block.LeftStickY = low;
        block.FirstTrigger = block.SecondTrigger = low;
        ASSERT_EQ(AppApi_SetInstance(ctx_, &ctx_->AppInstance, sizeof(block), &block),
                  STATUS_SUCCESS);
        const Report expected = Pushed();
        for (ULONG high : {0x100u, 0xFF00u, 0xFFFFFF00u}) {
            block.RightStickY = block.RightStickX = block.LeftStickX = block.LeftStickY =
                high | low;
            block.FirstTrigger = block.SecondTrigger = high | low;
            ASSERT_EQ(AppApi_SetInstance(ctx_, &ctx_->AppInstance, sizeof(block), &block),
                      STATUS_SUCCESS);
            EXPECT_EQ(Pushed(), expected) << std::hex << (high | low);
        }
    }
}

TEST_F(TableBoundsTest, ItemIdsOutsideTheItemTableAreRefusedAndChangeNothing) {
    std::vector<ULONG> ids = {0, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    for (ULONG id = QUILLEX_ITEM_LAST + 1; id < 0x120; ++id) {
        ids.push_back(id);
    }
    const APP_INSTANCE before = ctx_->AppInstance;
    for (ULONG id : ids) {
        // The settings (22 to 26) have a size, but are no fields of the block.
        EXPECT_EQ(AppApi_GetDataSize(id), AppApi_IsSettingItem(id) ? 4u : 0u) << id;
        UCHAR out[4] = {9, 9, 9, 9};
        EXPECT_EQ(AppApi_GetInstanceItem(&ctx_->AppInstance, id, sizeof(out), out),
                  STATUS_INVALID_DEVICE_REQUEST)
            << id;
        EXPECT_EQ(out[0], 9);
        const UCHAR one[4] = {1, 0, 0, 0};
        EXPECT_EQ(AppApi_SetInstanceItem(ctx_, &ctx_->AppInstance, id, sizeof(one), one),
                  STATUS_INVALID_DEVICE_REQUEST)
            << id;
        EXPECT_EQ(memcmp(&ctx_->AppInstance, &before, sizeof(before)), 0) << id;
    }
    // Every id inside the table writes its own bytes of the block and no other.
    for (ULONG id = QUILLEX_ITEM_FIRST; id <= QUILLEX_ITEM_LAST; ++id) {
        APP_INSTANCE expected = ctx_->AppInstance;
        if (id <= QUILLEX_ITEM_BTN_LEFT_TRIANGLE) {
            expected.Buttons[id - 1] = 1;
        } else {
            ULONG* fields[] = {&expected.RightStickY,   &expected.RightStickX,
                               &expected.LeftStickX,    &expected.LeftStickY,
                               &expected.Dpad,          &expected.FirstTrigger,
                               &expected.SecondTrigger, &expected.Led};
            *fields[id - QUILLEX_ITEM_RIGHT_STICK_Y] = 1;
        }
        const UCHAR one[4] = {1, 0, 0, 0};
        ASSERT_TRUE(
            NT_SUCCESS(AppApi_SetInstanceItem(ctx_, &ctx_->AppInstance, id, sizeof(one), one)));
        EXPECT_EQ(memcmp(&ctx_->AppInstance, &expected, sizeof(expected)), 0) << "item " << id;
    }
}

TEST_F(TableBoundsTest, RecordOffsetsOutsideTheValueNameTableAreRefused) {
    for (ULONG offset = 0; offset < 0x200; ++offset) {
        static const WCHAR untouched[] = L"untouched";
        PCWSTR name = untouched;
        NTSTATUS status = RemapValueName(offset, &name);
        if (offset >= sizeof(REMAP_RECORD)) {
            ASSERT_EQ(status, STATUS_INVALID_PARAMETER) << offset;
            ASSERT_EQ(name, untouched);
        } else if (offset == FIELD_OFFSET(REMAP_RECORD, RestoreDefaults)) {
            EXPECT_EQ(status, STATUS_NOT_FOUND);
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS) << offset;
            EXPECT_NE(name, nullptr);
        }
    }
    PCWSTR name = nullptr;
    EXPECT_EQ(RemapValueName(0xFFFFFFFF, &name), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemapValueName(0x80000000, &name), STATUS_INVALID_PARAMETER);
}

// The counters are single bytes moved by every request of their kind: past
// the table they must stay put, not run on and wrap round to row 0.
TEST(TableBoundsStages, AStageCounterNeverRunsPastItsTableNorWrapsRound) {
    for (ULONG start = 0; start <= 0xFF; ++start) {
        UCHAR counter = static_cast<UCHAR>(start);
        UCHAR stage = 0xEE;
        NTSTATUS status = XboxControllerClaimStage(&counter, 3, &stage);
        if (start < 3) {
            ASSERT_EQ(status, STATUS_SUCCESS);
            ASSERT_EQ(stage, start);
            ASSERT_EQ(counter, start + 1);
        } else {
            ASSERT_EQ(status, STATUS_NO_MORE_ENTRIES) << start;
            ASSERT_EQ(counter, start);
        }
    }
    const UCHAR row0[2] = {0xA0, 0xA1};
    const UCHAR row1[1] = {0xB0};
    const STAGED_RESPONSE table[] = {{row0, sizeof(row0), 0}, {row1, sizeof(row1), 0}};
    UCHAR counter = 0;
    for (ULONG request = 0; request < 600; ++request) {
        UCHAR out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
        ULONG copied = 0xFFFF;
        ASSERT_EQ(XboxControllerAnswerStage(&counter, table, 2, "TEST", out, sizeof(out),
                                            &urbStatus, &copied),
                  STATUS_SUCCESS);
        ASSERT_EQ(copied, request < 2 ? table[request].Length : 0u) << request;
        if (request >= 2) {
            ASSERT_EQ(out[0], 0xEE) << request;
        }
    }
    EXPECT_EQ(counter, 2);
}

} // namespace
