// quillex-sim: runs Quillex in the simulated Windows and shows what a game sees.
//
// This stage loads the driver's mapping from the simulated registry as device
// add does, replays the stick's built-in demo session through the raw report
// decoders of both stick models, and composes the Xbox 360 report each
// report leads to.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "sim/core/utf.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/registry/reg_file.h"
#include "tools/quillex-sim/decode_session.h"
#include "tools/quillex-sim/gamepad_view.h"
#include "mapping/remap_store.h"
#include "tools/quillex-sim/service.h"

namespace {

struct Options {
    std::string layout = "both";
    std::string registryFile; // empty: a registry that lives for this run only
    bool printMapping = false;
    bool saveMapping = false;
};

void PrintUsage() {
    puts("usage: quillex-sim [--layout a|b|both] [--registry FILE.reg] [--print-mapping]\n"
         "                   [--save-mapping]\n"
         "  Loads the driver's mapping from the registry, replays the simulated arcade\n"
         "  stick's demo session through the driver's report decoders, and prints for\n"
         "  every raw report its decoded state, the 20-byte Xbox 360 report and what a\n"
         "  game reads from it.\n"
         "  --registry FILE.reg  the machine's registry, in regedit's .reg format: read\n"
         "                       before the run (created when missing) and written back\n"
         "                       after it, so it can be edited, or imported on Windows\n"
         "  --print-mapping      print the mapping the driver loaded, by value name\n"
         "  --save-mapping       write the loaded mapping into the registry, all 28 values,\n"
         "                       as the companion application's set-mapping does");
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(b, sizeof(b), "%02X ", bytes[i]);
        out += b;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

int Replay(sim::stick::Layout layout, WDFDRIVER driver, bool firstDevice, const Options& options) {
    uint32_t productId = layout == sim::stick::Layout::A ? sim::stick::kLayoutAProductId
                                                         : sim::stick::kLayoutBProductId;
    size_t length =
        layout == sim::stick::Layout::A ? sim::stick::kLayoutALength : sim::stick::kLayoutBLength;
    DecodeSession session(productId, length, driver);
    if (!session.Ok()) {
        fprintf(stderr, "quillex-sim: could not set up the decoder buffers\n");
        return 1;
    }
    NTSTATUS status = session.LoadMapping();
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "quillex-sim: loading the mapping failed: %08x\n",
                static_cast<unsigned>(status));
        return 1;
    }
    PDEVICE_CONTEXT ctx = session.Context();
    if (firstDevice && options.saveMapping) {
        status = TorvaXboxMappingSaveRemap(ctx);
        printf("== mapping saved to %s: %s\n", sim::Utf16ToUtf8(ctx->RegistryPath).c_str(),
               NT_SUCCESS(status) ? "ok" : "failed");
    }
    if (firstDevice && options.printMapping) {
        printf("== mapping loaded from %s\n%s", sim::Utf16ToUtf8(ctx->RegistryPath).c_str(),
               DescribeMapping(ctx->RemapRecord).c_str());
    }

    printf("== stick PID_%04X, raw layout %c (%zu-byte reports)\n", productId,
           layout == sim::stick::Layout::A ? 'A' : 'B', length);
    int index = 0;
    for (const auto& step : sim::stick::DemoScript()) {
        std::vector<uint8_t> raw = sim::stick::Encode(layout, step.state);
        // As the read completion does: only a changed state makes a new report.
        bool changed = session.Decode(raw) == STATUS_SUCCESS;
        if (changed && !NT_SUCCESS(status = session.Compose())) {
            fprintf(stderr, "quillex-sim: composing the Xbox report failed: %08x\n",
                    static_cast<unsigned>(status));
            return 1;
        }
        const ULONG* a = session.Analog();
        printf("#%02d %-22s raw [%s]\n", index++, step.what.c_str(),
               Hex(raw.data(), raw.size()).c_str());
        printf("    %-9s buttons: %s\n", changed ? "changed" : "unchanged",
               sim::stick::ButtonNames(ctx->CanonicalButtons).c_str());
        printf("    left stick (%u, %u)  right stick (%u, %u)  hat %u  left trigger %u  right "
               "trigger %u\n",
               a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
               a[ANALOG_RIGHT_STICK_Y], a[ANALOG_HAT], a[ANALOG_LEFT_TRIGGER],
               a[ANALOG_RIGHT_TRIGGER]);
        printf("    xbox [%s]%s\n", Hex(ctx->XusbInputReport, XUSB_INPUT_REPORT_LENGTH).c_str(),
               changed ? "" : "  (not sent again)");
        printf("    game %s\n", DescribeGamepad(ctx->XusbInputReport).c_str());
    }
    return 0;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--layout") == 0 && i + 1 < argc) {
            options.layout = argv[++i];
        } else if (strcmp(argv[i], "--registry") == 0 && i + 1 < argc) {
            options.registryFile = argv[++i];
        } else if (strcmp(argv[i], "--print-mapping") == 0) {
            options.printMapping = true;
        } else if (strcmp(argv[i], "--save-mapping") == 0) {
            options.saveMapping = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        } else {
            PrintUsage();
            return 2;
        }
    }
    if (options.layout != "a" && options.layout != "b" && options.layout != "both") {
        PrintUsage();
        return 2;
    }

    std::string error;
    if (!options.registryFile.empty() && FileExists(options.registryFile) &&
        !sim::registry::ImportRegFile(options.registryFile, &error)) {
        fprintf(stderr, "quillex-sim: %s\n", error.c_str());
        return 1;
    }

    int rc = 0;
    {
        QuillexService service;
        if (!service.Ok()) {
            fprintf(stderr, "quillex-sim: could not load the driver\n");
            return 1;
        }
        bool first = true;
        if (options.layout == "a" || options.layout == "both") {
            rc |= Replay(sim::stick::Layout::A, service.Driver(), first, options);
            first = false;
        }
        if (options.layout == "b" || options.layout == "both") {
            rc |= Replay(sim::stick::Layout::B, service.Driver(), first, options);
        }
    }

    if (!options.registryFile.empty()) {
        if (!sim::registry::ExportRegFile(options.registryFile, &error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            return 1;
        }
        printf("== registry written to %s\n", options.registryFile.c_str());
    }
    return rc;
}
