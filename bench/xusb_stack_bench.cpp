// One input report through the whole simulated stack: from
// HandleXusbInputReport to the completion routine of the Xbox 360 class
// driver's endpoint 1 transfer that waited for it, which sends the transfer
// again as the class driver does.
#include <benchmark/benchmark.h>

#include "bench/live_stick.h"
#include "driver/device_add.h"
#include "sim/kernel/clock.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/registry/registry.h"
#include "xusb/xusb_pdo.h"

namespace {

void BM_ReportToClassDriver(benchmark::State& state) {
    sim::registry::Scope registry;
    sim::xbox::Options options;
    options.transfers = 1;
    options.startLed = -1;
    options.keepHistory = false;
    {
        sim::kernel::SimulatedClock clock;
        sim::pnp::Stack stack(DriverEntry);
        stack.Install(sim::xbox::Package(options));
        // The reader makes the child; the stick sends nothing, so every
        // report measured here is the benchmark's own.
        quillex_bench::LiveStick live;
        if (!quillex_bench::StartStick(stack, clock, 1, &live)) {
            state.SkipWithError("the stick's reader did not make a configured controller");
            return;
        }
        std::shared_ptr<sim::xbox::Controller> controller = live.controller;
        PXUSB_PDO_DEVICE_DATA data = XusbPdoGetData(live.context->XusbPdo);
        UCHAR report[XUSB_INPUT_REPORT_LENGTH] = {0x00, 0x14, 0x00, 0x10};
        size_t before = controller->CompletionCount();
        for (auto _ : state) {
            report[4] = static_cast<UCHAR>(state.iterations());
            NTSTATUS status = HandleXusbInputReport(data, report);
            benchmark::DoNotOptimize(status);
        }
        if (controller->CompletionCount() - before != static_cast<size_t>(state.iterations())) {
            state.SkipWithError("a report did not reach the class driver");
        }
        live.stick.reset();
        live.app.Close();
        stack.Unload();
    }
    sim::xbox::Forget();
}
BENCHMARK(BM_ReportToClassDriver);

} // namespace
