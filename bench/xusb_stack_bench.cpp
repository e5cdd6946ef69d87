// One input report through the whole simulated stack: from
// HandleXusbInputReport to the completion routine of the Xbox 360 class
// driver's endpoint 1 transfer that waited for it, which sends the transfer
// again as the class driver does.
#include <benchmark/benchmark.h>

#include <thread>

#include "driver/device_add.h"
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
    std::shared_ptr<sim::xbox::Controller> controller;
    PXUSB_PDO_DEVICE_DATA data = nullptr;
    {
        sim::pnp::Stack stack(DriverEntry);
        stack.Install(sim::xbox::Package(options));
        sim::pnp::Stack::DeviceId id = 0;
        if (!NT_SUCCESS(stack.Plug(sim::pnp::ArcadeStick(0x0402), &id))) {
            state.SkipWithError("the stick did not start");
            return;
        }
        PDEVICE_CONTEXT context = QuillexGetDeviceContext(stack.FunctionDevice(id));
        // Stands in for the HID reader thread, which creates the child.
        std::thread reader([&] { Bus_XusbCreatePdo(context->Device, context->InstanceNumber); });
        reader.join();
        stack.WaitIdle();
        if (context->XusbPdo != nullptr) {
            data = XusbPdoGetData(context->XusbPdo);
            controller =
                sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(context->XusbPdo));
        }
        if (controller == nullptr || controller->WaitConfigured() != STATUS_SUCCESS ||
            !controller->WaitOutstanding(1)) {
            state.SkipWithError("the class driver did not configure the controller");
            return;
        }
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
        stack.Unload();
    }
    sim::xbox::Forget();
}
BENCHMARK(BM_ReportToClassDriver);

} // namespace
