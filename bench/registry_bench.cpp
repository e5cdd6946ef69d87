// Loading a .reg file with many values in one key: the time must grow with
// the count, not its square.
#include <benchmark/benchmark.h>

#include <stdio.h>

#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"

namespace {

// A file of about 'megabytes' MB: one key with dword values of ~40 bytes a line.
std::string ManyValuesInOneKey(size_t megabytes, size_t* count) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Quillex\\Many]\r\n";
    char line[64];
    *count = 0;
    while (text.size() < megabytes * 1000 * 1000) {
        snprintf(line, sizeof(line), "\"Value%08zu\"=dword:%08zx\r\n", *count, *count);
        text += line;
        ++*count;
    }
    return text;
}

void BM_ImportRegTextOneKey(benchmark::State& state) {
    size_t count = 0;
    std::string text = ManyValuesInOneKey(static_cast<size_t>(state.range(0)), &count);
    for (auto _ : state) {
        sim::registry::Reset();
        std::string error;
        if (!sim::registry::ImportRegText(text, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    sim::registry::Reset();
    state.counters["values"] = static_cast<double>(count);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ImportRegTextOneKey)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

} // namespace
