// The whole stack with the HID reader pipeline running: a stick's HID
// collection below the filter, the reader thread started by an application's
// open, its start-up wait passed on the simulated clock, and what the mapping
// engine makes of a raw report on its own, to compare the pipeline with.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "hid/hid_pipeline.h"
#include "mapping/xusb_report.h"
#include "sim/hid/collection.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/system_thread.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/xbox/class_driver.h"
#include "tests/support/driver_stack.h"

namespace quillex_test {

// Waits until 'done' holds, on the host clock.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The Xbox report the mapping engine composes from 'raw' alone, with the
// device's product id and mapping, from a decoded state of zeros.
inline std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH> ComposeAlone(PDEVICE_CONTEXT live,
                                                                const std::vector<uint8_t>& raw) {
    auto context = std::make_unique<DEVICE_CONTEXT>();
    RtlZeroMemory(context.get(), sizeof(DEVICE_CONTEXT));
    context->ProductId = live->ProductId;
    context->MappingInitialized = TRUE;
    RtlCopyMemory(&context->RemapRecord, &live->RemapRecord, sizeof(context->RemapRecord));
    RtlCopyMemory(context->CurveTables, live->CurveTables, sizeof(context->CurveTables));
    // The arcade settings and what they hide now (a turbo button in its
    // released half, the mode combination held).
    KIRQL irql;
    KeAcquireSpinLock(&live->StateLock, &irql);
    context->Arcade = live->Arcade;
    KeReleaseSpinLock(&live->StateLock, irql);
    std::vector<UCHAR> report(raw.begin(), raw.end());
    report.resize(raw.size() + 1);
    ULONG analog[ANALOG_VALUE_COUNT] = {};
    context->InputReport.Buffer = report.data();
    context->InputReport.Size = report.size();
    context->AnalogValues.Buffer = analog;
    context->AnalogValues.Size = sizeof(analog);
    std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH> out{};
    NTSTATUS decoded = live->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID
                           ? DecodeHidReportLayoutA(context.get())
                           : DecodeHidReportLayoutB(context.get());
    EXPECT_EQ(decoded, STATUS_SUCCESS);
    EXPECT_EQ(TorvaXboxMappingGetInputReport(context.get(), out.data(), XUSB_INPUT_REPORT_LENGTH),
              STATUS_SUCCESS);
    return out;
}

class ReaderStackTest : public DriverStackTest {
  protected:
    void TearDown() override {
        for (auto& app : apps_) {
            app.Close();
        }
        stack_.Unload();
        sim::xbox::Forget();
        EXPECT_TRUE(sim::kernel::WaitForSystemThreads());
        EXPECT_EQ(sim::kernel::LiveSystemThreadCount(), 0u);
    }

    // Opens the stick's device interface as the companion application does.
    NTSTATUS OpenApp(DeviceId id) {
        apps_.emplace_back();
        return apps_.back().Open(stack_.Interfaces(id).at(0), GENERIC_READ | GENERIC_WRITE);
    }
    void CloseApps() {
        for (auto& app : apps_) {
            app.Close();
        }
    }

    // The reader's start-up wait ends: it creates the emulated controller and
    // sends its first read, which then waits at the collection.
    void PassStartupWait(DeviceId id) {
        ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
        clock_.Advance(std::chrono::seconds(5));
        ASSERT_TRUE(WaitUntil([&] { return stack_.Hid(id)->WaitingReads() >= 1; }));
    }

    // The start-up wait ends, for a reader that will not get to read.
    void PassStartupWaitWithoutRead() {
        ASSERT_TRUE(clock_.WaitForTimedWaiters(1));
        clock_.Advance(std::chrono::seconds(5));
    }

    // A started stick with its reader pumping.
    DeviceId PlugAndRead(uint16_t productId) {
        DeviceId id = PlugStick(productId);
        EXPECT_EQ(OpenApp(id), STATUS_SUCCESS);
        PassStartupWait(id);
        return id;
    }

    sim::kernel::SimulatedClock clock_;
    std::vector<sim::io::File> apps_;
};

} // namespace quillex_test
