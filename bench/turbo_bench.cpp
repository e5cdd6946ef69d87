// What turbo costs: sixteen sticks, each holding a turbo button at 30 presses
// a second, against the same number of reports the sticks send themselves.
//
// BM_SixteenSticksTurbo: the reports of turbo come from the reader threads'
// own deadlines (the simulated clock is moved half a period at a time, and
// each step waits until every stick's report has reached its class driver);
// the plain reports are sent by the sticks, pressed and released in turn,
// one report per stick per step. Both are measured as the driver's CPU time
// (its reader threads and its read completions) per delivered report:
// turbo_ns_per_report against plain_ns_per_report, and their ratio. A turbo
// report costs a wake-up by time-out, a composition and a delivery; a plain
// one a read completion with its decode and composition, a wake-up and a
// delivery, so turbo should cost no more per report.
#include <benchmark/benchmark.h>

#include <stdio.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "bench/live_stick.h"
#include "driver/device_add.h"
#include "sim/kernel/cpu_time.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace {

using quillex_bench::Delivered;
using quillex_bench::LiveSticks;

constexpr unsigned kSticks = 16;
constexpr unsigned kRate = 30;
constexpr unsigned kSteps = 2 * 2 * kRate; // two seconds of half periods

bool WaitDelivered(const LiveSticks& sticks, size_t count) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Delivered(sticks) < count) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// The driver's CPU time while 'run' goes, and the reports delivered.
template <class Run> std::pair<int64_t, size_t> DriverCost(const LiveSticks& sticks, Run run) {
    size_t before = Delivered(sticks);
    sim::kernel::cpu::CountCompletionRoutines(true);
    int64_t threads0 = sim::kernel::cpu::SystemThreadNanos();
    int64_t completions0 = sim::kernel::cpu::CompletionRoutineNanos();
    bool ok = run();
    int64_t nanos = sim::kernel::cpu::SystemThreadNanos() - threads0 +
                    sim::kernel::cpu::CompletionRoutineNanos() - completions0;
    sim::kernel::cpu::CountCompletionRoutines(false);
    return {ok ? nanos : -1, Delivered(sticks) - before};
}

void BM_SixteenSticksTurbo(benchmark::State& state) {
    sim::registry::Scope registry;
    for (auto _ : state) {
        sim::pnp::Stack stack(DriverEntry);
        const std::string remap = stack.RegistryPath() + "\\Parameters\\Remap";
        sim::registry::SetDword(remap, "TURBO_MASK", 0x0002); // BTN_B
        sim::registry::SetDword(remap, "TURBO_RATE", kRate);
        stack.Install(sim::xbox::Package(quillex_bench::QuietClassDriver()));
        sim::kernel::SimulatedClock clock;
        LiveSticks sticks;
        if (!quillex_bench::StartSticks(stack, clock, kSticks, &sticks)) {
            state.SkipWithError("a reader did not start reading");
            return;
        }
        sim::stick::StickState a, b, none;
        a.buttons = sim::stick::A;
        b.buttons = sim::stick::B;
        const auto encoded = [](const sim::stick::StickState& s) {
            return sim::stick::Encode(sim::stick::Layout::A, s);
        };

        // The sticks' own reports: A pressed and released in turn.
        auto plain = DriverCost(sticks, [&] {
            for (unsigned step = 0; step < kSteps; ++step) {
                size_t target = Delivered(sticks) + kSticks;
                for (auto& s : sticks) {
                    s->stick->Send(encoded(step % 2 == 0 ? a : none));
                }
                if (!WaitDelivered(sticks, target)) {
                    return false;
                }
            }
            return true;
        });

        // Turbo: B held on every stick, the clock moved a half period at a time.
        size_t held = Delivered(sticks) + kSticks;
        for (auto& s : sticks) {
            s->stick->Send(encoded(b));
        }
        if (plain.first < 0 || !WaitDelivered(sticks, held)) {
            state.SkipWithError("reports went missing");
            return;
        }
        auto turbo = DriverCost(sticks, [&] {
            for (unsigned step = 0; step < kSteps; ++step) {
                size_t target = Delivered(sticks) + kSticks;
                // Every reader back in its timed wait before the clock moves.
                if (!clock.WaitForTimedWaiters(kSticks)) {
                    fprintf(stderr, "step %u: %u timed waiters\n", step, clock.TimedWaiters());
                    return false;
                }
                // Half a period rounded up to the clock's 100 ns, past the deadline.
                clock.Advance(std::chrono::nanoseconds((10000000 / (2 * kRate) + 1) * 100));
                if (!WaitDelivered(sticks, target)) {
                    fprintf(stderr, "step %u: %zu of %zu delivered\n", step, Delivered(sticks),
                            target);
                    return false;
                }
            }
            return true;
        });
        if (turbo.first < 0) {
            state.SkipWithError("turbo reports went missing");
            return;
        }
        for (auto& s : sticks) {
            s->stick->Send(encoded(none));
        }

        const double plainPer = static_cast<double>(plain.first) / plain.second;
        const double turboPer = static_cast<double>(turbo.first) / turbo.second;
        state.counters["plain_reports"] = static_cast<double>(plain.second);
        state.counters["turbo_reports"] = static_cast<double>(turbo.second);
        state.counters["plain_ns_per_report"] = plainPer;
        state.counters["turbo_ns_per_report"] = turboPer;
        state.counters["turbo_x_plain"] = turboPer / plainPer;
        for (auto& s : sticks) {
            s->app.Close();
        }
        stack.Unload();
    }
    sim::xbox::Forget();
}
BENCHMARK(BM_SixteenSticksTurbo)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
