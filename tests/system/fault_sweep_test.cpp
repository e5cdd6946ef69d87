// The fault-injection sweep: for each step of a stick's life, every call the
// driver makes there to a service that can fail is failed in turn, one life
// per call. Each life must end with nothing left behind (framework objects,
// pool, system threads, kernel handles), within its bounds (the simulator's
// wait limit stops a hang), without a verifier stop, and with what the
// driver's design says that failure leads to (tests/support/fault_outcomes.*:
// the status a refused step or request carries, the messages traced, whether
// reports stop and come back, whether the emulated controller is made). Where
// the design leaves the outcome open, the device must work or the failure be
// reported: a step refused with an error status, or an error traced.
//
// Prints, per step, the fault points reached out of those in the driver's
// sources, and at the end the points no step reached.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "driver/device_add.h"
#include "platform/device_context.h"
#include "sim/core/fault.h"
#include "sim/core/trace_sink.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/system_thread.h"
#include "sim/registry/registry.h"
#include "sim/wdf/object.h"
#include "tests/support/device_life.h"
#include "tests/support/fault_outcomes.h"
#include "tests/support/fault_points.h"

namespace quillex_test {
namespace {

using sweep::Call;
using sweep::Injector;

// What one life left and showed.
struct LifeRecord {
    std::vector<Call> calls; // from fault points during the swept step
    std::vector<std::string> refusals;
    std::vector<std::string> outages;
    std::vector<std::string> errors; // traced from the swept step on
    std::vector<std::string> leftovers;
    sweep::LifeShowing showing;
};

std::vector<std::string> ErrorsTraced(const sim::trace::Capture& trace) {
    std::vector<std::string> errors;
    for (const sim::trace::Record& record : trace.Records()) {
        if (record.Level <= TRACE_LEVEL_ERROR) {
            errors.push_back(record.Text);
        }
    }
    return errors;
}

// A stick's life in a fresh simulated machine, with the injector's window
// open around 'swept'.
LifeRecord Live(Injector* injector, LifeStep swept) {
    LifeRecord record;
    sim::registry::Scope registry;
    sim::trace::Capture trace;
    size_t objects = sim::wdf::LiveObjectCount();
    size_t blocks = sim::pool::OutstandingBlocks();
    size_t handles = sim::kernel::OpenHandleCount();
    size_t errorsBefore = 0;
    size_t tracedBefore = 0;
    record.showing.swept = swept;
    {
        sim::kernel::SimulatedClock clock;
        sim::pnp::Stack stack(DriverEntry);
        // Installing the INF makes the service's Parameters key.
        sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters");
        stack.Install(sim::xbox::Package());
        DeviceLife life(&stack, &clock);
        life.beforeStep = [&](LifeStep step) {
            if (step == swept) {
                errorsBefore = ErrorsTraced(trace).size();
                tracedBefore = trace.Records().size();
                injector->OpenWindow();
            }
        };
        life.afterStep = [&](LifeStep step) {
            if (step == swept) {
                record.calls = injector->CloseWindow();
            }
            if (step == LifeStep::PlugAndStart && stack.FunctionDevice(life.Id()) != nullptr) {
                record.showing.instance =
                    QuillexGetDeviceContext(stack.FunctionDevice(life.Id()))->InstanceNumber;
            }
            record.showing.controllerAfter[step] = life.HasController();
        };
        life.Live(swept == LifeStep::SurpriseRemoval);
        record.refusals = life.Refusals();
        record.outages = life.Outages();
        record.showing.refusals = record.refusals;
        record.showing.outages = record.outages;
        if (stack.Unload() != STATUS_SUCCESS) {
            record.leftovers.push_back("the driver did not unload");
        }
    }
    sim::xbox::Forget();
    std::vector<sim::trace::Record> traced = trace.Records();
    for (size_t r = tracedBefore; r < traced.size(); ++r) {
        std::string text = traced[r].Text;
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        record.showing.traced.push_back(text);
    }
    record.errors = ErrorsTraced(trace);
    record.errors.erase(record.errors.begin(),
                        record.errors.begin() + static_cast<std::ptrdiff_t>(errorsBefore));
    if (!sim::kernel::WaitForSystemThreads(10000) || sim::kernel::LiveSystemThreadCount() != 0) {
        record.leftovers.push_back(std::to_string(sim::kernel::LiveSystemThreadCount()) +
                                   " system threads");
    }
    sim::pool::CheckFreedBlocks();
    if (sim::wdf::LiveObjectCount() != objects) {
        record.leftovers.push_back(std::to_string(sim::wdf::LiveObjectCount() - objects) +
                                   " framework objects");
    }
    if (sim::pool::OutstandingBlocks() != blocks) {
        record.leftovers.push_back(std::to_string(sim::pool::OutstandingBlocks() - blocks) +
                                   " pool blocks");
    }
    if (sim::kernel::OpenHandleCount() != handles) {
        record.leftovers.push_back(std::to_string(sim::kernel::OpenHandleCount() - handles) +
                                   " kernel handles");
    }
    return record;
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : "; ") + item;
    }
    return text;
}

std::string Describe(const sweep::FaultPoint& point, const Injector::Target& target) {
    return target.service + " #" + std::to_string(target.nth) + " from " + point.service + " at " +
           point.Where();
}

// The failure led where the design says (when it says), or, where it leaves
// that open, the device works after the fault or someone was told: a step
// refused with an error status, or an error traced that a life without the
// fault does not trace (an application push that finds no transfer waiting
// is an error trace of every life).
void Judge(const std::string& what, const LifeRecord& life, const LifeRecord& plain,
           const std::optional<sweep::Outcome>& expected, std::vector<std::string>* findings) {
    if (!life.leftovers.empty()) {
        findings->push_back(what + ": left " + Join(life.leftovers));
    }
    if (expected) {
        for (const std::string& difference : sweep::Differences(*expected, life.showing)) {
            findings->push_back(what + ": should be \"" + expected->rule + "\", but " + difference);
        }
        return;
    }
    bool worked = life.refusals.empty() && life.outages.empty();
    bool traced = std::any_of(life.errors.begin(), life.errors.end(), [&](const std::string& e) {
        return std::find(plain.errors.begin(), plain.errors.end(), e) == plain.errors.end();
    });
    bool reported = !life.refusals.empty() || traced;
    if (!worked && !reported) {
        findings->push_back(what + ": reports stopped (" + Join(life.outages) +
                            ") and nothing said why");
    }
}

TEST(FaultSweep, EveryFaultPointOfEveryStepIsFailedAndSurvived) {
    sim::fault::Scope faults;
    Injector injector(QUILLEX_SOURCE_DIR, sweep::DriverFaultPoints(QUILLEX_SOURCE_DIR));
    const auto& points = injector.Points();
    ASSERT_GT(points.size(), 40u) << "the driver's sources were not found under "
                                  << QUILLEX_SOURCE_DIR;
    // Only the step whose number (1 to 7) QUILLEX_SWEEP_STEP names, when set.
    const char* only = std::getenv("QUILLEX_SWEEP_STEP");

    std::set<size_t> reachedAnywhere;
    std::vector<std::string> findings;
    std::vector<std::string> coverage;
    unsigned lives = 0;
    auto started = std::chrono::steady_clock::now();
    auto live = [&](LifeStep step, std::vector<Injector::Target> targets, const std::string& what) {
        fprintf(stderr, "sweep: %s%s", LifeStepName(step), what.c_str());
        injector.Arm(std::move(targets));
        ++lives;
        auto begun = std::chrono::steady_clock::now();
        LifeRecord record = Live(&injector, step);
        fprintf(stderr, " (%lld ms)\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - begun)
                                           .count()));
        return record;
    };
    unsigned stepNumber = 0;
    for (LifeStep step : kLifeSteps) {
        ++stepNumber;
        if (only != nullptr && std::to_string(stepNumber) != only) {
            continue;
        }
        // A life without faults: the calls the step makes, in order.
        LifeRecord plain = live(step, {}, "");
        if (!plain.refusals.empty() || !plain.outages.empty() || !plain.leftovers.empty()) {
            findings.push_back(std::string(LifeStepName(step)) +
                               ", no fault: " + Join(plain.refusals) + " " + Join(plain.outages) +
                               " " + Join(plain.leftovers));
            continue;
        }
        std::set<size_t> reached;
        std::set<size_t> reachedAfterFailure;
        std::set<std::pair<size_t, std::string>> followedUp;
        std::map<std::pair<size_t, std::string>, unsigned> seen;
        unsigned failed = 0;
        unsigned byDesign = 0;
        unsigned notMadeAgain = 0;
        for (const Call& call : plain.calls) {
            reached.insert(call.point);
        }
        for (const Call& call : plain.calls) {
            Injector::Target first{call.point, call.service, ++seen[{call.point, call.service}]};
            std::string what = ": " + Describe(points[call.point], first);
            LifeRecord faulted = live(step, {first}, what);
            if (injector.Fired() == 0) {
                ++notMadeAgain; // the call did not come this time (another thread's timing)
                continue;
            }
            ++failed;
            std::optional<sweep::Outcome> expected =
                sweep::ExpectedOutcome(QUILLEX_SOURCE_DIR, points[call.point], call, first.nth,
                                       step, faulted.showing.instance);
            if (expected) {
                ++byDesign;
            } else if (!sweep::OutcomeLeftOpen(points[call.point])) {
                findings.push_back(std::string(LifeStepName(step)) + what +
                                   ": no outcome for this fault point, nor is it one the "
                                   "design leaves open (reached through " +
                                   Join(call.callers) + ")");
            }
            Judge(std::string(LifeStepName(step)) + what, faulted, plain, expected, &findings);

            // Fault points only this failure leads to (a retry, a longer
            // wait): each is failed too, once, after it.
            std::map<std::pair<size_t, std::string>, unsigned> occurrences;
            for (const Call& next : faulted.calls) {
                unsigned nth = ++occurrences[{next.point, next.service}];
                if (reached.count(next.point) != 0 ||
                    !followedUp.insert({next.point, next.service}).second) {
                    continue;
                }
                Injector::Target second{next.point, next.service, nth};
                std::string then = what + ", then " + Describe(points[next.point], second);
                LifeRecord twice = live(step, {first, second}, then);
                if (injector.Fired() < 2) {
                    ++notMadeAgain;
                    continue;
                }
                ++failed;
                reachedAfterFailure.insert(next.point);
                Judge(std::string(LifeStepName(step)) + then, twice, plain, std::nullopt,
                      &findings);
            }
        }
        injector.Disarm();
        reachedAnywhere.insert(reached.begin(), reached.end());
        reachedAnywhere.insert(reachedAfterFailure.begin(), reachedAfterFailure.end());
        char line[320];
        snprintf(
            line, sizeof(line),
            "%-36s %2zu of %zu fault points reached (%zu more after a failure), %3zu calls; "
            "%3u lives failed one call (%u judged by their designed outcome)%s",
            LifeStepName(step), reached.size(), points.size(), reachedAfterFailure.size(),
            plain.calls.size(), failed, byDesign,
            notMadeAgain == 0
                ? ""
                : (", " + std::to_string(notMadeAgain) + " where it was not made again").c_str());
        coverage.push_back(line);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("Fault sweep: %u lives in %.1f s\n", lives, seconds);
    for (const std::string& line : coverage) {
        printf("  %s\n", line.c_str());
    }
    printf("  every step together: %zu of %zu fault points reached and failed\n",
           reachedAnywhere.size(), points.size());
    for (size_t p = 0; p < points.size(); ++p) {
        if (reachedAnywhere.count(p) == 0) {
            printf("    not reached: %s at %s\n", points[p].service.c_str(),
                   points[p].Where().c_str());
        }
    }
    printf("  calls made inside driver calls that cannot fail (not failed):\n");
    for (const auto& [where, calls] : injector.Unattributed()) {
        printf("    %s: %zu\n", where.c_str(), calls);
    }
    for (const std::string& finding : findings) {
        ADD_FAILURE() << finding;
    }
}

} // namespace
} // namespace quillex_test
