// Stands in for the HID reader pipeline on a real function device: the
// buffers HID setup allocates (owned by the device), and per raw report the
// decode and, on a change, the composition the read completion does.
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

  private:
    PDEVICE_CONTEXT context_;
    bool ok_ = false;
};
