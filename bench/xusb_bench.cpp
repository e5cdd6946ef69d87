// One input report handed to the emulated controller: from
// HandleXusbInputReport to the completion routine of the endpoint 1 transfer
// that waited for it.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "tests/support/xusb_child.h"
#include "bench/service.h"

namespace {

using quillex_test::BuildInterruptTransfer;
using quillex_test::ClassIrp;
using quillex_test::XusbChild;

constexpr ULONG kEp1In = 0x30481;
constexpr size_t kBatch = 1024;

struct WaitingTransfer {
    ClassIrp irp;
    UCHAR buffer[32];
};

// Transfers are queued in batches outside the timed region; each timed
// iteration is one report completing the oldest of them.
void BM_ReportToWaitingTransfer(benchmark::State& state) {
    QuillexService service;
    XusbChild child;
    if (!service.Ok() || !NT_SUCCESS(child.InitStatus())) {
        state.SkipWithError("could not set up the emulated controller");
        return;
    }
    child.Data()->Ep1InState = 2; // past the two fixed reports
    std::vector<std::unique_ptr<WaitingTransfer>> transfers;
    for (size_t i = 0; i < kBatch; ++i) {
        transfers.push_back(std::make_unique<WaitingTransfer>());
    }
    UCHAR report[XUSB_INPUT_REPORT_LENGTH] = {0x00, 0x14, 0x10};
    size_t next = kBatch;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            for (auto& t : transfers) {
                BuildInterruptTransfer(&t->irp.urb, kEp1In, t->buffer, sizeof(t->buffer));
                t->irp.Send(child);
            }
            next = 0;
            state.ResumeTiming();
        }
        report[3] = static_cast<UCHAR>(next);
        NTSTATUS status = HandleXusbInputReport(child.Data(), report);
        benchmark::DoNotOptimize(status);
        ++next;
    }
    if (transfers[0]->irp.Completions() != 1 || transfers[0]->irp.Status() != STATUS_SUCCESS) {
        state.SkipWithError("a report did not complete its transfer");
    }
    // Reports for the rest of the batch, so that nothing is left waiting.
    for (; next < kBatch; ++next) {
        HandleXusbInputReport(child.Data(), report);
    }
}
BENCHMARK(BM_ReportToWaitingTransfer);

// The class driver's steady state: each completed transfer is sent again at
// once, so each report also pays for queueing the next transfer.
void BM_ReportWithResubmission(benchmark::State& state) {
    QuillexService service;
    XusbChild child;
    if (!service.Ok() || !NT_SUCCESS(child.InitStatus())) {
        state.SkipWithError("could not set up the emulated controller");
        return;
    }
    child.Data()->Ep1InState = 2;
    WaitingTransfer transfer;
    BuildInterruptTransfer(&transfer.irp.urb, kEp1In, transfer.buffer, sizeof(transfer.buffer));
    long completions = 0;
    transfer.irp.onComplete = [&](ClassIrp&) { ++completions; };
    transfer.irp.Send(child);
    UCHAR report[XUSB_INPUT_REPORT_LENGTH] = {0x00, 0x14};
    for (auto _ : state) {
        HandleXusbInputReport(child.Data(), report);
        transfer.irp.Send(child);
    }
    HandleXusbInputReport(child.Data(), report); // the last transfer
    if (completions != static_cast<long>(state.iterations()) + 1) {
        state.SkipWithError("a report did not complete its transfer");
    }
}
BENCHMARK(BM_ReportWithResubmission);

} // namespace
