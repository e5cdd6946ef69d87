// .reg files of any bytes into the registry reader. A file that is refused
// changes nothing and says why; one that is taken is written back out and
// read again to the same registry.
#include <stdio.h>

#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"

namespace {

// A registry that is not empty, so that a refused file has something to
// leave alone.
void Preload() {
    sim::registry::Reset();
    sim::registry::SetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quillex\\"
                            "Parameters\\Remap",
                            "BTN_A", 3);
    sim::registry::SetString("\\Registry\\User\\Quillex", "Name", "Torva Galdrune");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Preload();
    const std::string before = sim::registry::ExportRegText();
    std::string error;
    if (!sim::registry::ImportRegText(std::string_view(reinterpret_cast<const char*>(data), size),
                                      &error)) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(sim::registry::ExportRegText() == before);
        return 0;
    }
    const std::string exported = sim::registry::ExportRegText();
    sim::registry::Reset();
    std::string again;
    const bool readBack = sim::registry::ImportRegText(exported, &again);
    if (!readBack) {
        fprintf(stderr, "fuzz: the written-back text is refused: %s\n", again.c_str());
        fwrite(exported.data(), 1, exported.size(), stderr);
    }
    FUZZ_CHECK(readBack);
    FUZZ_CHECK(sim::registry::ExportRegText() == exported);
    return 0;
}
