// Requests a function-driver peer sends down its stack and waits for, as a
// WDM driver does with a completion routine that hands the IRP back.
#pragma once

#include <chrono>

#include "ntddk.h"
#include "usb.h"

namespace sim::peers {

// How long the device below may keep a request its driver waits for before
// the simulation gives up on it.
inline constexpr std::chrono::seconds kRequestLimit{10};

// Makes the IRP's next stack location a submission of 'urb'.
void FormatUrbSubmission(PIRP irp, PURB urb);

// Sends the IRP to 'lower', raised to 'irql' for the call when that is above
// the caller's, and waits until it is back (its completion routine keeps it:
// the IRP is the caller's again). Returns its status. A request the device
// keeps past kRequestLimit stops the program with 'who' and what it is.
NTSTATUS SendAndWait(PDEVICE_OBJECT lower, PIRP irp, KIRQL irql, const char* who);

} // namespace sim::peers
