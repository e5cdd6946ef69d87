// System mappings of MDLs as the special pool gives them: each mapping is a
// view of its own holding exactly the MDL's ByteCount bytes, with guard bytes
// after them, so that a driver that writes (or, under AddressSanitizer,
// reads) past what the MDL describes is caught even when the buffer behind it
// is larger. The view and the pages it describes are made to agree at the
// points where, on Windows, the data would be seen by someone else: when an
// IRP carrying the MDL is sent or completed, and when the mapping goes away.
#pragma once

#include "ntddk.h"

namespace sim::mdl {

// Maps the MDL's bytes into a view of their own, filled from the pages, and
// returns it; nullptr when memory runs out.
PVOID CreateMapping(PMDL mdl);

// Tears the mapping down: stops the program when its guard bytes were
// written, writes back to the pages what was written through the view since
// the two last agreed, and frees the view. Does nothing for an unmapped MDL.
void ReleaseMapping(PMDL mdl, const char* api);

// When an IRP is sent on and when it is completed, for every MDL it carries
// (its MdlAddress chain and those the finders below name): checks the guard
// and brings the view and the pages into agreement, each taking what the
// other side wrote since they last agreed.
void SynchroniseIrpMappings(PIRP irp, const char* api);

// An MDL that an IRP carries inside its parameters, where the kernel does not
// look: the layer that defines those parameters registers a finder (sim/usb
// names a URB's transfer MDL). A finder returns nullptr for IRPs it does not
// know. At most kMaxIrpMdlFinders; registering the same finder twice is one.
using IrpMdlFinder = PMDL (*)(PIRP irp);
inline constexpr size_t kMaxIrpMdlFinders = 4;
void RegisterIrpMdlFinder(IrpMdlFinder finder);

// Mappings currently in place, for tests.
size_t LiveMappings();

} // namespace sim::mdl
