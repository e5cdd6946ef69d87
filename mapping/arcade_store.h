// The arcade settings beside the mapping record: their ranges, their REG_DWORD
// values under \Parameters\Remap, and their reads and writes by item id.
#pragma once

#include "platform/device_context.h"

// TRUE for the ids of the four settings (not the interface version).
BOOLEAN ArcadeIsSettingItem(_In_ ULONG DataItemId);

// Loads the settings from the Remap key over the defaults and puts them in
// force; device add runs it after the mapping's load. A value is taken only
// as a 4-byte REG_DWORD within its range; any other is traced with its name
// (level 2) and the default stays. Without the key, the defaults.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingLoadArcade(_Inout_opt_ PDEVICE_CONTEXT Context);

// Writes every setting to the registry. The first failure is returned; the
// others are still attempted. The caller holds the mapping lock.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingSaveArcade(_Inout_opt_ PDEVICE_CONTEXT Context);

// The mapping's restore (IOCTL_QUILLEX_SET_MAPPING with RestoreDefaults)
// reaches the settings too: their defaults put in force and saved, under the
// mapping lock. The status of the save.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingRestoreArcadeSettings(_Inout_opt_ PDEVICE_CONTEXT Context);

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
