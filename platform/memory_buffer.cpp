#include "platform/memory_buffer.h"

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS QuillexAllocMemory(WDFOBJECT Parent,
                                                                  PMEMORY_BUFFER Pair,
                                                                  size_t Size) {
    PAGED_CODE();

    if (Pair == NULL || Size == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Pair->Memory = NULL;
    Pair->Buffer = NULL;
    Pair->Size = 0;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Parent;

    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, QUILLEX_POOL_TAG, Size,
                                      &Pair->Memory, &Pair->Buffer);
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(Pair->Buffer, Size);
        Pair->Size = Size;
    } else {
        Pair->Memory = NULL;
        Pair->Buffer = NULL;
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS QuillexReleaseMemory(PMEMORY_BUFFER Pair) {
    if (Pair == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Pair->Memory != NULL) {
        WdfObjectDelete(Pair->Memory);
    }
    Pair->Memory = NULL;
    Pair->Buffer = NULL;
    Pair->Size = 0;
    return STATUS_SUCCESS;
}
