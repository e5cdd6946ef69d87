// The arcade settings beside the mapping record: their ranges, their REG_DWORD
// values under \Parameters\Remap, and their reads and writes by item id.
#pragma once

#include "driver/device_context.h"

// TRUE for the ids of the four settings (not the interface version).
BOOLEAN ArcadeIsSettingItem(_In_ ULONG DataItemId);

// Loads the settings from an open Remap key over the defaults and puts them in
// force. A value is taken only as a 4-byte REG_DWORD within its range; any
// other is traced with its name (level 2) and the default stays.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID
    TorvaXboxMappingLoadArcade(_Inout_ PDEVICE_CONTEXT Context, _In_opt_ HANDLE KeyHandle);

// Writes every setting to the registry. The first failure is returned; the
// others are still attempted. The caller holds the mapping lock.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingSaveArcade(_Inout_ PDEVICE_CONTEXT Context);

// Puts the default settings in force (the registry is not written).
_IRQL_requires_max_(PASSIVE_LEVEL) VOID
    TorvaXboxMappingRestoreArcadeDefaults(_Inout_ PDEVICE_CONTEXT Context);

// A setting, or the interface version, as a 32-bit number.
// STATUS_INVALID_DEVICE_REQUEST for an id that names neither.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    TorvaXboxMappingGetSetting(_In_opt_ PDEVICE_CONTEXT Context, _In_ ULONG DataItemId,
                               _Out_ PULONG Value);

// Checks, applies and saves one setting. STATUS_INVALID_PARAMETER out of
// range and STATUS_INVALID_DEVICE_REQUEST for an id that is no setting (the
// interface version included), nothing changed; otherwise the status of the
// save, the setting being in force either way.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingSetSetting(_In_opt_ PDEVICE_CONTEXT Context, _In_ ULONG DataItemId,
                               _In_ ULONG Value);

// On the reader thread: saves a d-pad mode the combination switched, if one
// waits. STATUS_SUCCESS when none waits.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingSaveSwitchedMode(_Inout_ PDEVICE_CONTEXT Context);
