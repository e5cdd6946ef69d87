// The PnP manager's own requests: a PnP IRP down a whole device stack.
#pragma once

#include <functional>

#include "ntddk.h"
#include "sim/io/sync_call.h"

namespace sim::pnp {

// Sends IRP_MJ_PNP with 'minor' to the top of the stack over 'pdo' and waits
// for it. 'parameters' fills the stack location's parameters. The IRP comes
// from the PnP manager's reserve (the system does not fail its own PnP
// requests) and starts with STATUS_NOT_SUPPORTED, as Windows sends them.
io::IoResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& parameters = {});

} // namespace sim::pnp
