// The arcade settings and the interface version as data items: read and
// written by id like the fields of the block, but kept with the mapping and
// saved, never pushed to the emulated controller.
#include "appapi/app_data.h"

#include "mapping/arcade_store.h"

_Use_decl_annotations_ BOOLEAN AppApi_IsSettingItem(ULONG DataItemId) {
    return DataItemId >= QUILLEX_ITEM_SETTINGS_FIRST && DataItemId <= QUILLEX_ITEM_SETTINGS_LAST;
}

_Use_decl_annotations_ NTSTATUS AppApi_GetSettingItem(PDEVICE_CONTEXT Context, ULONG DataItemId,
                                                      ULONG Size, PVOID Out) {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_GetSettingItem: ++ Item %u\n",
                DataItemId);
    NTSTATUS status;
    ULONG value = 0;
    if (Context == NULL || Out == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Size < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        status = TorvaXboxMappingGetSetting(Context, DataItemId, &value);
        if (NT_SUCCESS(status)) {
            RtlCopyMemory(Out, &value, sizeof(value));
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                        "Quillex!AppApi_GetSettingItem: Error - Unknown DataItemId (%u)\n",
                        DataItemId);
        }
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_GetSettingItem: -- %x\n", status);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS AppApi_SetSettingItem(PDEVICE_CONTEXT Context,
                                                                     ULONG DataItemId, ULONG Size,
                                                                     const VOID* Value) {
    PAGED_CODE();
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_SetSettingItem: ++ Item %u\n",
                DataItemId);
    NTSTATUS status;
    if (Context == NULL || Value == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Size < sizeof(ULONG)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!AppApi_SetSettingItem: Error - Buffer too small\n");
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (DataItemId == QUILLEX_ITEM_INTERFACE_VERSION) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!AppApi_SetSettingItem: Error - Item %u is read-only\n", DataItemId);
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        ULONG value;
        RtlCopyMemory(&value, Value, sizeof(value));
        status = TorvaXboxMappingSetSetting(Context, DataItemId, value);
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_SetSettingItem: -- %x\n", status);
    return status;
}
