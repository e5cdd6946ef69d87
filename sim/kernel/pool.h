// Pool accounting, for tests and the verifier.
#pragma once

#include "ntddk.h"

namespace sim::pool {

// Blocks currently allocated with this tag.
size_t OutstandingBlocks(ULONG tag);
// The tag and pool type a live block was allocated with.
bool Describe(const void* block, ULONG* tag, POOL_TYPE* type, SIZE_T* size);

} // namespace sim::pool
