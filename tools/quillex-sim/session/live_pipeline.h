// The driver's own reader pipeline on a plugged stick, as quillex-sim drives
// it: the device is opened as the companion application opens it, which
// starts the driver's reader thread; its start-up wait is passed on the
// simulated clock; the stick's reports then go to its HID collection, and
// the reader decodes, composes and delivers them to the emulated controller.
#pragma once

#include <stdint.h>

#include <array>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/device_context.h"
#include "sim/io/file.h"
#include "sim/kernel/clock.h"
#include "sim/peers/stick/stick.h"
#include "sim/pnp/stack.h"

class LivePipeline {
  public:
    LivePipeline(sim::pnp::Stack& stack, sim::pnp::Stack::DeviceId id, PDEVICE_CONTEXT ctx);
    // Closes the application's handle.
    ~LivePipeline();
    LivePipeline(const LivePipeline&) = delete;
    LivePipeline& operator=(const LivePipeline&) = delete;

    // Opens the device and lets the reader through its start-up wait; once
    // it has created the emulated controller and sent its first read,
    // STATUS_SUCCESS. Otherwise what went wrong (the open's status, or
    // STATUS_DEVICE_NOT_READY when the reader never got to read).
    NTSTATUS Start();

    // The stick sends 'raw'; returns once the reader has handled it and
    // sent its next read. *changed says whether the decoded state changed
    // (and so a report was composed and handed to the controller).
    NTSTATUS Feed(const std::vector<uint8_t>& raw, bool* changed);

    // Moves the simulated clock to 'since' after Start() (never back), and
    // lets the reader serve each turbo deadline on the way: each turbo
    // report is handed over before the clock moves past it, so a session
    // shows the same presses however fast the machine is.
    void AdvanceTo(std::chrono::nanoseconds since);

    // The decoded state and the composed report, read under the state lock.
    ULONG Buttons() const;
    std::array<ULONG, ANALOG_VALUE_COUNT> Analog() const;
    std::array<UCHAR, XUSB_INPUT_REPORT_LENGTH> Report() const;

  private:
    bool ReaderWaiting() const;

    sim::pnp::Stack& stack_;
    sim::pnp::Stack::DeviceId id_;
    PDEVICE_CONTEXT ctx_;
    sim::kernel::SimulatedClock clock_;
    LONGLONG startedAt_ = 0; // the simulated time Start() ended at
    sim::io::File app_;
    std::unique_ptr<sim::stick::Stick> stick_;
};
