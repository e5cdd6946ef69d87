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

bool PlayStep(const SessionStep& step, int index, sim::stick::Layout layout, PDEVICE_CONTEXT ctx,
              LivePipeline& reader, sim::xbox::Controller& controller, StepResult* result,
              std::string* error) {
    result->index = index;
    result->step = &step;
    if (step.kind == SessionStep::kSetMapping) {
        result->mappingStatus = SetMappingValue(ctx, step.recordOffset, step.value);
    } else {
        result->raw = step.raw.empty() ? sim::stick::Encode(layout, step.state) : step.raw;
        size_t before = controller.CompletionCount();
        NTSTATUS status = reader.Feed(result->raw, &result->changed);
        if (!NT_SUCCESS(status)) {
            char why[80];
            snprintf(why, sizeof(why), "the reader did not take the report: %08x",
                     static_cast<unsigned>(status));
            *error = why;
            return false;
        }
        result->buttons = reader.Buttons();
        result->analog = reader.Analog();
        result->xbox = reader.Report();
        result->delivery = "not sent again";
        if (result->changed) {
            // The reader handed it over before its next read; the class
            // driver's completion follows on its own thread.
            result->delivery = controller.WaitCompletions(before + 1, std::chrono::seconds(2))
                                   ? "endpoint 1"
                                   : "no transfer waiting";
        }
    }
    result->gamepad = controller.GamepadState();
    result->led = CurrentLedState(ctx);
    return true;
}

bool PlaySession(const std::vector<SessionStep>& steps, sim::stick::Layout layout,
                 PDEVICE_CONTEXT ctx, LivePipeline& reader, sim::xbox::Controller& controller,
                 const StepSink& sink, std::string* error) {
    auto start = std::chrono::steady_clock::now();
    int index = 0;
    for (const SessionStep& step : steps) {
        std::this_thread::sleep_until(start + step.at);
        StepResult result;
        if (!PlayStep(step, index++, layout, ctx, reader, controller, &result, error)) {
            return false;
        }
        if (!sink(result)) {
            *error = "the session stopped at step " + std::to_string(result.index);
            return false;
        }
    }
    return true;
}
