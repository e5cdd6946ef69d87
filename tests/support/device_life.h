// A stick's whole life in the simulated Windows, step by step, as a player
// lives it: plugged and started, opened by the companion application, the
// reader started (emulated controller enumerated by the class driver, a read
// outstanding), application requests, a stop and restart, then an orderly
// removal or a surprise removal with the application's handle still open.
// Each step is announced before and after it runs, so a test can inject
// faults into exactly that step; whatever a step refuses is noted, and
// whether reports still reach the game is probed between steps.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/clock.h"
#include "sim/peers/app/companion.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/pnp/stack.h"

namespace quillex_test {

enum class LifeStep {
    PlugAndStart,
    FirstOpen,
    ReaderStart,
    AppRequests,
    Restart,
    OrderlyRemoval,
    SurpriseRemoval,
};
inline constexpr LifeStep kLifeSteps[] = {LifeStep::PlugAndStart,   LifeStep::FirstOpen,
                                          LifeStep::ReaderStart,    LifeStep::AppRequests,
                                          LifeStep::Restart,        LifeStep::OrderlyRemoval,
                                          LifeStep::SurpriseRemoval};
const char* LifeStepName(LifeStep step);

class DeviceLife {
  public:
    DeviceLife(sim::pnp::Stack* stack, sim::kernel::SimulatedClock* clock,
               uint16_t productId = 0x0402);
    ~DeviceLife();
    DeviceLife(const DeviceLife&) = delete;
    DeviceLife& operator=(const DeviceLife&) = delete;

    // Called right before and right after each step.
    std::function<void(LifeStep)> beforeStep;
    std::function<void(LifeStep)> afterStep;

    // The steps up to the application requests, the restart, then the
    // removal; false when the stick could not be plugged.
    void Live(bool surpriseRemoval);

    // The steps one at a time.
    bool Plug();
    bool OpenApp();
    // Ends the reader's start-up wait on the simulated clock and waits for the
    // emulated controller to be configured and a read to be outstanding.
    bool StartReader();
    // The six control codes, then requests the filter passes down: a device
    // control it does not answer, an internal device control, and a class
    // driver's read through an MDL of the emulated controller.
    bool AppRequests();
    bool PassDown();
    bool Restart();
    void RemoveOrderly();
    void RemoveBySurprise();

    // Sends a stick report that changes the state and waits for the game to
    // read it; false when it does not arrive (bounded).
    bool ReportReachesGame();

    sim::pnp::Stack::DeviceId Id() const { return id_; }
    bool Plugged() const { return plugged_; }
    // Whether an emulated controller of the stick is running.
    bool HasController();
    // The class driver's instance on the current emulated controller, or null.
    std::shared_ptr<sim::xbox::Controller> Controller();
    // What the steps refused, as "step: what (status)"; a refusal is the
    // failure reported to whoever asked.
    const std::vector<std::string>& Refusals() const { return refusals_; }
    // Probes that found reports not reaching the game, as "after step".
    const std::vector<std::string>& Outages() const { return outages_; }

  private:
    void Refused(LifeStep step, const std::string& what, NTSTATUS status);
    void Probe(LifeStep after);
    bool ReaderAlive() const;

    sim::pnp::Stack* stack_;
    sim::kernel::SimulatedClock* clock_;
    uint16_t productId_;
    sim::pnp::Stack::DeviceId id_ = 0;
    bool plugged_ = false;
    bool removed_ = false;
    std::vector<std::unique_ptr<sim::app::Companion>> apps_;
    unsigned reportsSent_ = 0;
    std::vector<std::string> refusals_;
    std::vector<std::string> outages_;
};

} // namespace quillex_test
