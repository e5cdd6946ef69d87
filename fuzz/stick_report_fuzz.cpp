// Raw stick reports of any length, in either layout, through decoding and the
// composition of the Xbox report, under a mapping of any bytes.
//
// Input: a layout byte, the 29 bytes of a mapping record, the number of
// analog entries the device was set up with, then reports, each a length byte
// followed by that many raw bytes.
#include <string.h>

#include <vector>

#include "fuzz/fuzz_support.h"
#include "mapping/curves.h"
#include "mapping/decode.h"
#include "mapping/xusb_report.h"

namespace {

using quillex_fuzz::ByteReader;
using quillex_fuzz::ContextObject;

struct DecodedState {
    ULONG buttons;
    std::vector<ULONG> analog;
};

DecodedState Snapshot(PDEVICE_CONTEXT Context) {
    DecodedState state{Context->CanonicalButtons, {}};
    const ULONG* analog = static_cast<const ULONG*>(Context->AnalogValues.Buffer);
    state.analog.assign(analog, analog + Context->AnalogValues.Size / sizeof(ULONG));
    return state;
}

bool Same(const DecodedState& a, const DecodedState& b) {
    return a.buttons == b.buttons && a.analog == b.analog;
}

SHORT Field(const UCHAR* report, size_t offset) {
    return static_cast<SHORT>(report[offset] | report[offset + 1] << 8);
}

// What every composed report holds, whatever the state and the mapping.
void CheckReport(const UCHAR* report) {
    FUZZ_CHECK(report[0] == 0x00 && report[1] == 0x14);
    FUZZ_CHECK((Field(report, XUSB_REPORT_BUTTONS) & 0x0800) == 0);
    FUZZ_CHECK(Field(report, XUSB_REPORT_LEFT_Y) != -32768);
    FUZZ_CHECK(Field(report, XUSB_REPORT_RIGHT_Y) != -32768);
    for (size_t i = 14; i < XUSB_INPUT_REPORT_LENGTH; ++i) {
        FUZZ_CHECK(report[i] == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader input(data, size);
    const bool layoutA = (input.Byte() & 1) != 0;
    const size_t minLength = layoutA ? RAW_LAYOUT_A_MIN_LENGTH : RAW_LAYOUT_B_MIN_LENGTH;

    ContextObject holder;
    PDEVICE_CONTEXT context = holder.Context();
    context->ProductId = layoutA ? QUILLEX_LAYOUT_A_PRODUCT_ID : 0x403;

    std::vector<uint8_t> record = input.Bytes(sizeof(REMAP_RECORD));
    record.resize(sizeof(REMAP_RECORD));
    memcpy(&context->RemapRecord, record.data(), record.size());
    BuildCurveTables(context);
    context->MappingInitialized = TRUE;

    const size_t analogEntries = input.Byte() % (ANALOG_VALUE_COUNT + 3);
    if (analogEntries != 0) {
        FUZZ_CHECK(NT_SUCCESS(QuillexAllocMemory(holder.Object(), &context->AnalogValues,
                                                 analogEntries * sizeof(ULONG))));
    }

    while (input.Remaining() != 0) {
        // Each report in a buffer of exactly its length, so that a read past
        // its end is caught.
        std::vector<uint8_t> raw = input.Bytes(input.Byte());
        QuillexReleaseMemory(&context->InputReport);
        if (!raw.empty()) {
            FUZZ_CHECK(
                NT_SUCCESS(QuillexAllocMemory(holder.Object(), &context->InputReport, raw.size())));
            memcpy(context->InputReport.Buffer, raw.data(), raw.size());
        }

        const DecodedState before = Snapshot(context);
        NTSTATUS decoded =
            layoutA ? DecodeHidReportLayoutA(context) : DecodeHidReportLayoutB(context);
        const DecodedState after = Snapshot(context);
        const bool usable = raw.size() >= minLength && analogEntries >= ANALOG_VALUE_COUNT;
        if (!usable) {
            FUZZ_CHECK(decoded == STATUS_UNSUCCESSFUL);
            FUZZ_CHECK(Same(before, after));
            continue;
        }
        FUZZ_CHECK(decoded == STATUS_SUCCESS || decoded == STATUS_UNSUCCESSFUL);
        FUZZ_CHECK((decoded == STATUS_SUCCESS) == !Same(before, after));
        FUZZ_CHECK((after.buttons & ~CANONICAL_BUTTONS_MASK) == 0);
        FUZZ_CHECK((after.buttons & (BTN_RIGHT_TRIANGLE | BTN_LEFT_TRIANGLE)) == 0);
        // The same report again changes nothing.
        NTSTATUS again =
            layoutA ? DecodeHidReportLayoutA(context) : DecodeHidReportLayoutB(context);
        FUZZ_CHECK(again == STATUS_UNSUCCESSFUL);
        FUZZ_CHECK(Same(after, Snapshot(context)));

        UCHAR report[XUSB_INPUT_REPORT_LENGTH];
        memset(report, 0xEE, sizeof(report));
        FUZZ_CHECK(TorvaXboxMappingGetInputReport(context, report, sizeof(report)) ==
                   STATUS_SUCCESS);
        CheckReport(report);
    }
    return 0;
}
