// Raw report decoding for both stick models, with change detection.
#include <gtest/gtest.h>

#include <vector>

#include "mapping/decode.h"
#include "sim/peers/stick/raw_reports.h"
#include "tests/support/sim_fixture.h"

namespace {

using sim::stick::Layout;

class DecodeTest : public quillex_test::DriverTest {
  protected:
    // Buffers as the reader allocates them: one byte longer than the report.
    void Use(Layout layout, size_t reportLength = 0, size_t analogEntries = ANALOG_VALUE_COUNT) {
        layout_ = layout;
        if (reportLength == 0) {
            reportLength =
                (layout == Layout::A ? sim::stick::kLayoutALength : sim::stick::kLayoutBLength) + 1;
        }
        holder_ = std::make_unique<quillex_test::ContextHolder>(driver_.Handle(), reportLength,
                                                                analogEntries);
    }

    static NTSTATUS DecodeInto(quillex_test::ContextHolder& holder, Layout layout,
                               const std::vector<UCHAR>& raw) {
        PDEVICE_CONTEXT ctx = holder.Context();
        memset(ctx->InputReport.Buffer, 0, ctx->InputReport.Size);
        memcpy(ctx->InputReport.Buffer, raw.data(), std::min(raw.size(), ctx->InputReport.Size));
        return layout == Layout::A ? DecodeHidReportLayoutA(ctx) : DecodeHidReportLayoutB(ctx);
    }

    NTSTATUS Decode(const std::vector<UCHAR>& raw) { return DecodeInto(*holder_, layout_, raw); }

    NTSTATUS Decode(const sim::stick::StickState& state) {
        return Decode(sim::stick::Encode(layout_, state));
    }

    ULONG Buttons() const { return holder_->Context()->CanonicalButtons; }
    ULONG Analog(ANALOG_INDEX i) const { return holder_->Analog()[i]; }

    Layout layout_ = Layout::A;
    std::unique_ptr<quillex_test::ContextHolder> holder_;
};

TEST_F(DecodeTest, NoContextIsAnInvalidParameter) {
    EXPECT_EQ(DecodeHidReportLayoutA(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DecodeHidReportLayoutB(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(DecodeTest, LayoutAWorkedValuesAndEveryButton) {
    Use(Layout::A);
    std::vector<UCHAR> raw(19, 0);
    raw[0] = 0x02;
    raw[1] = 0x10;
    EXPECT_EQ(Decode(raw), STATUS_SUCCESS);
    EXPECT_EQ(Buttons(), 0x401u); // BTN_A and BTN_PWR

    raw[0] = 0xFF;
    raw[1] = 0xFF;
    EXPECT_EQ(Decode(raw), STATUS_SUCCESS);
    EXPECT_EQ(Buttons(), 0xF7Fu);
}

TEST_F(DecodeTest, LayoutAAnalogSources) {
    Use(Layout::A);
    std::vector<UCHAR> raw(19, 0);
    raw[2] = 0xF3; // hat 3; the high nibble is ignored
    raw[3] = 11;   // left X
    raw[4] = 22;   // left Y
    raw[5] = 33;   // right X
    raw[6] = 44;   // right Y
    raw[17] = 55;  // left trigger
    raw[18] = 66;  // right trigger
    EXPECT_EQ(Decode(raw), STATUS_SUCCESS);
    EXPECT_EQ(Analog(ANALOG_HAT), 3u);
    EXPECT_EQ(Analog(ANALOG_LEFT_STICK_X), 11u);
    EXPECT_EQ(Analog(ANALOG_LEFT_STICK_Y), 22u);
    EXPECT_EQ(Analog(ANALOG_RIGHT_STICK_X), 33u);
    EXPECT_EQ(Analog(ANALOG_RIGHT_STICK_Y), 44u);
    EXPECT_EQ(Analog(ANALOG_LEFT_TRIGGER), 55u);
    EXPECT_EQ(Analog(ANALOG_RIGHT_TRIGGER), 66u);
}

TEST_F(DecodeTest, LayoutBWorkedValuesBackFromEitherSourceAndEveryButton) {
    Use(Layout::B);
    std::vector<UCHAR> raw(10, 0);
    raw[5] = 0x28;
    raw[6] = 0x10;
    raw[7] = 0x02;
    EXPECT_EQ(Decode(raw), STATUS_SUCCESS);
    EXPECT_EQ(Buttons(), 0x41u); // BTN_A and BTN_BACK
    EXPECT_EQ(Analog(ANALOG_HAT), 8u);

    // Clearing one of the two BACK sources leaves BACK pressed: no change.
    raw[6] = 0x00;
    EXPECT_EQ(Decode(raw), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Buttons(), 0x41u);
    raw[7] = 0x00;
    raw[6] = 0x10;
    EXPECT_EQ(Decode(raw), STATUS_UNSUCCESSFUL);
    raw[6] = 0x00;
    EXPECT_EQ(Decode(raw), STATUS_SUCCESS);
    EXPECT_EQ(Buttons(), 0x01u);

    raw[5] = 0xF0;
    raw[6] = 0xFF;
    raw[7] = 0xFF;
    EXPECT_EQ(Decode(raw), STATUS_SUCCESS);
    EXPECT_EQ(Buttons(), 0xF7Fu);
}

TEST_F(DecodeTest, LayoutBAnalogSources) {
    Use(Layout::B);
    std::vector<UCHAR> raw = {0xEE, 11, 22, 33, 44, 0x0F, 0, 0, 55, 66};
    EXPECT_EQ(Decode(raw), STATUS_SUCCESS);
    EXPECT_EQ(Analog(ANALOG_LEFT_STICK_X), 11u);
    EXPECT_EQ(Analog(ANALOG_LEFT_STICK_Y), 22u);
    EXPECT_EQ(Analog(ANALOG_RIGHT_STICK_X), 33u);
    EXPECT_EQ(Analog(ANALOG_RIGHT_STICK_Y), 44u);
    EXPECT_EQ(Analog(ANALOG_HAT), 15u); // stored as is, even if not a direction
    EXPECT_EQ(Analog(ANALOG_LEFT_TRIGGER), 55u);
    EXPECT_EQ(Analog(ANALOG_RIGHT_TRIGGER), 66u);
}

TEST_F(DecodeTest, TheSameReportTwiceIsNoChangeAndKeepsTheState) {
    for (Layout layout : {Layout::A, Layout::B}) {
        Use(layout);
        sim::stick::StickState s;
        s.buttons = sim::stick::X | sim::stick::Home;
        s.leftX = 200;
        s.hat = 5;
        s.rightTrigger = 9;
        EXPECT_EQ(Decode(s), STATUS_SUCCESS);
        ULONG buttons = Buttons();
        EXPECT_EQ(Decode(s), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Buttons(), buttons);
        EXPECT_EQ(Analog(ANALOG_LEFT_STICK_X), 200u);
        EXPECT_EQ(Analog(ANALOG_HAT), 5u);
        EXPECT_EQ(Analog(ANALOG_RIGHT_TRIGGER), 9u);
    }
}

TEST_F(DecodeTest, AnAllZeroFirstReportIsNoChange) {
    Use(Layout::A);
    EXPECT_EQ(Decode(std::vector<UCHAR>(19, 0)), STATUS_UNSUCCESSFUL);
    Use(Layout::B);
    EXPECT_EQ(Decode(std::vector<UCHAR>(10, 0)), STATUS_UNSUCCESSFUL);
}

TEST_F(DecodeTest, IgnoredBitsAndBytesNeverCountAsAChange) {
    Use(Layout::A);
    std::vector<UCHAR> raw(20, 0);
    raw[0] = 0x02;
    ASSERT_EQ(Decode(raw), STATUS_SUCCESS);
    std::vector<UCHAR> noisy = raw;
    noisy[0] |= 0xC0;
    noisy[1] |= 0xE0;
    noisy[2] |= 0xF0;
    for (int i = 7; i <= 16; ++i) {
        noisy[i] = 0x5A;
    }
    noisy[19] = 0x77; // past byte 18
    EXPECT_EQ(Decode(noisy), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Buttons(), 0x01u);

    Use(Layout::B);
    std::vector<UCHAR> rawB(11, 0);
    rawB[5] = 0x20;
    ASSERT_EQ(Decode(rawB), STATUS_SUCCESS);
    std::vector<UCHAR> noisyB = rawB;
    noisyB[0] = 0xFF;
    noisyB[6] |= 0x0C;
    noisyB[7] |= 0xFC;
    noisyB[10] = 0x33; // past byte 9
    EXPECT_EQ(Decode(noisyB), STATUS_UNSUCCESSFUL);
}

TEST_F(DecodeTest, AHatOnlyChangeCounts) {
    Use(Layout::B);
    sim::stick::StickState s; // hat 8, sticks centred
    EXPECT_EQ(Decode(s), STATUS_SUCCESS);
    s.hat = 0;
    EXPECT_EQ(Decode(s), STATUS_SUCCESS);
    EXPECT_EQ(Analog(ANALOG_HAT), 0u);
}

// From a settled state, a report that changes one analog field alone, or
// one button alone, is a change; putting it back is one too.
TEST_F(DecodeTest, EachAnalogFieldOrButtonAloneCountsAsAChange) {
    struct Source {
        size_t byte;
        UCHAR mask;
    };
    struct LayoutSources {
        Layout layout;
        size_t length;
        std::vector<Source> analog; // hat (low nibble) and the six axis and trigger bytes
        std::vector<Source> buttons;
    };
    const LayoutSources layouts[] = {
        {Layout::A,
         19,
         {{2, 0x0F}, {3, 0xFF}, {4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {17, 0xFF}, {18, 0xFF}},
         {{0, 0x01},
          {0, 0x02},
          {0, 0x04},
          {0, 0x08},
          {0, 0x10},
          {0, 0x20},
          {1, 0x01},
          {1, 0x02},
          {1, 0x04},
          {1, 0x08},
          {1, 0x10}}},
        {Layout::B,
         10,
         {{5, 0x0F}, {1, 0xFF}, {2, 0xFF}, {3, 0xFF}, {4, 0xFF}, {8, 0xFF}, {9, 0xFF}},
         {{5, 0x10},
          {5, 0x20},
          {5, 0x40},
          {5, 0x80},
          {6, 0x01},
          {6, 0x02},
          {6, 0x10},
          {6, 0x20},
          {6, 0x40},
          {6, 0x80},
          {7, 0x01},
          {7, 0x02}}},
    };
    for (const LayoutSources& l : layouts) {
        Use(l.layout);
        std::vector<UCHAR> settled(l.length, 0x40);
        settled[l.analog[0].byte] = static_cast<UCHAR>((settled[l.analog[0].byte] & 0xF0) | 0x08);
        for (const Source& b : l.buttons) {
            settled[b.byte] &= static_cast<UCHAR>(~b.mask);
        }
        ASSERT_EQ(Decode(settled), STATUS_SUCCESS);
        ASSERT_EQ(Decode(settled), STATUS_UNSUCCESSFUL);
        std::vector<Source> all = l.analog;
        all.insert(all.end(), l.buttons.begin(), l.buttons.end());
        for (const Source& field : all) {
            SCOPED_TRACE(testing::Message() << "layout " << static_cast<int>(l.layout) << " byte "
                                            << field.byte << " mask " << int(field.mask));
            std::vector<UCHAR> one = settled;
            // The lowest bit of the field flips: the smallest change it can make.
            one[field.byte] ^= static_cast<UCHAR>(field.mask & -field.mask);
            EXPECT_EQ(Decode(one), STATUS_SUCCESS);
            EXPECT_EQ(Decode(settled), STATUS_SUCCESS);
        }
    }
}

TEST_F(DecodeTest, TriangleBitsSetByTheApplicationAreClearedByTheNextDecode) {
    Use(Layout::A);
    sim::stick::StickState s;
    s.buttons = sim::stick::A;
    ASSERT_EQ(Decode(s), STATUS_SUCCESS);
    // The application's push writes the decoded state directly.
    holder_->Context()->CanonicalButtons |= BTN_RIGHT_TRIANGLE | BTN_LEFT_TRIANGLE;
    EXPECT_EQ(Decode(s), STATUS_SUCCESS);
    EXPECT_EQ(Buttons(), static_cast<ULONG>(BTN_A));
}

TEST_F(DecodeTest, AReportTooShortForItsLayoutIsLeftAlone) {
    // The buffer holds 18 bytes: layout A reads up to byte 18.
    Use(Layout::A, 18);
    PDEVICE_CONTEXT ctx = holder_->Context();
    ctx->CanonicalButtons = 0x5;
    holder_->Analog()[ANALOG_HAT] = 3;
    memset(ctx->InputReport.Buffer, 0xFF, ctx->InputReport.Size);
    EXPECT_EQ(DecodeHidReportLayoutA(ctx), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ctx->CanonicalButtons, 0x5u);
    EXPECT_EQ(holder_->Analog()[ANALOG_HAT], 3u);

    // Layout B reads up to byte 9: ten bytes are enough, nine are not.
    Use(Layout::B, 9);
    memset(holder_->Context()->InputReport.Buffer, 0xFF, 9);
    EXPECT_EQ(DecodeHidReportLayoutB(holder_->Context()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(holder_->Context()->CanonicalButtons, 0u);
    Use(Layout::B, 10);
    memset(holder_->Context()->InputReport.Buffer, 0xFF, 10);
    EXPECT_EQ(DecodeHidReportLayoutB(holder_->Context()), STATUS_SUCCESS);
}

TEST_F(DecodeTest, AnAnalogArrayWithFewerThanSevenEntriesIsNeverWritten) {
    Use(Layout::A, 20, 6);
    PDEVICE_CONTEXT ctx = holder_->Context();
    memset(ctx->InputReport.Buffer, 0xFF, ctx->InputReport.Size);
    EXPECT_EQ(DecodeHidReportLayoutA(ctx), STATUS_UNSUCCESSFUL);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(holder_->Analog()[i], 0u);
    }
    EXPECT_EQ(ctx->CanonicalButtons, 0u);
}

TEST_F(DecodeTest, MissingBuffersAreNoChange) {
    Use(Layout::B);
    PDEVICE_CONTEXT ctx = holder_->Context();
    QuillexReleaseMemory(&ctx->AnalogValues);
    EXPECT_EQ(DecodeHidReportLayoutB(ctx), STATUS_UNSUCCESSFUL);
    QuillexReleaseMemory(&ctx->InputReport);
    EXPECT_EQ(DecodeHidReportLayoutA(ctx), STATUS_UNSUCCESSFUL);
}

TEST_F(DecodeTest, BothLayoutsAgreeOnEveryStickState) {
    // The same logical state through either model decodes identically.
    quillex_test::ContextHolder a(driver_.Handle(), 20, ANALOG_VALUE_COUNT);
    quillex_test::ContextHolder b(driver_.Handle(), 11, ANALOG_VALUE_COUNT);
    for (const auto& step : sim::stick::DemoScript()) {
        NTSTATUS sa = DecodeInto(a, Layout::A, sim::stick::Encode(Layout::A, step.state));
        NTSTATUS sb = DecodeInto(b, Layout::B, sim::stick::Encode(Layout::B, step.state));
        EXPECT_EQ(sa, sb) << step.what;
        EXPECT_EQ(a.Context()->CanonicalButtons, b.Context()->CanonicalButtons) << step.what;
        EXPECT_EQ(memcmp(a.Analog(), b.Analog(), ANALOG_VALUE_COUNT * sizeof(ULONG)), 0)
            << step.what;
    }
}

} // namespace
