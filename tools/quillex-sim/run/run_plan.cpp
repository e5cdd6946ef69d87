#include "tools/quillex-sim/run/run_plan.h"

namespace {

bool PlanRecording(const Options& options, RunPlan* plan, std::string* error) {
    if (!LoadRecording(options.expectFile, &plan->expected, error)) {
        *error = "--expect: " + *error;
        return false;
    }
    plan->together = plan->expected.together;
    for (const RecordedStick& recorded : plan->expected.sticks) {
        plan->sticks.push_back(PlannedStick{static_cast<int>(plan->sticks.size()) + 1,
                                            recorded.layout, recorded.session, &recorded.expected});
    }
    return true;
}

bool PlanSessions(const Options& options, RunPlan* plan, std::string* error) {
    std::vector<SessionStep> script;
    if (!options.scriptFile.empty() && !LoadSessionScript(options.scriptFile, &script, error)) {
        return false;
    }
    plan->together = options.sticks != 0;
    std::vector<sim::stick::Layout> models = StickModels(options.layout, options.sticks);
    for (size_t i = 0; i < models.size(); ++i) {
        PlannedStick planned;
        planned.number = static_cast<int>(i) + 1;
        planned.layout = models[i];
        if (options.scriptFile.empty()) {
            ScriptError where;
            std::string_view builtin = options.session.empty()
                                           ? BuiltinSessionScript(planned.layout)
                                           : BuiltinNamedSession(options.session);
            if (!ParseSessionScript(builtin, &script, &where)) {
                *error = "the built-in session, line " + std::to_string(where.line) + ": " +
                         where.message;
                return false;
            }
        }
        planned.steps = StepsForStick(script, planned.number);
        plan->sticks.push_back(std::move(planned));
    }
    // A line for a stick the run does not plug is a mistake in the script.
    for (const SessionStep& step : script) {
        if (step.stick > static_cast<int>(plan->sticks.size())) {
            *error = options.scriptFile + ":" + std::to_string(step.line) + ":" +
                     std::to_string(step.stickColumn) + ": stick " + std::to_string(step.stick) +
                     " is not plugged: this run plugs " + std::to_string(plan->sticks.size()) +
                     " (--sticks N plugs N)";
            return false;
        }
    }
    return true;
}

} // namespace

bool BuildPlan(const Options& options, RunPlan* plan, std::string* error) {
    if (!options.expectFile.empty()) {
        if (!PlanRecording(options, plan, error)) {
            return false;
        }
    } else if (!PlanSessions(options, plan, error)) {
        return false;
    }
    // Played from the keyboard, a session starts at rest and goes where the
    // keys take it.
    if (options.keyboard) {
        for (PlannedStick& planned : plan->sticks) {
            planned.steps.assign(1, SessionStep());
            planned.steps[0].what = "at rest";
        }
    }
    return true;
}
