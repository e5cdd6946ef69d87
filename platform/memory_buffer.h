// Device-owned buffers: a framework memory object and its buffer.
#pragma once

#include "platform/platform.h"

// Memory, Buffer and Size are set together and cleared together. Size lets
// every reader bound its accesses by what was really allocated.
typedef struct _MEMORY_BUFFER {
    WDFMEMORY Memory; // null when absent
    PVOID Buffer;     // null when absent
    size_t Size;      // bytes in Buffer, 0 when absent
} MEMORY_BUFFER, *PMEMORY_BUFFER;

// Allocates Size zeroed non-paged bytes owned by Parent into Pair.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    QuillexAllocMemory(_In_opt_ WDFOBJECT Parent, _Out_ PMEMORY_BUFFER Pair, _In_ size_t Size);

// Deletes the memory object if there is one and clears the pair; releasing an
// empty pair does nothing, so a release may run any number of times.
NTSTATUS QuillexReleaseMemory(_Inout_opt_ PMEMORY_BUFFER Pair);
