// The I/O manager's side of IRPs, for the simulator's own services.
#pragma once

#include <functional>

#include "ntddk.h"

namespace sim::io {

// Runs once the IRP has been completed through every stack location (after
// all completion routines, unless one of them stopped the completion). The
// I/O manager uses it to finish a request it built; it runs at the IRQL of
// the completing thread.
void SetFinalCompletion(PIRP irp, std::function<void(PIRP)> done);

// Whether the IRP has been completed back to its originator.
bool IsCompleted(PIRP irp);

// An IRP from the I/O manager's reserve, for the requests that may not fail
// (cleanup and close of a file): neither pool nor fault injection touches it.
PIRP AllocateIrpMustSucceed(CCHAR stackSize);

} // namespace sim::io
