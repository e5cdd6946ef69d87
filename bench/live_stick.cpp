#include "bench/live_stick.h"

#include <chrono>
#include <functional>
#include <thread>

#include "sim/hid/collection.h"
#include "sim/peers/stick/plug.h"

namespace quillex_bench {
namespace {

bool WaitFor(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace

bool StartStick(sim::pnp::Stack& stack, sim::kernel::SimulatedClock& clock, unsigned waiters,
                LiveStick* live) {
    if (!NT_SUCCESS(stack.Plug(sim::stick::ArcadeStick(0x0402), &live->id))) {
        return false;
    }
    live->context = QuillexGetDeviceContext(stack.FunctionDevice(live->id));
    if (!NT_SUCCESS(live->app.Open(stack.Interfaces(live->id).at(0), GENERIC_READ)) ||
        !clock.WaitForTimedWaiters(waiters)) {
        return false;
    }
    clock.Advance(std::chrono::seconds(5));
    sim::hid::Collection* hid = stack.Hid(live->id);
    if (!WaitFor([&] { return hid->WaitingReads() >= 1; })) {
        return false;
    }
    stack.WaitIdle();
    if (live->context->XusbPdo == nullptr) {
        return false;
    }
    live->controller =
        sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(live->context->XusbPdo));
    live->stick = std::make_unique<sim::stick::Stick>(hid);
    return live->controller != nullptr && live->controller->WaitConfigured() == STATUS_SUCCESS &&
           live->controller->WaitOutstanding(1);
}

bool StartSticks(sim::pnp::Stack& stack, sim::kernel::SimulatedClock& clock, unsigned count,
                 LiveSticks* sticks) {
    for (unsigned i = 0; i < count; ++i) {
        sticks->push_back(std::make_unique<LiveStick>());
        if (!StartStick(stack, clock, 1, sticks->back().get())) {
            return false;
        }
    }
    return true;
}

size_t Delivered(const LiveSticks& sticks) {
    size_t total = 0;
    for (auto& s : sticks) {
        total += s->controller->CompletionCount();
    }
    return total;
}

sim::xbox::Options QuietClassDriver() {
    sim::xbox::Options options;
    options.transfers = 1;
    options.startLed = -1;
    options.keepHistory = false;
    return options;
}

} // namespace quillex_bench
