// The application's data items: the state block read and written whole or
// one item at a time, the push of every write to the emulated controller, and
// the refresh of the block from the stick's decoded state.
//
// The block is the device's AppInstance. Every routine that reads or writes
// it, or the decoded state, does so under the device's StateLock; the ones
// without a context (the two getters) are called by the control dispatch
// with that lock held.
#pragma once

#include "platform/device_context.h"

// Size in bytes of a data item: 1 for the buttons (1 to 13), 4 for the axes,
// D-pad and triggers (14 to 20), 2 for the LED (21), 0 for an id that names
// no item.
ULONG AppApi_GetDataSize(_In_ ULONG DataItemId);

// Copies the 48-byte block to Out. STATUS_BUFFER_TOO_SMALL when Size is below
// 48. The caller holds the device's StateLock.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    AppApi_GetInstance(_In_opt_ const APP_INSTANCE* Instance, _In_ ULONG Size,
                       _Out_writes_bytes_opt_(Size) PVOID Out);

// Writes one item to Out: a button's byte, or a 32-bit field (the LED too, so
// Out must hold 4 bytes for items 14 to 21). STATUS_BUFFER_TOO_SMALL when
// Size is below what is written, STATUS_INVALID_DEVICE_REQUEST for an id that
// names no item; nothing is written then. The caller holds the StateLock.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    AppApi_GetInstanceItem(_In_opt_ const APP_INSTANCE* Instance, _In_ ULONG DataItemId,
                           _In_ ULONG Size, _Out_writes_bytes_opt_(Size) PVOID Out);

// Copies 48 bytes from In over the block, unchecked, and pushes it.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AppApi_SetInstance(_In_opt_ PDEVICE_CONTEXT Context, _Inout_opt_ PAPP_INSTANCE Instance,
                       _In_ ULONG Size, _In_reads_bytes_opt_(Size) const VOID* In);

// Checks and stores one item from Value (Size bytes; an item reads as many
// as its size), then pushes the block. Refused, with the block unchanged and
// nothing pushed: STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_DEVICE_REQUEST (no
// such item), STATUS_INVALID_PARAMETER (D-pad above 8, LED above 3).
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AppApi_SetInstanceItem(_In_opt_ PDEVICE_CONTEXT Context, _Inout_opt_ PAPP_INSTANCE Instance,
                           _In_ ULONG DataItemId, _In_ ULONG Size,
                           _In_reads_bytes_opt_(Size) const VOID* Value);

// The push: the block becomes the decoded state, a report is composed from it
// and handed to the emulated controller. STATUS_SUCCESS also when the report
// found the controller not polling, or no controller (it reads the state at
// its next poll); STATUS_DEVICE_NOT_READY while the decoded state does not
// exist (the stick is not started): then nothing is written or sent.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AppApi_AppToQuillex(_In_opt_ PDEVICE_CONTEXT Context, _In_opt_ const APP_INSTANCE* Instance);

// The refresh: the block follows the decoded state, and its Led is the index
// of the LED state the class driver last set. STATUS_DEVICE_NOT_READY, with
// the block unchanged, while the decoded state does not exist.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    AppApi_QuillexToApp(_In_opt_ PDEVICE_CONTEXT Context, _Inout_opt_ PAPP_INSTANCE Instance);

// The arcade settings and the interface version (ids 22 to 26), which are
// no fields of the block: TRUE for their ids.
BOOLEAN AppApi_IsSettingItem(_In_ ULONG DataItemId);

// Writes a setting or the interface version to Out as a 32-bit number.
// STATUS_BUFFER_TOO_SMALL when Size is below 4, nothing written.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    AppApi_GetSettingItem(_In_opt_ PDEVICE_CONTEXT Context, _In_ ULONG DataItemId, _In_ ULONG Size,
                          _Out_writes_bytes_opt_(Size) PVOID Out);

// Sets a setting from Value's 32-bit number (Size at least 4): checked,
// applied and saved; nothing is pushed. STATUS_INVALID_PARAMETER out of
// range, STATUS_INVALID_DEVICE_REQUEST for the read-only interface version,
// otherwise the status of the save.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AppApi_SetSettingItem(_In_opt_ PDEVICE_CONTEXT Context, _In_ ULONG DataItemId, _In_ ULONG Size,
                          _In_reads_bytes_opt_(Size) const VOID* Value);
