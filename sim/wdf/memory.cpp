#include "sim/wdf/memory.h"

#include "sim/core/fault.h"
#include "sim/core/verifier.h"

namespace sim::wdf {

Memory::~Memory() {
    if (ownsBuffer && buffer != nullptr) {
        ExFreePoolWithTag(buffer, poolTag);
    }
}

MemoryInfo DescribeMemory(WDFMEMORY memory) {
    auto* m = LookupAs<Memory>(memory, Kind::Memory, "DescribeMemory");
    return MemoryInfo{m->poolType, m->poolTag, m->size};
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* MemoryHandle, PVOID* Buffer) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (PoolType == PagedPool && irql > APC_LEVEL)) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "WdfMemoryCreate",
                          "pool type %d requested at IRQL %u", PoolType, irql);
    }
    if (MemoryHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *MemoryHandle = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfMemoryCreate", &status)) {
        return status;
    }
    auto* memory = new Memory();
    memory->poolType = PoolType;
    memory->poolTag = PoolTag != 0 ? PoolTag : 'FDW';
    memory->size = BufferSize;
    memory->buffer = ExAllocatePoolWithTag(PoolType, BufferSize, memory->poolTag);
    if (memory->buffer == nullptr) {
        delete memory;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = Attach(memory, Attributes, DriverRoot(), "WdfMemoryCreate");
    if (!NT_SUCCESS(status)) {
        delete memory;
        return status;
    }
    *MemoryHandle = memory->HandleAs<WDFMEMORY>();
    if (Buffer != nullptr) {
        *Buffer = memory->buffer;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                     size_t BufferSize, WDFMEMORY* MemoryHandle) {
    if (MemoryHandle == nullptr || Buffer == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *MemoryHandle = nullptr;
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfMemoryCreatePreallocated", &status)) {
        return status;
    }
    auto* memory = new Memory();
    memory->buffer = Buffer;
    memory->size = BufferSize;
    memory->ownsBuffer = false;
    status = Attach(memory, Attributes, DriverRoot(), "WdfMemoryCreatePreallocated");
    if (!NT_SUCCESS(status)) {
        delete memory;
        return status;
    }
    *MemoryHandle = memory->HandleAs<WDFMEMORY>();
    return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY MemoryHandle, size_t* BufferSize) {
    auto* memory = LookupAs<Memory>(MemoryHandle, Kind::Memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr) {
        *BufferSize = memory->size;
    }
    return memory->buffer;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                               size_t NumBytesToCopyTo) {
    auto* memory = LookupAs<Memory>(SourceMemory, Kind::Memory, "WdfMemoryCopyToBuffer");
    if (Buffer == nullptr || SourceOffset > memory->size ||
        NumBytesToCopyTo > memory->size - SourceOffset) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    memcpy(Buffer, static_cast<char*>(memory->buffer) + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                 PVOID Buffer, size_t NumBytesToCopyFrom) {
    auto* memory = LookupAs<Memory>(DestinationMemory, Kind::Memory, "WdfMemoryCopyFromBuffer");
    if (Buffer == nullptr || DestinationOffset > memory->size ||
        NumBytesToCopyFrom > memory->size - DestinationOffset) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    memcpy(static_cast<char*>(memory->buffer) + DestinationOffset, Buffer, NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}

} // extern "C"
