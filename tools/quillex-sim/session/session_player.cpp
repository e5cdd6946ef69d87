#include "tools/quillex-sim/session/session_player.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tools/quillex-sim/view/led_state_view.h"

namespace {

// The class driver's completion follows a handed-over report on its own
// thread: whether one came within a bound.
std::string Delivery(sim::xbox::Controller& controller, size_t before) {
    return controller.WaitCompletions(before + 1, std::chrono::seconds(2)) ? "endpoint 1"
                                                                           : "no transfer waiting";
}

void PlayRequest(StickPlayer& player, const SessionStep& step, StepResult* result) {
    size_t before = player.controller->CompletionCount();
    if (!player.app.IsOpen() && !player.app.Open(player.interfacePath, GENERIC_READ)) {
        result->request.code = "CreateFile";
        result->request.status = player.app.LastStatus();
        result->request.win32Error = player.app.LastError();
        result->request.meaning =
            "the device interface could not be opened: " + FailureText(result->request);
        return;
    }
    SendAppRequest(player.app, step.request, &result->request);
    result->buttons = player.reader->Buttons();
    result->analog = player.reader->Analog();
    result->xbox = player.reader->Report();
    if (step.request.Pushes() && result->request.ok) {
        // The driver composed the block into a report and handed it over.
        result->delivery = Delivery(*player.controller, before);
    }
}

} // namespace

bool PlayStep(StickPlayer& player, const SessionStep& step, int index, StepResult* result,
              std::string* error) {
    result->index = index;
    result->stick = player.number;
    result->layout = player.layout;
    result->step = &step;
    if (step.kind == SessionStep::kRequest) {
        PlayRequest(player, step, result);
    } else {
        result->raw = step.raw.empty() ? sim::stick::Encode(player.layout, step.state) : step.raw;
        size_t before = player.controller->CompletionCount();
        NTSTATUS status = player.reader->Feed(result->raw, &result->changed);
        if (!NT_SUCCESS(status)) {
            char why[80];
            snprintf(why, sizeof(why), "the reader did not take the report: %08x",
                     static_cast<unsigned>(status));
            *error = why;
            return false;
        }
        result->buttons = player.reader->Buttons();
        result->analog = player.reader->Analog();
        result->xbox = player.reader->Report();
        result->delivery =
            result->changed ? Delivery(*player.controller, before) : "not sent again";
    }
    result->gamepad = player.controller->GamepadState();
    result->led = CurrentLedState(player.ctx);
    return true;
}

bool WaitForStep(const PlayPace& pace, std::chrono::steady_clock::time_point start,
                 std::chrono::microseconds at) {
    using Clock = std::chrono::steady_clock;
    auto due = pace.speed > 0 ? start + std::chrono::duration_cast<Clock::duration>(at / pace.speed)
                              : start;
    // In short steps, so that a stop is seen within 10 ms.
    for (;;) {
        if (pace.stopRequested && pace.stopRequested()) {
            return false;
        }
        if (pace.waiting) {
            pace.waiting();
        }
        auto now = Clock::now();
        if (now >= due) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(due - now, std::chrono::milliseconds(10)));
    }
}

bool PlaySessions(const std::vector<StickPlayer*>& players, const StepSink& sink,
                  const PlayPace& pace, std::string* error, bool* stopped) {
    *stopped = false;
    auto start = std::chrono::steady_clock::now();
    std::vector<size_t> next(players.size(), 0);
    for (;;) {
        // The earliest step of any stick; the first stick's at a tie.
        size_t who = players.size();
        for (size_t p = 0; p < players.size(); ++p) {
            if (next[p] < players[p]->steps.size() &&
                (who == players.size() ||
                 players[p]->steps[next[p]].at < players[who]->steps[next[who]].at)) {
                who = p;
            }
        }
        if (who == players.size()) {
            return true;
        }
        StickPlayer& player = *players[who];
        const SessionStep& step = player.steps[next[who]];
        if (!WaitForStep(pace, start, step.at)) {
            *stopped = true;
            *error = "stopped before step " + std::to_string(next[who]) +
                     (players.size() > 1 ? " of stick " + std::to_string(player.number) : "");
            return false;
        }
        // Simulated time follows the script: turbo's presses come at the
        // same moments on any machine, and at any --speed.
        player.reader->AdvanceTo(step.at);
        StepResult result;
        if (!PlayStep(player, step, static_cast<int>(next[who]++), &result, error)) {
            *error = "step " + std::to_string(result.index) +
                     (players.size() > 1 ? " of stick " + std::to_string(player.number) : "") +
                     " \"" + step.what + "\": " + *error;
            return false;
        }
        if (!sink(result)) {
            *error = "the session stopped at step " + std::to_string(result.index) +
                     (players.size() > 1 ? " of stick " + std::to_string(player.number) : "");
            return false;
        }
    }
}
