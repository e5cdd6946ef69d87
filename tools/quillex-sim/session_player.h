// Plays a session on one stick's device: each step at its time, its raw
// report sent by the stick and read by the driver's reader, which decodes,
// composes and hands the report to the emulated controller, and what came of it handed to a sink
// that prints, records or checks it.
#pragma once

#include <stdint.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "sim/peers/xbox/class_driver.h"
#include "tools/quillex-sim/live_pipeline.h"
#include "tools/quillex-sim/session_script.h"

struct StepResult {
    int index = 0;
    const SessionStep* step = nullptr;
    // A stick step:
    std::vector<uint8_t> raw; // the report the stick sent
    bool changed = false;     // the decoded state changed, so a report was composed
    uint32_t buttons = 0;     // the decoded canonical buttons
    std::array<ULONG, ANALOG_VALUE_COUNT> analog{};
    std::array<uint8_t, XUSB_INPUT_REPORT_LENGTH> xbox{};
    std::string delivery;       // "endpoint 1", "not sent again", "no transfer waiting: ..."
    sim::xbox::Gamepad gamepad; // what the class driver last read
    unsigned led = 0;           // the LED state the driver keeps
    // A mapping step:
    NTSTATUS mappingStatus = STATUS_SUCCESS;
};

using StepSink = std::function<bool(const StepResult&)>; // false stops the session

// Plays one step now; false when the driver failed it (*error says why).
bool PlayStep(const SessionStep& step, int index, sim::stick::Layout layout, PDEVICE_CONTEXT ctx,
              LivePipeline& reader, sim::xbox::Controller& controller, StepResult* result,
              std::string* error);

// Plays 'steps' in time; false when the driver failed a step or the sink
// stopped it (*error says why).
bool PlaySession(const std::vector<SessionStep>& steps, sim::stick::Layout layout,
                 PDEVICE_CONTEXT ctx, LivePipeline& reader, sim::xbox::Controller& controller,
                 const StepSink& sink, std::string* error);
