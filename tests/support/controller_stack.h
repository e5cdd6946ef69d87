// The emulated controller in the whole simulated stack, reached the way a
// player reaches it: a plugged stick, an application's open that starts the
// driver's reader, the child the reader creates after its start-up wait, and
// the driver the PnP manager loads on that child. Every report the child gets
// is the stick's own input, through the HID collection, the read completion
// and the reader thread.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/xbox/class_driver.h"
#include "tests/support/reader_stack.h"
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

// The stick pressing 'buttons' and nothing else.
inline sim::stick::StickState Pressing(uint32_t buttons) {
    sim::stick::StickState s;
    s.buttons = buttons;
    return s;
}

// A stick state told apart from its neighbours by every control: state k
// holds k's low buttons, both triggers at k and the left stick at 255 - k.
inline sim::stick::StickState NumberedState(uint8_t k) {
    sim::stick::StickState s;
    s.buttons = k & 0x0F;
    s.leftTrigger = s.rightTrigger = k;
    s.leftX = static_cast<uint8_t>(255 - k);
    return s;
}

class XusbStackTest : public ReaderStackTest {
  protected:
    struct Plugged {
        DeviceId id = 0;
        PDEVICE_CONTEXT context = nullptr;
        WDFDEVICE child = nullptr;
        std::shared_ptr<sim::xbox::Controller> controller;
    };

    static constexpr const char* kNoTransferTrace =
        "Quillex!HandleXusbInputReport: ERROR, Event Received without a Valid IRP.\n";
    static constexpr const char* kRemovedTrace =
        "Quillex!HandleXusbInputReport: ERROR, Xbox PDO Marked as removed.\n";

    void TearDown() override {
        // A stick goes before its stack does.
        {
            std::lock_guard<std::mutex> guard(sticksLock_);
            sticks_.clear();
        }
        ReaderStackTest::TearDown();
    }

    void InstallClassDriver(const sim::xbox::Options& options = sim::xbox::Options()) {
        stack_.Install(sim::xbox::Package(options));
    }

    // Plugs a stick and opens it as the companion application does; the
    // reader's start-up wait passes and the reader creates the child and
    // reads. The application then closes its handle: the reader goes on, and
    // a removal is not held up by the handle.
    DeviceId PlugReadingStick(uint16_t productId) {
        DeviceId id = PlugStick(productId);
        StickOf(id);
        EXPECT_EQ(OpenApp(id), STATUS_SUCCESS);
        PassStartupWait(id);
        CloseApps();
        stack_.WaitIdle();
        return id;
    }

    // A stick with its emulated controller, configured by the class driver.
    Plugged PlugWithController(uint16_t productId = 0x0402) {
        Plugged p;
        p.id = PlugReadingStick(productId);
        p.context = Context(p.id);
        p.child = p.context->XusbPdo;
        EXPECT_NE(p.child, nullptr);
        p.controller = sim::xbox::WaitForController(
            p.child != nullptr ? WdfDeviceWdmGetDeviceObject(p.child) : nullptr);
        EXPECT_NE(p.controller, nullptr);
        if (p.controller != nullptr) {
            EXPECT_EQ(p.controller->WaitConfigured(), STATUS_SUCCESS);
        }
        return p;
    }

    // The simulated stick behind a plugged collection, made on first use.
    sim::stick::Stick& StickOf(DeviceId id) {
        std::lock_guard<std::mutex> guard(sticksLock_);
        std::unique_ptr<sim::stick::Stick>& stick = sticks_[id];
        if (stick == nullptr) {
            stick = std::make_unique<sim::stick::Stick>(stack_.Hid(id));
        }
        return *stick;
    }

    sim::stick::Layout LayoutOf(DeviceId id) {
        return sim::stick::LayoutForProductId(Context(id)->ProductId);
    }

    // The Xbox report the driver composes from 'state' with the device's
    // mapping.
    XboxReport Expected(DeviceId id, const sim::stick::StickState& state) {
        return ComposeAlone(Context(id), sim::stick::Encode(LayoutOf(id), state));
    }

    // The stick sends 'state'; returns once the reader has handed the report
    // it composed to the child and sent its next read. What the hand-over
    // came to, as the child traced it: STATUS_SUCCESS when a waiting transfer
    // took the report, STATUS_DEVICE_NOT_READY when none waited (the report
    // is kept as the controller's state), STATUS_DEVICE_REMOVED for a child
    // marked removed; the collection's refusal when the stick's report went
    // nowhere. 'state' must differ from the stick's last one: an unchanged
    // state composes nothing. Concurrent calls on several sticks tell their
    // outcomes apart only when every one succeeds (the traces name no stick).
    NTSTATUS Deliver(DeviceId id, const sim::stick::StickState& state) {
        std::vector<uint8_t> raw = sim::stick::Encode(LayoutOf(id), state);
        {
            std::lock_guard<std::mutex> guard(sticksLock_);
            EXPECT_NE(raw, lastSent_[id]) << "an unchanged state composes no report";
            lastSent_[id] = raw;
        }
        const size_t noTransfer = trace_.Count(kNoTransferTrace);
        const size_t removed = trace_.Count(kRemovedTrace);
        sim::hid::Collection* hid = stack_.Hid(id);
        NTSTATUS sent = StickOf(id).Send(raw);
        if (!NT_SUCCESS(sent)) {
            return sent;
        }
        // The read the report completed is gone from the collection; the
        // reader sends the next one only after the hand-over.
        if (!WaitUntil([&] { return hid->WaitingReads() >= 1; })) {
            ADD_FAILURE() << "the reader sent no read after the report";
            return STATUS_IO_TIMEOUT;
        }
        EXPECT_EQ(ComposedReport(id), Expected(id, state));
        if (trace_.Count(kRemovedTrace) > removed) {
            return STATUS_DEVICE_REMOVED;
        }
        if (trace_.Count(kNoTransferTrace) > noTransfer) {
            return STATUS_DEVICE_NOT_READY;
        }
        return STATUS_SUCCESS;
    }

    // The report the read completion composed last, read under the state lock.
    XboxReport ComposedReport(DeviceId id) {
        PDEVICE_CONTEXT context = Context(id);
        XboxReport report{};
        KIRQL irql;
        KeAcquireSpinLock(&context->StateLock, &irql);
        RtlCopyMemory(report.data(), context->XusbInputReport, report.size());
        KeReleaseSpinLock(&context->StateLock, irql);
        return report;
    }

    // Waits until 'done' holds; the LED state is recorded by a work item.
    static bool WaitFor(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return WaitUntil(done, limit);
    }

  private:
    std::mutex sticksLock_; // Deliver may run on several threads, one stick each
    std::map<DeviceId, std::unique_ptr<sim::stick::Stick>> sticks_;
    std::map<DeviceId, std::vector<uint8_t>> lastSent_;
};

} // namespace quillex_test
