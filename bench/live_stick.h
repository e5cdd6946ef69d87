// A plugged stick whose reader reads, with the class driver on the child the
// reader made: the input path as a game meets it, for the benchmarks.
#pragma once

#include <memory>
#include <vector>

#include "driver/device_add.h"
#include "sim/io/file.h"
#include "sim/kernel/clock.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/pnp/stack.h"

namespace quillex_bench {

struct LiveStick {
    sim::pnp::Stack::DeviceId id = 0;
    PDEVICE_CONTEXT context = nullptr;
    sim::io::File app;
    std::shared_ptr<sim::xbox::Controller> controller;
    std::unique_ptr<sim::stick::Stick> stick;
};

// Plugs a PID_0402 stick and opens it as the companion application does; the
// reader's start-up wait is passed on 'clock' once 'waiters' threads wait on
// it. True once the reader reads and the class driver has configured the
// child and keeps an endpoint 1 transfer waiting.
bool StartStick(sim::pnp::Stack& stack, sim::kernel::SimulatedClock& clock, unsigned waiters,
                LiveStick* live);

using LiveSticks = std::vector<std::unique_ptr<LiveStick>>;

// Plugs 'count' sticks one after another as StartStick does; false at the
// first that does not start.
bool StartSticks(sim::pnp::Stack& stack, sim::kernel::SimulatedClock& clock, unsigned count,
                 LiveSticks* sticks);

// Reports the sticks' class drivers have had back, all together.
size_t Delivered(const LiveSticks& sticks);

// A class driver that keeps one transfer waiting and no history, and sends
// no LED command, so that it costs the least beside the driver.
sim::xbox::Options QuietClassDriver();

} // namespace quillex_bench
