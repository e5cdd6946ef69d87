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
// 'failure' is what the call can really end with on Windows when it does not
// succeed (STATUS_INSUFFICIENT_RESOURCES unless given; STATUS_ALERTED for an
// alertable wait ...), or STATUS_SUCCESS when it cannot fail at all (a
// non-alertable wait without time-out): an observer fails only calls that can.
bool ShouldFail(const char* service, NTSTATUS* status);
bool ShouldFail(const char* service, NTSTATUS* status, NTSTATUS failure);

// Sees every call of every service that can fail, after the armings above
// have passed it, from the calling thread and without any lock of the
// simulator held: a test that picks the call to fail by where it comes from
// (the driver's call site) rather than by its number.
class Observer {
  public:
    virtual ~Observer() = default;
    // True when this call must fail; *status then holds what it returns.
    virtual bool OnCall(const char* service, NTSTATUS failure, NTSTATUS* status) = 0;
};
// One observer at a time; null removes it. The caller keeps it alive until
// it is removed and no call can still be inside it.
void SetObserver(Observer* observer);

// Resets on construction and on destruction, so each test starts clean.
class Scope {
  public:
    Scope() { Reset(); }
    ~Scope() { Reset(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

} // namespace sim::fault
