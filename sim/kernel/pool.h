// Pool accounting, for tests and the verifier.
#pragma once

#include "ntddk.h"

namespace sim::pool {

// Blocks currently allocated with this tag.
size_t OutstandingBlocks(ULONG tag);

} // namespace sim::pool
