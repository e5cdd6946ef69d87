// A device context with the decoder's buffers, outside any device stack:
// what the reader pipeline sets up, enough to replay raw reports.
#pragma once

#include <stdint.h>

#include <vector>

#include "driver/device_context.h"

class DecodeSession {
  public:
    DecodeSession(uint32_t productId, size_t reportLength);
    ~DecodeSession();
    DecodeSession(const DecodeSession&) = delete;
    DecodeSession& operator=(const DecodeSession&) = delete;

    bool Ok() const { return context_ != nullptr; }
    PDEVICE_CONTEXT Context() { return context_; }
    // Copies the raw report into the input buffer and decodes it with the
    // decoder the product id selects.
    NTSTATUS Decode(const std::vector<uint8_t>& raw);
    const ULONG* Analog() const;

  private:
    WDFOBJECT owner_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
};
