// quillex-sim: runs Quillex in the simulated Windows and shows what a game sees.
//
// This stage replays the stick's built-in demo session through the raw report
// decoders of both stick models.
#include <stdio.h>
#include <string.h>

#include <string>

#include "sim/peers/stick/raw_reports.h"
#include "tools/quillex-sim/decode_session.h"

namespace {

void PrintUsage() {
    puts("usage: quillex-sim [--layout a|b|both]\n"
         "  Replays the simulated arcade stick's demo session through the driver's\n"
         "  report decoders and prints the decoded state of every report.");
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof(b), "%02X ", v);
        out += b;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

int Replay(sim::stick::Layout layout) {
    uint32_t productId = layout == sim::stick::Layout::A ? sim::stick::kLayoutAProductId
                                                         : sim::stick::kLayoutBProductId;
    size_t length =
        layout == sim::stick::Layout::A ? sim::stick::kLayoutALength : sim::stick::kLayoutBLength;
    DecodeSession session(productId, length);
    if (!session.Ok()) {
        fprintf(stderr, "quillex-sim: could not set up the decoder buffers\n");
        return 1;
    }
    printf("== stick PID_%04X, raw layout %c (%zu-byte reports)\n", productId,
           layout == sim::stick::Layout::A ? 'A' : 'B', length);
    int index = 0;
    for (const auto& step : sim::stick::DemoScript()) {
        std::vector<uint8_t> raw = sim::stick::Encode(layout, step.state);
        NTSTATUS status = session.Decode(raw);
        const ULONG* a = session.Analog();
        printf("#%02d %-22s raw [%s]\n", index++, step.what.c_str(), Hex(raw).c_str());
        printf("    %-9s buttons: %s\n", status == STATUS_SUCCESS ? "changed" : "unchanged",
               sim::stick::ButtonNames(session.Context()->CanonicalButtons).c_str());
        printf("    left stick (%u, %u)  right stick (%u, %u)  hat %u  left trigger %u  right "
               "trigger %u\n",
               a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
               a[ANALOG_RIGHT_STICK_Y], a[ANALOG_HAT], a[ANALOG_LEFT_TRIGGER],
               a[ANALOG_RIGHT_TRIGGER]);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string layout = "both";
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--layout") == 0 && i + 1 < argc) {
            layout = argv[++i];
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        } else {
            PrintUsage();
            return 2;
        }
    }
    if (layout != "a" && layout != "b" && layout != "both") {
        PrintUsage();
        return 2;
    }
    int rc = 0;
    if (layout == "a" || layout == "both") {
        rc |= Replay(sim::stick::Layout::A);
    }
    if (layout == "b" || layout == "both") {
        rc |= Replay(sim::stick::Layout::B);
    }
    return rc;
}
