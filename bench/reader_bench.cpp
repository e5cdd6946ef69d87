// The HID reader pipeline end to end, against the bare cost of waking one
// thread from another.
//
// BM_BareWakeUp: one thread notifies a condition variable, another wakes
// and answers through an atomic the first spins on: the least a hand-over
// between two threads costs here.
// BM_EndToEnd: the stick completes the reader's outstanding read with a new
// report (at DISPATCH_LEVEL, on the sending thread), the read completion
// decodes and composes, the reader thread wakes, hands the report to the
// emulated controller, whose waiting endpoint 1 transfer completes into the
// class driver's completion routine; the sender spins on the class driver's
// completion count. Both report their median and p99 in microseconds;
// BM_EndToEnd also its median and p99 over the bare wake-up's.
// BM_SixteenSticksCpuShare: sixteen sticks at 1 kHz each for two seconds;
// the process's CPU time over the wall time (the simulated sticks and class
// drivers included), as a share of one core.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/device_add.h"
#include "sim/hid/collection.h"
#include "sim/io/file.h"
#include "sim/kernel/clock.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

// Filled by BM_BareWakeUp for BM_EndToEnd's ratio.
double g_bareMedianUs = 0;
double g_bareP99Us = 0;

void BM_BareWakeUp(benchmark::State& state) {
    std::mutex lock;
    std::condition_variable wake;
    bool go = false, quit = false;
    std::atomic<long> answered{0};
    std::thread other([&] {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            wake.wait(guard, [&] { return go || quit; });
            if (quit) {
                return;
            }
            go = false;
            answered.fetch_add(1, std::memory_order_release);
        }
    });
    std::vector<double> latencies;
    for (auto _ : state) {
        long before = answered.load(std::memory_order_acquire);
        auto start = Clock::now();
        {
            std::lock_guard<std::mutex> guard(lock);
            go = true;
        }
        wake.notify_one();
        while (answered.load(std::memory_order_acquire) == before) {
        }
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        state.SetIterationTime(us / 1e6);
        latencies.push_back(us);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        quit = true;
    }
    wake.notify_one();
    other.join();
    g_bareMedianUs = Percentile(latencies, 0.5);
    g_bareP99Us = Percentile(latencies, 0.99);
    state.counters["median_us"] = g_bareMedianUs;
    state.counters["p99_us"] = g_bareP99Us;
}
BENCHMARK(BM_BareWakeUp)->UseManualTime()->Iterations(20000);

// A plugged stick whose reader reads, with the class driver on its child.
struct LiveStick {
    sim::pnp::Stack::DeviceId id = 0;
    PDEVICE_CONTEXT context = nullptr;
    sim::io::File app;
    std::shared_ptr<sim::xbox::Controller> controller;
    std::unique_ptr<sim::stick::Stick> stick;
};

bool WaitFor(const std::function<bool()>& done) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

bool StartStick(sim::pnp::Stack& stack, sim::kernel::SimulatedClock& clock, unsigned waiters,
                LiveStick* live) {
    if (!NT_SUCCESS(stack.Plug(sim::pnp::ArcadeStick(0x0402), &live->id))) {
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

sim::xbox::Options QuietClassDriver() {
    sim::xbox::Options options;
    options.transfers = 1;
    options.startLed = -1;
    options.keepHistory = false;
    return options;
}

void BM_EndToEnd(benchmark::State& state) {
    sim::registry::Scope registry;
    {
        sim::pnp::Stack stack(DriverEntry);
        stack.Install(sim::xbox::Package(QuietClassDriver()));
        sim::kernel::SimulatedClock clock;
        LiveStick live;
        if (!StartStick(stack, clock, 1, &live)) {
            state.SkipWithError("the reader did not start reading");
            return;
        }
        sim::hid::Collection* hid = stack.Hid(live.id);
        sim::stick::StickState pressed, released;
        pressed.buttons = sim::stick::A;
        std::vector<uint8_t> reports[2] = {sim::stick::Encode(sim::stick::Layout::A, pressed),
                                           sim::stick::Encode(sim::stick::Layout::A, released)};
        std::vector<double> latencies;
        size_t n = 0;
        for (auto _ : state) {
            // The reader is back at its read and the class driver's transfer waits.
            while (hid->WaitingReads() == 0 || live.controller->Outstanding() == 0) {
            }
            size_t before = live.controller->CompletionCount();
            auto start = Clock::now();
            live.stick->Send(reports[n++ & 1]);
            while (live.controller->CompletionCount() == before) {
            }
            double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            state.SetIterationTime(us / 1e6);
            latencies.push_back(us);
        }
        double median = Percentile(latencies, 0.5), p99 = Percentile(latencies, 0.99);
        state.counters["median_us"] = median;
        state.counters["p99_us"] = p99;
        if (g_bareMedianUs > 0) {
            state.counters["median_x_bare"] = median / g_bareMedianUs;
            state.counters["p99_x_bare"] = p99 / g_bareP99Us;
        }
        live.app.Close();
        stack.Unload();
    }
    sim::xbox::Forget();
}
BENCHMARK(BM_EndToEnd)->UseManualTime()->Iterations(20000);

double ProcessCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void BM_SixteenSticksCpuShare(benchmark::State& state) {
    constexpr unsigned kSticks = 16;
    sim::registry::Scope registry;
    for (auto _ : state) {
        sim::pnp::Stack stack(DriverEntry);
        stack.Install(sim::xbox::Package(QuietClassDriver()));
        sim::kernel::SimulatedClock clock;
        std::vector<std::unique_ptr<LiveStick>> sticks;
        for (unsigned i = 0; i < kSticks; ++i) {
            sticks.push_back(std::make_unique<LiveStick>());
            if (!StartStick(stack, clock, 1, sticks.back().get())) {
                state.SkipWithError("a reader did not start reading");
                return;
            }
        }
        size_t before = 0;
        for (auto& s : sticks) {
            before += s->controller->CompletionCount();
        }
        double cpu0 = ProcessCpuSeconds();
        auto wall0 = Clock::now();
        for (auto& s : sticks) {
            s->stick->Play(
                sim::stick::GeneratorFeed(sim::stick::Layout::A, 1000.0, 2000, sim::stick::Sweep));
        }
        for (auto& s : sticks) {
            s->stick->Wait();
        }
        double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        double cpu = ProcessCpuSeconds() - cpu0;
        size_t after = 0;
        for (auto& s : sticks) {
            after += s->controller->CompletionCount();
        }
        state.SetIterationTime(wall);
        state.counters["cpu_share_percent"] = 100.0 * cpu / wall;
        state.counters["reports_delivered"] = static_cast<double>(after - before);
        for (auto& s : sticks) {
            s->app.Close();
        }
        stack.Unload();
    }
    sim::xbox::Forget();
}
BENCHMARK(BM_SixteenSticksCpuShare)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
