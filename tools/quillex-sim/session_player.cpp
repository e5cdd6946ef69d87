#include "tools/quillex-sim/session_player.h"

#include <stdio.h>

#include <chrono>
#include <thread>

#include "mapping/remap_store.h"
#include "tools/quillex-sim/led_state_view.h"

namespace {

// A mapping change, as the companion application's set-mapping request makes
// it: the whole record with one byte changed, applied and saved.
NTSTATUS SetMappingValue(PDEVICE_CONTEXT ctx, unsigned offset, uint8_t value) {
    REMAP_RECORD record;
    NTSTATUS status = TorvaXboxMappingGetMapping(ctx, &record, sizeof(record));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    reinterpret_cast<UCHAR*>(&record)[offset] = value;
    record.RestoreDefaults = 0;
    return TorvaXboxMappingSetMapping(ctx, &record, sizeof(record));
}

} // namespace

bool PlaySession(const std::vector<SessionStep>& steps, sim::stick::Layout layout,
                 PDEVICE_CONTEXT ctx, ReaderStandIn& reader, sim::xbox::Controller& controller,
                 const StepSink& sink, std::string* error) {
    auto start = std::chrono::steady_clock::now();
    int index = 0;
    for (const SessionStep& step : steps) {
        std::this_thread::sleep_until(start + step.at);
        StepResult result;
        result.index = index++;
        result.step = &step;
        if (step.kind == SessionStep::kSetMapping) {
            result.mappingStatus = SetMappingValue(ctx, step.recordOffset, step.value);
        } else {
            result.raw = step.raw.empty() ? sim::stick::Encode(layout, step.state) : step.raw;
            NTSTATUS status = reader.Feed(result.raw, &result.changed);
            if (!NT_SUCCESS(status)) {
                char why[80];
                snprintf(why, sizeof(why), "composing the Xbox report failed: %08x",
                         static_cast<unsigned>(status));
                *error = why;
                return false;
            }
            result.buttons = ctx->CanonicalButtons;
            const ULONG* analog = reader.Analog();
            std::copy(analog, analog + ANALOG_VALUE_COUNT, result.analog.begin());
            std::copy(ctx->XusbInputReport, ctx->XusbInputReport + XUSB_INPUT_REPORT_LENGTH,
                      result.xbox.begin());
            result.delivery = "not sent again";
            if (result.changed) {
                size_t before = controller.CompletionCount();
                status = reader.DeliverReport();
                if (status == STATUS_SUCCESS) {
                    result.delivery = "endpoint 1";
                    controller.WaitCompletions(before + 1);
                } else {
                    char why[48];
                    snprintf(why, sizeof(why), "no transfer waiting: %08x",
                             static_cast<unsigned>(status));
                    result.delivery = why;
                }
            }
        }
        result.gamepad = controller.GamepadState();
        result.led = CurrentLedState(ctx);
        if (!sink(result)) {
            *error = "stopped at step " + std::to_string(result.index);
            return false;
        }
    }
    return true;
}
