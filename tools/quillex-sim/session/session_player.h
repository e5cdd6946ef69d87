// Plays sessions on plugged sticks: each step at its time, a stick step's raw
// report sent by the stick and read by the driver's reader, which decodes,
// composes and hands the report to the emulated controller; a request step
// sent by the companion application through the stick's device interface.
// What came of each step goes to a sink that prints, records or checks it.
#pragma once

#include <stdint.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/device_context.h"
#include "sim/peers/app/companion.h"
#include "sim/peers/xbox/class_driver.h"
#include "tools/quillex-sim/session/live_pipeline.h"
#include "tools/quillex-sim/session/session_script.h"

// One plugged stick with what plays it.
struct StickPlayer {
    int number = 1; // the stick's number in the run, 1 for the first plugged
    sim::stick::Layout layout = sim::stick::Layout::A;
    PDEVICE_CONTEXT ctx = nullptr;
    LivePipeline* reader = nullptr;
    sim::xbox::Controller* controller = nullptr;
    std::string interfacePath; // what the application opens
    sim::app::Companion app;   // opened at the first request
    std::vector<SessionStep> steps;
};

struct StepResult {
    int index = 0; // the step's number on its stick
    int stick = 1;
    sim::stick::Layout layout = sim::stick::Layout::A;
    const SessionStep* step = nullptr;
    // A stick step:
    std::vector<uint8_t> raw; // the report the stick sent
    bool changed = false;     // the decoded state changed, so a report was composed
    // Both kinds; for a request that pushed, the report it composed:
    uint32_t buttons = 0; // the decoded canonical buttons
    std::array<ULONG, ANALOG_VALUE_COUNT> analog{};
    std::array<uint8_t, XUSB_INPUT_REPORT_LENGTH> xbox{};
    std::string delivery;       // "endpoint 1", "not sent again", "no transfer waiting", ""
    sim::xbox::Gamepad gamepad; // what the class driver last read
    unsigned led = 0;           // the LED state the driver keeps
    // A request step:
    AppRequestResult request;
};

using StepSink = std::function<bool(const StepResult&)>; // false stops the session

// Plays one step on 'player' now; false when the driver failed it (*error
// says why). A request the driver refuses is a result, not a failure.
bool PlayStep(StickPlayer& player, const SessionStep& step, int index, StepResult* result,
              std::string* error);

// How a session's steps are paced. The driver's own threads run on the
// simulated clock, which a session never moves, so the pace changes when a
// step is played, never what comes of it.
struct PlayPace {
    double speed = 1; // times the scripted pace; 0 plays each step as soon as the last is done
    std::function<bool()> stopRequested; // checked between steps; may be empty
    std::function<void()> waiting;       // called while a step waits for its time; may be empty
};

// Plays every player's steps at their times, in time order (sticks in their
// order at the same time); false when the driver failed a step, the sink
// stopped it, or a stop was requested (*stopped then true); *error says why.
bool PlaySessions(const std::vector<StickPlayer*>& players, const StepSink& sink,
                  const PlayPace& pace, std::string* error, bool* stopped);

// Waits until 'at' after 'start' at the pace's speed; false when a stop was
// requested first.
bool WaitForStep(const PlayPace& pace, std::chrono::steady_clock::time_point start,
                 std::chrono::microseconds at);
