// A device context with the decoder's buffers, outside any device stack:
// what the reader pipeline sets up, enough to replay raw reports and, with a
// driver, to compose the Xbox reports they lead to.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/device_context.h"

class DecodeSession {
  public:
    // With a driver, the context belongs to it as a device's would, and the
    // mapping can be loaded from the driver's registry key.
    DecodeSession(uint32_t productId, size_t reportLength, WDFDRIVER driver = nullptr);
    ~DecodeSession();
    DecodeSession(const DecodeSession&) = delete;
    DecodeSession& operator=(const DecodeSession&) = delete;

    bool Ok() const { return context_ != nullptr; }
    PDEVICE_CONTEXT Context() { return context_; }
    // Copies the raw report into the input buffer and decodes it with the
    // decoder the product id selects.
    NTSTATUS Decode(const std::vector<uint8_t>& raw);
    const ULONG* Analog() const;

    // Prepares and loads the mapping as device add does: TorvaXboxMappingInit,
    // then TorvaXboxMappingInitRemap. Needs a driver.
    NTSTATUS LoadMapping();
    // Composes the Xbox report for the decoded state into XusbInputReport.
    NTSTATUS Compose();

  private:
    WDFOBJECT owner_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
};
