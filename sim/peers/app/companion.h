// The companion application, as a Windows program writes it: it opens a
// stick's device interface with CreateFile and talks to the driver with
// DeviceIoControl and the control codes and payloads of the public header,
// nothing else. Each call returns whether it succeeded; LastError() and
// LastStatus() say why not.
#pragma once

#include <string>

#include "sim/win32/fileapi.h"

#include "appapi/quillex_public.h"

namespace sim::app {

class Companion {
  public:
    Companion() = default;
    ~Companion();
    Companion(const Companion&) = delete;
    Companion& operator=(const Companion&) = delete;

    // GENERIC_READ is what every control code needs.
    bool Open(const std::string& interfacePath, DWORD access = GENERIC_READ | GENERIC_WRITE);
    void Close();
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool GetState(APP_INSTANCE* state);
    bool SetState(const APP_INSTANCE& state);
    // The 4-byte reply of GET_VALUE as it came back (a button's byte is the
    // first, then the rest of the id).
    bool GetValue(ULONG dataItemId, UCHAR reply[4]);
    // The value's bytes, little-endian; an item reads as many as its size.
    bool SetValue(ULONG dataItemId, ULONG value);
    bool GetMapping(REMAP_RECORD* mapping);
    bool SetMapping(const REMAP_RECORD& mapping);

    // Any control code with any buffers, as DeviceIoControl takes them.
    bool Control(ULONG code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
                 DWORD* returned = nullptr);

    DWORD LastError() const { return lastError_; }
    NTSTATUS LastStatus() const { return lastStatus_; }
    // The length the last request returned.
    DWORD LastReturned() const { return lastReturned_; }

  private:
    bool Finish(BOOL ok);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD lastError_ = ERROR_SUCCESS;
    NTSTATUS lastStatus_ = STATUS_SUCCESS;
    DWORD lastReturned_ = 0;
};

} // namespace sim::app
