#include "tools/quillex-sim/session/live_pipeline.h"

#include <chrono>
#include <thread>

#include "sim/hid/collection.h"

namespace {

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace

LivePipeline::LivePipeline(sim::pnp::Stack& stack, sim::pnp::Stack::DeviceId id,
                           PDEVICE_CONTEXT ctx)
    : stack_(stack), id_(id), ctx_(ctx) {}

LivePipeline::~LivePipeline() {
    app_.Close();
}

bool LivePipeline::ReaderWaiting() const {
    sim::hid::Collection* hid = stack_.Hid(id_);
    return hid != nullptr && hid->WaitingReads() >= 1;
}

NTSTATUS LivePipeline::Start() {
    std::vector<std::string> interfaces = stack_.Interfaces(id_);
    if (interfaces.empty() || stack_.Hid(id_) == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = app_.Open(interfaces.front(), GENERIC_READ | GENERIC_WRITE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!clock_.WaitForTimedWaiters(1)) {
        return STATUS_DEVICE_NOT_READY;
    }
    clock_.Advance(std::chrono::seconds(5));
    if (!WaitFor([&] { return ReaderWaiting(); }, std::chrono::seconds(10))) {
        return STATUS_DEVICE_NOT_READY;
    }
    stack_.WaitIdle(); // the controller's enumeration
    stick_ = std::make_unique<sim::stick::Stick>(stack_.Hid(id_));
    startedAt_ = static_cast<LONGLONG>(KeQueryInterruptTime());
    return STATUS_SUCCESS;
}

void LivePipeline::AdvanceTo(std::chrono::nanoseconds since) {
    const LONGLONG target = startedAt_ + since.count() / 100;
    auto turboDeadline = [&] {
        KIRQL irql;
        KeAcquireSpinLock(&ctx_->StateLock, &irql);
        LONGLONG deadline = ctx_->Arcade.TurboDeadline;
        KeReleaseSpinLock(&ctx_->StateLock, irql);
        return deadline;
    };
    for (;;) {
        const LONGLONG now = static_cast<LONGLONG>(KeQueryInterruptTime());
        const LONGLONG deadline = turboDeadline();
        if (deadline == 0 || deadline > target) {
            if (target > now) {
                clock_.Advance(std::chrono::nanoseconds((target - now) * 100));
            }
            return;
        }
        // The reader is in its timed wait for this deadline; once moved
        // there it composes, hands over and waits for the next one.
        if (!clock_.WaitForTimedWaiters(1, std::chrono::seconds(2))) {
            return;
        }
        if (deadline > now) {
            clock_.Advance(std::chrono::nanoseconds((deadline - now) * 100));
        }
        if (!WaitFor([&] { return turboDeadline() != deadline; }, std::chrono::seconds(2)) ||
            !WaitFor([&] { return turboDeadline() == 0 || clock_.TimedWaiters() >= 1; },
                     std::chrono::seconds(2))) {
            return;
        }
    }
}

NTSTATUS LivePipeline::Feed(const std::vector<uint8_t>& raw, bool* changed) {
    *changed = false;
    if (stick_ == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    ULONG buttons = Buttons();
    std::array<ULONG, ANALOG_VALUE_COUNT> analog = Analog();
    NTSTATUS status = stick_->Send(raw);
    if (!NT_SUCCESS(status)) {
        return status; // the collection refused the bytes: no report of the stick's
    }
    // The read completed inside Send; the reader is back once its next read waits.
    if (!WaitFor([&] { return ReaderWaiting(); }, std::chrono::seconds(10))) {
        return STATUS_IO_TIMEOUT;
    }
    *changed = Buttons() != buttons || Analog() != analog;
    return STATUS_SUCCESS;
}

ULONG LivePipeline::Buttons() const {
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->StateLock, &irql);
    ULONG buttons = ctx_->CanonicalButtons;
    KeReleaseSpinLock(&ctx_->StateLock, irql);
    return buttons;
}

std::array<ULONG, ANALOG_VALUE_COUNT> LivePipeline::Analog() const {
    std::array<ULONG, ANALOG_VALUE_COUNT> values{};
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->StateLock, &irql);
    if (ctx_->AnalogValues.Buffer != nullptr &&
        ctx_->AnalogValues.Size >= ANALOG_VALUE_COUNT * sizeof(ULONG)) {
        const ULONG* analog = static_cast<const ULONG*>(ctx_->AnalogValues.Buffer);
        std::copy(analog, analog + ANALOG_VALUE_COUNT, values.begin());
    }
    KeReleaseSpinLock(&ctx_->StateLock, irql);
    return values;
}

std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH> LivePipeline::Report() const {
    std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH> report{};
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->StateLock, &irql);
    std::copy(ctx_->XusbInputReport, ctx_->XusbInputReport + XUSB_INPUT_REPORT_LENGTH,
              report.begin());
    KeReleaseSpinLock(&ctx_->StateLock, irql);
    return report;
}
