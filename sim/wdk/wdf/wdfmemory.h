// KMDF memory objects.
#pragma once

#include "wdf/wdfobject.h"

typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

extern "C" {
NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer);
NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                     size_t BufferSize, WDFMEMORY* Memory);
PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize);
NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                               size_t NumBytesToCopyTo);
NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                 PVOID Buffer, size_t NumBytesToCopyFrom);
}
