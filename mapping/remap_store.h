// The mapping record and its registry store under <service key>\Parameters\Remap.
#pragma once

#include "platform/device_context.h"

// The key below the driver's registry path that holds the mapping.
#define REMAP_KEY_SUFFIX L"\\Parameters\\Remap"

// Prepares the mapping mutex, LED state, initialized flag and registry path,
// and puts the default record in force before anything can fail. Once the
// mapping is initialized a second call changes nothing.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS TorvaXboxMappingInit(_In_opt_ PDEVICE_CONTEXT Context);
// Loads the record from the registry over the defaults and rebuilds the curves.
// A value is taken only as the driver writes it, a 4-byte REG_DWORD whose
// number fits its byte; any other is traced (level 2) and its byte keeps the
// default.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingInitRemap(_In_opt_ PDEVICE_CONTEXT Context);
// Writes the 28 values of the record (all but RestoreDefaults) to the registry.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingSaveRemap(_In_opt_ PDEVICE_CONTEXT Context);
// Puts the default record in place and rebuilds the curves; the registry is
// not written.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingRestoreDefaults(_In_opt_ PDEVICE_CONTEXT Context);

// The record as IOCTL_QUILLEX_GET_MAPPING returns it: sizeof(REMAP_RECORD)
// bytes into Buffer, which must hold at least that many.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingGetMapping(_In_opt_ PDEVICE_CONTEXT Context,
                               _Out_writes_bytes_(BufferLength) PVOID Buffer,
                               _In_ size_t BufferLength);
// Applies a record from IOCTL_QUILLEX_SET_MAPPING (or restores the defaults
// when its RestoreDefaults byte is nonzero), rebuilds the curves and saves.
// Returns the status of the save.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingSetMapping(_In_opt_ PDEVICE_CONTEXT Context,
                               _In_reads_bytes_(BufferLength) const VOID* Buffer,
                               _In_ size_t BufferLength);

// Acquires the mapping mutex, initializing the mapping first if it never was.
// STATUS_SUCCESS means the mutex is held; any other status means it is not.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS TorvaXboxMappingLock(_In_opt_ PDEVICE_CONTEXT Context);
// Releases the mapping mutex: STATUS_SUCCESS when that leaves it free,
// STATUS_UNSUCCESSFUL when the caller still holds it recursively.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    TorvaXboxMappingUnlock(_In_opt_ PDEVICE_CONTEXT Context);

// Opens, or creates when its parent exists, the key RegistryPath names.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    RemapOpenKey(_In_opt_ PDEVICE_CONTEXT Context, _Out_ PHANDLE KeyHandle);
// Reads a value's first four data bytes as a little-endian number (bytes past
// shorter data read as zero). Values with more than 8 data bytes are not read.
// *Value is left alone on failure.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    RemapQueryValue(_In_opt_ HANDLE KeyHandle, _In_opt_ PCWSTR ValueName, _Out_ PULONG Value);
// What a registry value holds, as far as the 8 data bytes read show it.
typedef struct _REMAP_STORED_VALUE {
    ULONG Type;
    ULONG DataLength;
    ULONG Number; // the first four data bytes, little-endian, zero past short data
} REMAP_STORED_VALUE;

// Reads a value's type, length and number. STATUS_BUFFER_OVERFLOW (type and
// length filled, no number) for data longer than 8 bytes; any other failure
// means the value is not there or cannot be read.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    RemapReadValue(_In_ HANDLE KeyHandle, _In_ PCWSTR ValueName, _Out_ REMAP_STORED_VALUE* Stored);
// Writes one REG_DWORD value.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    RemapSetValue(_In_opt_ HANDLE KeyHandle, _In_opt_ PCWSTR ValueName, _In_ ULONG Value);
// RemapSetValue with the byte zero-extended, tracing a failure.
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    RemapSaveValue(_In_opt_ HANDLE KeyHandle, _In_ UCHAR Value, _In_opt_ PCWSTR ValueName);

// The registry value name of the record byte at Offset. STATUS_NOT_FOUND for
// RestoreDefaults, which is never stored; STATUS_INVALID_PARAMETER past the
// record.
NTSTATUS RemapValueName(_In_ ULONG Offset, _Out_ PCWSTR* ValueName);
