// Pool accounting and the special pool's checks, for tests and the verifier.
#pragma once

#include <map>

#include "ntddk.h"

namespace sim::pool {

// A new pool block holds kAllocatedFill, as stale memory would (only
// ExAllocatePool2 zeroes). Every pool block has guard bytes after it, checked
// when it is freed (and poisoned for AddressSanitizer, so that a read past the
// block is reported too); a freed block is filled with kFreedFill and kept
// aside for a while, so that a write into it is caught when it leaves that
// quarantine, and a spin lock or list inside it is recognised as freed memory.
inline constexpr UCHAR kGuardFill = 0xB7;
// What a new block holds before its owner writes it: pool is not zeroed.
inline constexpr UCHAR kAllocatedFill = 0xA9;
inline constexpr UCHAR kFreedFill = 0xDF;

// Blocks currently allocated with this tag.
size_t OutstandingBlocks(ULONG tag);
// Blocks currently allocated, whatever their tag.
size_t OutstandingBlocks();
// Blocks currently allocated, by tag (tags with none left out).
std::map<ULONG, size_t> OutstandingBlocksByTag();

// Checks every freed block still in quarantine and forgets them all; stops
// the program when one was written after it was freed.
void CheckFreedBlocks();

// Whether 'address' lies in a freed block still in quarantine.
bool IsFreed(const void* address);

// The simulator's own allocations that live in pool as on Windows (framework
// object contexts): no fault injection, no IRQL rule, same checks on free.
void* AllocateForSystem(SIZE_T bytes, ULONG tag);
void FreeForSystem(void* block, ULONG tag);

} // namespace sim::pool
