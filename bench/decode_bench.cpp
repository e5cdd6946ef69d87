// Per-report cost of decoding, changed and unchanged, and of building a curve.
#include <benchmark/benchmark.h>

#include "mapping/curves.h"
#include "mapping/decode.h"
#include "sim/peers/stick/raw_reports.h"
#include "bench/decode_session.h"

namespace {

void DecodeLoop(benchmark::State& state, sim::stick::Layout layout, bool alternate) {
    const sim::stick::Model& model = sim::stick::ModelOf(layout);
    DecodeSession session(model.productId, model.reportLength);
    sim::stick::StickState s1, s2;
    s2.buttons = sim::stick::A | sim::stick::Back;
    s2.leftX = 3;
    std::vector<uint8_t> r1 = sim::stick::Encode(layout, s1);
    std::vector<uint8_t> r2 = sim::stick::Encode(layout, s2);
    PDEVICE_CONTEXT ctx = session.Context();
    auto* buffer = static_cast<uint8_t*>(ctx->InputReport.Buffer);
    bool flip = false;
    for (auto _ : state) {
        if (alternate) {
            // Reports that differ each time: every decode reports a change.
            memcpy(buffer, flip ? r1.data() : r2.data(), r1.size());
            flip = !flip;
        }
        NTSTATUS status = model.layout == sim::stick::Layout::A ? DecodeHidReportLayoutA(ctx)
                                                                : DecodeHidReportLayoutB(ctx);
        benchmark::DoNotOptimize(status);
    }
}

void BM_DecodeLayoutAUnchanged(benchmark::State& s) {
    DecodeLoop(s, sim::stick::Layout::A, false);
}
void BM_DecodeLayoutAChanged(benchmark::State& s) {
    DecodeLoop(s, sim::stick::Layout::A, true);
}
void BM_DecodeLayoutBUnchanged(benchmark::State& s) {
    DecodeLoop(s, sim::stick::Layout::B, false);
}
void BM_DecodeLayoutBChanged(benchmark::State& s) {
    DecodeLoop(s, sim::stick::Layout::B, true);
}

void BM_BuildCurveTable(benchmark::State& state) {
    UCHAR table[256];
    ULONG p = 0;
    for (auto _ : state) {
        BuildCurveTable(p & 0xFF, (p >> 8) & 0xFF, table);
        benchmark::DoNotOptimize(table);
        p += 0x0101;
    }
}

} // namespace

BENCHMARK(BM_DecodeLayoutAUnchanged);
BENCHMARK(BM_DecodeLayoutAChanged);
BENCHMARK(BM_DecodeLayoutBUnchanged);
BENCHMARK(BM_DecodeLayoutBChanged);
BENCHMARK(BM_BuildCurveTable);

BENCHMARK_MAIN();
