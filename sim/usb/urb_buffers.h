// Where a URB's data lives, for the I/O manager's side of the USB stack.
#pragma once

#include "ntddk.h"
#include "usb.h"

namespace sim::usb {

// The MDL a URB carries for its transfer buffer, or nullptr when its function
// moves no data or it is too short to hold the field.
PMDL TransferMdlOf(const URB* urb);

// The URB an IRP carries at its current stack location, or nullptr when the
// IRP is no URB submission.
PURB UrbOf(PIRP irp);

} // namespace sim::usb
