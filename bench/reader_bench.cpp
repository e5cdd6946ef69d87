// The HID reader pipeline end to end, against the bare cost of waking one
// thread from another.
//
// BM_BareWakeUp: one thread notifies a condition variable, another wakes,
// reads the clock and answers through an atomic the first spins on: the
// least a hand-over between two threads costs here.
// BM_EndToEnd: the stick completes the reader's outstanding read with a new
// report (at DISPATCH_LEVEL, on the sending thread), the read completion
// decodes and composes, the reader thread wakes, hands the report to the
// emulated controller, whose waiting endpoint 1 transfer completes into the
// class driver's completion routine, which reads the clock first thing.
// Both clocks stop on the receiving side: what the sender still does after
// the hand-over (returning from its wake-up call, the rest of completing
// the read) is not the path's. Each iteration starts once the reader is
// back at its read and the transfer waits again (not timed).
// Both run back to back (argument 0) and at 1 kHz (argument 1000, the
// interval in µs), and report their median and p99 in microseconds;
// BM_EndToEnd also its median and p99 over the bare wake-up's at the same
// interval (the median of the bare wake-up's repetitions so far).
// BM_SixteenSticksCpuShare: sixteen sticks at 1 kHz each for two seconds,
// as shares of one core: the whole process (the simulated sticks, HID class
// and class drivers included), and apart from it the driver's own part: its
// reader threads on their CPU clocks (with the kernel and framework
// services they call, and the class driver's completion routine that the
// delivery runs) and its read completion routines on the sticks' threads.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/live_stick.h"
#include "driver/device_add.h"
#include "sim/hid/collection.h"
#include "sim/io/file.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/cpu_time.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/pnp/stack.h"
#include "sim/registry/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Where the receiving side leaves the time it got the hand-over.
struct Arrival {
    std::atomic<int64_t> at{0};
    std::atomic<long> count{0};
    void Mark() {
        at.store(NowNanos(), std::memory_order_relaxed);
        count.fetch_add(1, std::memory_order_release);
    }
    // Spins until the count passes 'before'; the time it was marked, in µs after 'start'.
    double MicrosAfter(long before, int64_t start) const {
        while (count.load(std::memory_order_acquire) == before) {
        }
        return static_cast<double>(at.load(std::memory_order_relaxed) - start) / 1000.0;
    }
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

// Each benchmark runs twice: hand-overs back to back (argument 0), and one
// every millisecond (argument 1000, in µs), as a stick's reports at 1 kHz
// come, the receiving thread gone back to sleep and its caches cooled in
// between.
class Pacer {
  public:
    explicit Pacer(int64_t intervalUs) : interval_(intervalUs), next_(Clock::now()) {}
    // Sleeps until the next hand-over is due (not timed).
    void Wait() {
        if (interval_.count() == 0) {
            return;
        }
        std::this_thread::sleep_until(next_);
        next_ += interval_;
        if (next_ < Clock::now()) {
            next_ = Clock::now() + interval_; // fell behind: no burst to catch up
        }
    }

  private:
    std::chrono::microseconds interval_;
    Clock::time_point next_;
};

// Filled by each repetition of BM_BareWakeUp, per interval, for BM_EndToEnd's ratio.
std::map<int64_t, std::vector<double>> g_bareMediansUs;
std::map<int64_t, std::vector<double>> g_bareP99sUs;

void BM_BareWakeUp(benchmark::State& state) {
    std::mutex lock;
    std::condition_variable wake;
    bool go = false, quit = false;
    Arrival answered;
    std::thread other([&] {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            wake.wait(guard, [&] { return go || quit; });
            if (quit) {
                return;
            }
            go = false;
            answered.Mark();
        }
    });
    std::vector<double> latencies;
    Pacer pacer(state.range(0));
    for (auto _ : state) {
        pacer.Wait();
        long before = answered.count.load(std::memory_order_acquire);
        int64_t start = NowNanos();
        {
            std::lock_guard<std::mutex> guard(lock);
            go = true;
        }
        wake.notify_one();
        double us = answered.MicrosAfter(before, start);
        state.SetIterationTime(us / 1e6);
        latencies.push_back(us);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        quit = true;
    }
    wake.notify_one();
    other.join();
    double median = Percentile(latencies, 0.5), p99 = Percentile(latencies, 0.99);
    g_bareMediansUs[state.range(0)].push_back(median);
    g_bareP99sUs[state.range(0)].push_back(p99);
    state.counters["median_us"] = median;
    state.counters["p99_us"] = p99;
}
BENCHMARK(BM_BareWakeUp)->Arg(0)->UseManualTime()->Iterations(20000);
BENCHMARK(BM_BareWakeUp)->Arg(1000)->UseManualTime()->Iterations(5000);

using quillex_bench::LiveStick;
using quillex_bench::StartStick;

sim::xbox::Options QuietClassDriver(Arrival* arrival = nullptr) {
    sim::xbox::Options options = quillex_bench::QuietClassDriver();
    if (arrival != nullptr) {
        options.onTransferBack = [arrival] { arrival->Mark(); };
    }
    return options;
}

void BM_EndToEnd(benchmark::State& state) {
    sim::registry::Scope registry;
    {
        Arrival delivered; // outlives the stack, whose class drivers mark it
        sim::pnp::Stack stack(DriverEntry);
        stack.Install(sim::xbox::Package(QuietClassDriver(&delivered)));
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
        Pacer pacer(state.range(0));
        for (auto _ : state) {
            // The reader is back at its read and the class driver's transfer
            // waits. These take locks the path takes too: polled gently.
            while (hid->WaitingReads() == 0 || live.controller->Outstanding() == 0) {
                std::this_thread::yield();
            }
            pacer.Wait();
            long before = delivered.count.load(std::memory_order_acquire);
            int64_t start = NowNanos();
            live.stick->Send(reports[n++ & 1]);
            double us = delivered.MicrosAfter(before, start);
            state.SetIterationTime(us / 1e6);
            latencies.push_back(us);
        }
        double median = Percentile(latencies, 0.5), p99 = Percentile(latencies, 0.99);
        state.counters["median_us"] = median;
        state.counters["p99_us"] = p99;
        double bareMedian = Percentile(g_bareMediansUs[state.range(0)], 0.5);
        double bareP99 = Percentile(g_bareP99sUs[state.range(0)], 0.5);
        if (bareMedian > 0 && bareP99 > 0) {
            state.counters["median_x_bare"] = median / bareMedian;
            state.counters["p99_x_bare"] = p99 / bareP99;
        }
        live.app.Close();
        stack.Unload();
    }
    sim::xbox::Forget();
}
BENCHMARK(BM_EndToEnd)->Arg(0)->UseManualTime()->Iterations(20000);
BENCHMARK(BM_EndToEnd)->Arg(1000)->UseManualTime()->Iterations(5000);

int64_t ProcessCpuNanos() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void BM_SixteenSticksCpuShare(benchmark::State& state) {
    constexpr unsigned kSticks = 16;
    constexpr uint64_t kReports = 2000; // per stick, at 1 kHz
    sim::registry::Scope registry;
    for (auto _ : state) {
        sim::pnp::Stack stack(DriverEntry);
        stack.Install(sim::xbox::Package(QuietClassDriver()));
        sim::kernel::SimulatedClock clock;
        quillex_bench::LiveSticks sticks;
        if (!quillex_bench::StartSticks(stack, clock, kSticks, &sticks)) {
            state.SkipWithError("a reader did not start reading");
            return;
        }
        size_t before = quillex_bench::Delivered(sticks);
        sim::kernel::cpu::CountCompletionRoutines(true);
        int64_t process0 = ProcessCpuNanos();
        int64_t threads0 = sim::kernel::cpu::SystemThreadNanos();
        int64_t completions0 = sim::kernel::cpu::CompletionRoutineNanos();
        auto wall0 = Clock::now();
        for (auto& s : sticks) {
            s->stick->Play(sim::stick::GeneratorFeed(sim::stick::Layout::A, 1000.0, kReports,
                                                     sim::stick::Sweep));
        }
        for (auto& s : sticks) {
            s->stick->Wait();
        }
        double wallNanos = std::chrono::duration<double, std::nano>(Clock::now() - wall0).count();
        auto share = [&](int64_t nanos) { return 100.0 * static_cast<double>(nanos) / wallNanos; };
        int64_t process = ProcessCpuNanos() - process0;
        int64_t threads = sim::kernel::cpu::SystemThreadNanos() - threads0;
        int64_t completions = sim::kernel::cpu::CompletionRoutineNanos() - completions0;
        sim::kernel::cpu::CountCompletionRoutines(false);
        size_t after = quillex_bench::Delivered(sticks);
        state.SetIterationTime(wallNanos / 1e9);
        state.counters["cpu_share_percent"] = share(process);
        state.counters["driver_percent"] = share(threads + completions);
        state.counters["driver_threads_percent"] = share(threads);
        state.counters["driver_completions_percent"] = share(completions);
        state.counters["simulator_percent"] = share(process - threads - completions);
        state.counters["reports_delivered"] = static_cast<double>(after - before);
        state.counters["reports_sent"] = static_cast<double>(kSticks * kReports);
        state.counters["driver_ns_per_report"] =
            static_cast<double>(threads + completions) / static_cast<double>(kSticks * kReports);
        state.counters["timing_overhead_ns"] =
            static_cast<double>(sim::kernel::cpu::TimingOverheadNanos());
        for (auto& s : sticks) {
            s->app.Close();
        }
        stack.Unload();
    }
    sim::xbox::Forget();
}
BENCHMARK(BM_SixteenSticksCpuShare)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
