// What a failed call must lead to, as the driver's design gives it: which
// request or step is refused and with which status, which messages are
// traced, whether reports still reach the game (and when they come back),
// and whether the emulated controller is made. The fault-injection sweep
// judges each life by these where the design says what happens; elsewhere it
// only asks that the device works or the failure is reported.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "km/ntstatus.h"
#include "tests/support/device_life.h"
#include "tests/support/fault_points.h"

namespace quillex_test::sweep {

// What one life showed, from the swept step on.
struct LifeShowing {
    LifeStep swept = LifeStep::PlugAndStart;
    ULONG instance = 1;                       // the stick's device number in the traces
    std::vector<std::string> refusals;        // DeviceLife::Refusals()
    std::vector<std::string> outages;         // DeviceLife::Outages()
    std::vector<std::string> traced;          // every message from the swept step on
    std::map<LifeStep, bool> controllerAfter; // an emulated controller running after the step
};

// Whether reports reach the game after the failure.
enum class Reports {
    Flow,             // every probe after it
    BackAfterRestart, // not until the next hardware start and open
    StopForGood,      // not for the rest of the device's life
    NotProbed,        // the device never starts: nothing to probe
};

// Whether the reader makes the emulated controller at its next start.
enum class Controller { Made, NotMade, NotAsked };

// A refusal the life must see: what was refused ("plug", "open", ...) and
// the status it carries (kAnyError: an error status the design does not fix).
inline constexpr NTSTATUS kAnyError = 0;
struct Refusal {
    std::string what;
    NTSTATUS status = kAnyError;
};

struct Outcome {
    std::string rule; // what the design says, in a few words
    std::vector<Refusal> refused;
    // Messages the driver must trace, each whole (without its line break).
    std::vector<std::string> traced;
    Reports reports = Reports::Flow;
    Controller controller = Controller::NotAsked;
    // And one message of each of these groups: where the line tables cannot
    // tell which caller of a routine inlined into it failed (a build whose
    // addr2line shows no inlined frames), either of its calls may have.
    std::vector<std::vector<std::string>> tracedOneOf = {};
};

// The outcome the design gives a failure of 'call', the nth call of its
// service from 'point' during 'step' (failing with call.failure), on the
// stick with device number 'instance'; nothing where it says none.
std::optional<Outcome> ExpectedOutcome(const std::string& sourceDir, const FaultPoint& point,
                                       const Call& call, unsigned nth, LifeStep step,
                                       ULONG instance);

// Fault points whose failure the design leaves to the implementer (a pause,
// a longer wait, a work item of the driver's own, an alertable wait for the
// mapping's mutex): judged only by "works or reports the failure". Every
// other fault point must have an outcome, so that a rule that no longer
// matches its call site is noticed.
bool OutcomeLeftOpen(const FaultPoint& point);

// How the life differs from the outcome; empty when it matches.
std::vector<std::string> Differences(const Outcome& expected, const LifeShowing& life);

} // namespace quillex_test::sweep
