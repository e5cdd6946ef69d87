// Fault injection: make the Nth call of a chosen service fail.
//
// Services call ShouldFail() on entry with their own name ("WdfMemoryCreate",
// "ZwSetValueKey", ...). A test arms a service with FailNthCall(); the count
// starts at the arming, so FailNthCall("WdfMemoryCreate", 1) fails the very
// next call. The status is what the service returns instead of doing its work.
#pragma once

#include "km/ntdef.h"

namespace sim::fault {

void FailNthCall(const char* service, unsigned nth, NTSTATUS status);
// Every call from the nth on fails, until the service is armed again or Reset().
void FailFromNthCall(const char* service, unsigned nth, NTSTATUS status);
// Disarms every service and zeroes the call counts.
void Reset();
// Calls of the service since the last arming or Reset().
unsigned CallCount(const char* service);

// For services: true when this call must fail; *status then holds the status.
bool ShouldFail(const char* service, NTSTATUS* status);

// Resets on construction and on destruction, so each test starts clean.
class Scope {
  public:
    Scope() { Reset(); }
    ~Scope() { Reset(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

} // namespace sim::fault
