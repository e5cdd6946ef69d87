// The arcade settings as a real host sees them over USB/IP: the 20-byte
// reports a Linux xpad driver reads carry the lever on the left stick in
// left-stick mode, and turbo's presses as alternating button states.
#include "mapping/arcade_modes.h"
#include "sim/registry/registry.h"
#include "tests/support/usbip_export.h"

namespace quillex_test {
namespace {

// A report as the host receives it: buttons, triggers, then the four axes.
std::vector<uint8_t> HostReport(uint16_t buttons, int16_t lx, int16_t ly) {
    std::vector<uint8_t> r(20, 0);
    r[1] = 0x14;
    r[2] = static_cast<uint8_t>(buttons);
    r[3] = static_cast<uint8_t>(buttons >> 8);
    r[6] = static_cast<uint8_t>(lx);
    r[7] = static_cast<uint8_t>(static_cast<uint16_t>(lx) >> 8);
    r[8] = static_cast<uint8_t>(ly);
    r[9] = static_cast<uint8_t>(static_cast<uint16_t>(ly) >> 8);
    return r;
}

class UsbipArcadeTest : public UsbipExportTest {
  protected:
    void Store(const char* name, uint32_t value) {
        ASSERT_TRUE(sim::registry::SetDword(RemapKey(), name, value));
    }
    sim::stick::StickState Lever(uint8_t hat) {
        sim::stick::StickState s;
        s.hat = hat;
        return s;
    }
};

TEST_F(UsbipArcadeTest, InLeftStickModeTheLeverArrivesOnTheLeftStickAxes) {
    Store("DPAD_MODE", QUILLEX_DPAD_MODE_LEFT_STICK);
    Exported stick = PlugExported();
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);

    struct Case {
        uint8_t hat;
        int16_t lx, ly;
    } cases[] = {{6, -32768, 0}, {1, 32512, 32767}, {4, 0, -32512}, {8, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("hat " + std::to_string(c.hat));
        host.Submit(++seqnum, 1, true, 32);
        EXPECT_TRUE(WaitFor([&] { return stick.host->WaitingAtDevice() == 1; }));
        EXPECT_EQ(Deliver(stick.id, Lever(c.hat)), STATUS_SUCCESS);
        // No d-pad bits: the lever is the stick.
        ExpectData(&host, seqnum, 0, HostReport(0, c.lx, c.ly));
    }
}

TEST_F(UsbipArcadeTest, TurboPressesArriveAsAlternatingButtonStates) {
    Store("TURBO_MASK", BTN_A);
    Store("TURBO_RATE", 10);
    Exported stick = PlugExported();
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);

    host.Submit(++seqnum, 1, true, 32);
    EXPECT_TRUE(WaitFor([&] { return stick.host->WaitingAtDevice() == 1; }));
    EXPECT_EQ(Deliver(stick.id, Pressing(sim::stick::A)), STATUS_SUCCESS);
    ExpectData(&host, seqnum, 0, HostReport(sim::xbox::kA, 0, 0));

    // Each half period the reader sends the other state, with nothing new
    // from the stick.
    for (int half = 1; half <= 6; ++half) {
        SCOPED_TRACE("half period " + std::to_string(half));
        host.Submit(++seqnum, 1, true, 32);
        EXPECT_TRUE(WaitFor([&] { return stick.host->WaitingAtDevice() == 1; }));
        KIRQL irql;
        KeAcquireSpinLock(&stick.context->StateLock, &irql);
        const LONGLONG deadline = stick.context->Arcade.TurboDeadline;
        KeReleaseSpinLock(&stick.context->StateLock, irql);
        ASSERT_NE(deadline, 0);
        ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
        clock_.Advance(std::chrono::nanoseconds(
            (deadline - static_cast<LONGLONG>(KeQueryInterruptTime())) * 100));
        ExpectData(&host, seqnum, 0, HostReport(half % 2 == 0 ? sim::xbox::kA : 0, 0, 0));
    }

    // Let go: released, and the host hears nothing more.
    host.Submit(++seqnum, 1, true, 32);
    EXPECT_TRUE(WaitFor([&] { return stick.host->WaitingAtDevice() == 1; }));
    EXPECT_EQ(Deliver(stick.id, sim::stick::StickState()), STATUS_SUCCESS);
    ExpectData(&host, seqnum, 0, HostReport(0, 0, 0));
    host.Submit(++seqnum, 1, true, 32);
    clock_.Advance(std::chrono::seconds(1));
    EXPECT_TRUE(host.Quiet(std::chrono::milliseconds(100)));
}

} // namespace
} // namespace quillex_test
