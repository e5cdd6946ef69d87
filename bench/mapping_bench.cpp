// Per-report cost of composing the Xbox report, with scaling off and on, and
// of the whole read-completion step: decode, then compose on a change.
#include <benchmark/benchmark.h>

#include "mapping/arcade_modes.h"
#include "mapping/decode.h"
#include "mapping/xusb_report.h"
#include "sim/peers/stick/raw_reports.h"
#include "bench/decode_session.h"
#include "bench/service.h"

namespace {

void ComposeLoop(benchmark::State& state, bool scaling) {
    QuillexService service;
    DecodeSession session(sim::stick::kLayoutAProductId, sim::stick::kLayoutALength,
                          service.Driver());
    if (!service.Ok() || !session.Ok() || !NT_SUCCESS(session.LoadMapping())) {
        state.SkipWithError("could not set up the device context");
        return;
    }
    sim::stick::StickState s;
    s.buttons = sim::stick::A | sim::stick::Power | sim::stick::Back;
    s.hat = 3;
    s.leftX = 17;
    s.leftY = 0;
    s.rightX = 200;
    s.rightY = 255;
    s.leftTrigger = 10;
    s.rightTrigger = 240;
    session.Decode(sim::stick::Encode(sim::stick::Layout::A, s));
    PDEVICE_CONTEXT ctx = session.Context();
    ctx->RemapRecord.ENABLE_SCALING = scaling ? 1 : 0;
    for (auto _ : state) {
        NTSTATUS status =
            TorvaXboxMappingGetInputReport(ctx, ctx->XusbInputReport, sizeof(ctx->XusbInputReport));
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
    }
}

void BM_ComposeScalingOff(benchmark::State& s) {
    ComposeLoop(s, false);
}
void BM_ComposeScalingOn(benchmark::State& s) {
    ComposeLoop(s, true);
}

// One report as the read completion handles it: a new raw report lands in the
// input buffer, is decoded, and (it always differs here) goes through the
// arcade settings' step and is composed.
void DecodeAndComposeLoop(benchmark::State& state, sim::stick::Layout layout) {
    const sim::stick::Model& model = sim::stick::ModelOf(layout);
    QuillexService service;
    DecodeSession session(model.productId, model.reportLength, service.Driver());
    if (!service.Ok() || !session.Ok() || !NT_SUCCESS(session.LoadMapping())) {
        state.SkipWithError("could not set up the device context");
        return;
    }
    sim::stick::StickState s1, s2;
    s2.buttons = sim::stick::A | sim::stick::Back;
    s2.leftX = 3;
    s2.hat = 6;
    std::vector<uint8_t> r1 = sim::stick::Encode(layout, s1);
    std::vector<uint8_t> r2 = sim::stick::Encode(layout, s2);
    PDEVICE_CONTEXT ctx = session.Context();
    ctx->RemapRecord.ENABLE_SCALING = 1;
    auto* buffer = static_cast<uint8_t*>(ctx->InputReport.Buffer);
    bool flip = false;
    for (auto _ : state) {
        memcpy(buffer, flip ? r1.data() : r2.data(), r1.size());
        flip = !flip;
        NTSTATUS status = model.layout == sim::stick::Layout::A ? DecodeHidReportLayoutA(ctx)
                                                                : DecodeHidReportLayoutB(ctx);
        if (status == STATUS_SUCCESS) {
            ArcadeTrackInput(ctx); // the arcade settings' step, off here as by default
            status = TorvaXboxMappingGetInputReport(ctx, ctx->XusbInputReport,
                                                    sizeof(ctx->XusbInputReport));
        }
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
    }
}

void BM_DecodeAndComposeLayoutA(benchmark::State& s) {
    DecodeAndComposeLoop(s, sim::stick::Layout::A);
}
void BM_DecodeAndComposeLayoutB(benchmark::State& s) {
    DecodeAndComposeLoop(s, sim::stick::Layout::B);
}

} // namespace

BENCHMARK(BM_ComposeScalingOff);
BENCHMARK(BM_ComposeScalingOn);
BENCHMARK(BM_DecodeAndComposeLayoutA);
BENCHMARK(BM_DecodeAndComposeLayoutB);
