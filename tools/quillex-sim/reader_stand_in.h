// Stands in for the HID reader pipeline on a real function device, which is
// not built yet: the buffers HID setup allocates (owned by the device), per
// raw report the decode and, on a change, the composition the read
// completion does, and what the reader thread does with the emulated
// controller: creating it once after the hardware start, and handing it every
// composed report. quillex-sim calls these from a PASSIVE_LEVEL thread of its
// own that plays the reader thread.
#pragma once

#include <stdint.h>

#include <vector>

#include "driver/device_context.h"

class ReaderStandIn {
  public:
    // Allocates the raw report buffer (reportLength + 1 bytes) and the analog
    // values array on the device, as HID setup does.
    ReaderStandIn(PDEVICE_CONTEXT context, size_t reportLength);

    bool Ok() const { return ok_; }
    // Copies the raw report in and decodes it with the decoder the device's
    // product id selects; composes XusbInputReport when the state changed.
    // *changed says whether it did.
    NTSTATUS Feed(const std::vector<uint8_t>& raw, bool* changed);
    const ULONG* Analog() const;

    // Creates the emulated controller (Bus_XusbCreatePdo) unless it was asked
    // for since the hardware start.
    NTSTATUS CreateController();
    // Hands the last composed report to the emulated controller
    // (HandleXusbInputReport).
    NTSTATUS DeliverReport();

  private:
    PDEVICE_CONTEXT context_;
    bool ok_ = false;
    UCHAR report_[XUSB_INPUT_REPORT_LENGTH] = {};
};
