// IRPs the I/O manager builds for its callers and waits for: the buffers laid
// out for each transfer method, the answer copied back, the IRP freed.
#pragma once

#include <functional>

#include "ntddk.h"

namespace sim::io {

struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// Sends 'irp' to 'device' and blocks until its final completion. 'finish'
// runs at completion, before the IRP is freed (to copy an answer back).
IoResult CallAndWait(PDEVICE_OBJECT device, PIRP irp, std::function<void(PIRP)> finish = {});

// Lays out the buffers of a device control IRP whose next stack location is
// already set up (major function, code and lengths), as the code's transfer
// method asks, and returns what must run at completion to copy the answer
// into 'output' and release the system buffer. Fails for the direct methods,
// whose output travels in an MDL.
NTSTATUS LayOutIoctlBuffers(PIRP irp, ULONG code, const void* input, ULONG inputLength,
                            void* output, ULONG outputLength, std::function<void(PIRP)>* finish);

// The same for a read or write on 'device' (buffered or neither I/O, by the
// device's flags).
NTSTATUS LayOutTransferBuffers(PIRP irp, PDEVICE_OBJECT device, bool isWrite, void* buffer,
                               ULONG length, std::function<void(PIRP)>* finish);

// Whether an IRP's status still carries data back (success or warning).
inline bool CarriesData(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) != 3;
}

} // namespace sim::io
