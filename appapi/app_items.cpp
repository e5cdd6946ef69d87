// The application state block read and written whole or one data item at a
// time. Every write is pushed to the emulated controller (app_push.cpp).
#include "appapi/app_data.h"

namespace {

inline bool IsButtonItem(ULONG DataItemId) {
    return DataItemId >= QUILLEX_ITEM_BTN_A && DataItemId <= QUILLEX_ITEM_BTN_LEFT_TRIANGLE;
}

inline bool IsFieldItem(ULONG DataItemId) {
    return DataItemId >= QUILLEX_ITEM_RIGHT_STICK_Y && DataItemId <= QUILLEX_ITEM_LED;
}

// The 32-bit field of items 14 to 21.
ULONG* FieldOf(APP_INSTANCE* Instance, ULONG DataItemId) {
    switch (DataItemId) {
    case QUILLEX_ITEM_RIGHT_STICK_Y:
        return &Instance->RightStickY;
    case QUILLEX_ITEM_RIGHT_STICK_X:
        return &Instance->RightStickX;
    case QUILLEX_ITEM_LEFT_STICK_X:
        return &Instance->LeftStickX;
    case QUILLEX_ITEM_LEFT_STICK_Y:
        return &Instance->LeftStickY;
    case QUILLEX_ITEM_DPAD:
        return &Instance->Dpad;
    case QUILLEX_ITEM_FIRST_TRIGGER:
        return &Instance->FirstTrigger;
    case QUILLEX_ITEM_SECOND_TRIGGER:
        return &Instance->SecondTrigger;
    default:
        return &Instance->Led;
    }
}

// Reads an unaligned little-endian number of Bytes bytes (1, 2 or 4).
ULONG ReadValue(const VOID* Value, ULONG Bytes) {
    const UCHAR* b = static_cast<const UCHAR*>(Value);
    ULONG v = 0;
    for (ULONG i = 0; i < Bytes; ++i) {
        v |= static_cast<ULONG>(b[i]) << (8 * i);
    }
    return v;
}

} // namespace

_Use_decl_annotations_ ULONG AppApi_GetDataSize(ULONG DataItemId) {
    if (IsButtonItem(DataItemId)) {
        return 1;
    }
    if (DataItemId == QUILLEX_ITEM_LED) {
        return 2;
    }
    if (IsFieldItem(DataItemId) || AppApi_IsSettingItem(DataItemId)) {
        return 4;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                "Quillex!AppApi_GetDataSize: Error - Unknown DataItemId (%u)\n", DataItemId);
    return 0;
}

_Use_decl_annotations_ NTSTATUS AppApi_GetInstance(const APP_INSTANCE* Instance, ULONG Size,
                                                   PVOID Out) {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_GetInstance: ++\n");
    NTSTATUS status = STATUS_SUCCESS;
    if (Instance == NULL || Out == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Size < sizeof(APP_INSTANCE)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(Out, Instance, sizeof(APP_INSTANCE));
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_GetInstance: -- %x\n", status);
    return status;
}

_Use_decl_annotations_ NTSTATUS AppApi_GetInstanceItem(const APP_INSTANCE* Instance,
                                                       ULONG DataItemId, ULONG Size, PVOID Out) {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_GetInstanceItem: ++ Item %u\n",
                DataItemId);
    NTSTATUS status = STATUS_SUCCESS;
    // The LED's size is 2, but it is written as a 32-bit number like the
    // other fields: the buffer must hold what is written, not the size.
    const ULONG written = IsFieldItem(DataItemId) ? sizeof(ULONG) : AppApi_GetDataSize(DataItemId);
    if (Instance == NULL || Out == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (written > Size) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (IsButtonItem(DataItemId)) {
        *static_cast<UCHAR*>(Out) = Instance->Buttons[DataItemId - QUILLEX_ITEM_BTN_A];
    } else if (IsFieldItem(DataItemId)) {
        const ULONG value = *FieldOf(const_cast<APP_INSTANCE*>(Instance), DataItemId);
        RtlCopyMemory(Out, &value, sizeof(value));
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!AppApi_GetInstanceItem: Error - Unknown DataItemId (%u)\n",
                    DataItemId);
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_GetInstanceItem: -- %x\n",
                status);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS AppApi_SetInstance(PDEVICE_CONTEXT Context,
                                                                  PAPP_INSTANCE Instance,
                                                                  ULONG Size, const VOID* In) {
    PAGED_CODE();
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_SetInstance: ++\n");
    NTSTATUS status;
    if (Context == NULL || Instance == NULL || In == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (Size < sizeof(APP_INSTANCE)) {
        // The control path always passes 48 bytes; a shorter block is not
        // read past its end.
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        // The block pushed is the one sent, not the stored one read again:
        // the reader's refresh may have rewritten that in between, and
        // pushing it would drive the stick's state with its triggers
        // exchanged (the refresh and the push take the triggers crosswise).
        APP_INSTANCE block;
        RtlCopyMemory(&block, In, sizeof(block));
        KIRQL irql;
        KeAcquireSpinLock(&Context->StateLock, &irql);
        // No field's range is checked on this path: the block is taken as sent.
        RtlCopyMemory(Instance, &block, sizeof(block));
        KeReleaseSpinLock(&Context->StateLock, irql);
        status = AppApi_AppToQuillex(Context, &block);
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_SetInstance: -- %x\n", status);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS AppApi_SetInstanceItem(PDEVICE_CONTEXT Context,
                                                                      PAPP_INSTANCE Instance,
                                                                      ULONG DataItemId, ULONG Size,
                                                                      const VOID* Value) {
    PAGED_CODE();
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_SetInstanceItem: ++ Item %u\n",
                DataItemId);
    if (Context == NULL || Instance == NULL || Value == NULL) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_SetInstanceItem: -- %x\n",
                    STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_SUCCESS;
    const ULONG itemSize =
        IsButtonItem(DataItemId) || IsFieldItem(DataItemId) ? AppApi_GetDataSize(DataItemId) : 0;
    ULONG value = 0;
    if (Size < itemSize) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!AppApi_SetInstanceItem: Error - Buffer too small\n");
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (itemSize == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!AppApi_SetInstanceItem: Error - Unknown DataItemId (%u)\n",
                    DataItemId);
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        value = ReadValue(Value, itemSize);
        if (DataItemId == QUILLEX_ITEM_DPAD && value > QUILLEX_DPAD_MAX) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                        "Quillex!AppApi_SetInstanceItem: Error - DPAD value (%u) out of range\n",
                        value);
            status = STATUS_INVALID_PARAMETER;
        } else if (DataItemId == QUILLEX_ITEM_LED && value > QUILLEX_LED_MAX) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                        "Quillex!AppApi_SetInstanceItem: Error - Invalid LED state (%u)\n", value);
            status = STATUS_INVALID_PARAMETER;
        }
    }

    if (NT_SUCCESS(status)) {
        APP_INSTANCE block;
        KIRQL irql;
        KeAcquireSpinLock(&Context->StateLock, &irql);
        if (IsButtonItem(DataItemId)) {
            Instance->Buttons[DataItemId - QUILLEX_ITEM_BTN_A] = value != 0 ? 1 : 0;
        } else {
            *FieldOf(Instance, DataItemId) = value;
        }
        // The block as this write left it, whatever the refresh does next.
        RtlCopyMemory(&block, Instance, sizeof(block));
        KeReleaseSpinLock(&Context->StateLock, irql);
        // Every accepted write pushes the whole block.
        status = AppApi_AppToQuillex(Context, &block);
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_SetInstanceItem: -- %x\n",
                status);
    return status;
}
