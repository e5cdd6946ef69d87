// The emulated controller in the whole simulated stack: a plugged stick, the
// child the driver creates over it, and the Xbox 360 class driver the PnP
// manager loads on that child, for the system tests.
//
// The HID reader thread, which creates the child after each hardware start
// and hands every composed report to it, is not built yet: these tests call
// Bus_XusbCreatePdo and HandleXusbInputReport from a PASSIVE_LEVEL thread of
// their own that stands in for it.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include "sim/kernel/thread_state.h"
#include "sim/peers/xbox/class_driver.h"
#include "tests/support/driver_stack.h"
#include "mapping/xusb_report.h"
#include "xusb/xusb_pdo.h"

namespace quillex_test {

// The LED state is written by the child's LED work item on a system worker
// thread, under the mapping mutex: a test reads and marks it under the same
// mutex. The device's mapping is initialised at device add.
inline UCHAR LedStateOf(PDEVICE_CONTEXT context) {
    EXPECT_EQ(TorvaXboxMappingLock(context), STATUS_SUCCESS);
    UCHAR state = context->LedState;
    TorvaXboxMappingUnlock(context);
    return state;
}
inline void MarkLedState(PDEVICE_CONTEXT context, UCHAR state) {
    EXPECT_EQ(TorvaXboxMappingLock(context), STATUS_SUCCESS);
    context->LedState = state;
    TorvaXboxMappingUnlock(context);
}

using XboxReport = std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH>;

// A report as composition writes it: type 0x00, length 0x14, then the fields.
inline XboxReport MakeReport(USHORT buttons, UCHAR leftTrigger = 0, UCHAR rightTrigger = 0,
                             SHORT leftX = 0, SHORT leftY = 0, SHORT rightX = 0, SHORT rightY = 0) {
    XboxReport r{};
    r[1] = XUSB_INPUT_REPORT_LENGTH;
    auto put = [&](size_t at, USHORT v) {
        r[at] = static_cast<UCHAR>(v);
        r[at + 1] = static_cast<UCHAR>(v >> 8);
    };
    put(2, buttons);
    r[4] = leftTrigger;
    r[5] = rightTrigger;
    put(6, static_cast<USHORT>(leftX));
    put(8, static_cast<USHORT>(leftY));
    put(10, static_cast<USHORT>(rightX));
    put(12, static_cast<USHORT>(rightY));
    return r;
}

// Runs 'work' on a thread of its own at PASSIVE_LEVEL, as the reader thread
// would, and waits for it.
inline void OnReaderThread(const std::function<void()>& work) {
    std::thread reader([&] {
        sim::kernel::SetCurrentThreadName("reader");
        work();
    });
    reader.join();
}

class XusbStackTest : public DriverStackTest {
  protected:
    struct Plugged {
        DeviceId id = 0;
        PDEVICE_CONTEXT context = nullptr;
        WDFDEVICE child = nullptr;
        std::shared_ptr<sim::xbox::Controller> controller;
    };

    void TearDown() override {
        stack_.Unload();
        sim::xbox::Forget();
    }

    void InstallClassDriver(const sim::xbox::Options& options = sim::xbox::Options()) {
        stack_.Install(sim::xbox::Package(options));
    }

    // What the reader thread does once after each hardware start.
    NTSTATUS CreateChild(PDEVICE_CONTEXT context, ULONG instanceNumber) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        OnReaderThread([&] {
            status = Bus_XusbCreatePdo(context->Device, instanceNumber);
            context->PdoCreated = TRUE;
        });
        stack_.WaitIdle();
        return status;
    }

    // What the reader thread does with each composed report.
    NTSTATUS Deliver(PDEVICE_CONTEXT context, const XboxReport& report) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        OnReaderThread([&] {
            status = HandleXusbInputReport(XusbPdoGetData(context->XusbPdo), report.data());
        });
        return status;
    }

    // A stick with its emulated controller, configured by the class driver.
    Plugged PlugWithController(uint16_t productId = 0x0402) {
        Plugged p;
        p.id = PlugStick(productId);
        p.context = Context(p.id);
        EXPECT_EQ(CreateChild(p.context, p.context->InstanceNumber), STATUS_SUCCESS);
        p.child = p.context->XusbPdo;
        p.controller = sim::xbox::WaitForController(
            p.child != nullptr ? WdfDeviceWdmGetDeviceObject(p.child) : nullptr);
        EXPECT_NE(p.controller, nullptr);
        if (p.controller != nullptr) {
            EXPECT_EQ(p.controller->WaitConfigured(), STATUS_SUCCESS);
        }
        return p;
    }

    // Waits until 'done' holds; the LED state is recorded by a work item.
    static bool WaitFor(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
};

} // namespace quillex_test
