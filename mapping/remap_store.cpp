// The mapping record, its defaults and its registry store. Everything here runs
// at PASSIVE_LEVEL: on device add, on the first composition of a device whose
// mapping was never loaded, and on the application's mapping requests.
#include "mapping/remap_store.h"

#include "mapping/curves.h"

namespace {

// The record a fresh install uses. RestoreDefaults is always 0 in the record.
const UCHAR RemapDefaultRecord[sizeof(REMAP_RECORD)] = {
    0x00, // BTN_A               -> A
    0x01, // BTN_B               -> B
    0x02, // BTN_X               -> X
    0x03, // BTN_Y               -> Y
    0x04, // BTN_LEFT_TRIGGER    -> left shoulder
    0x05, // BTN_RIGHT_TRIGGER   -> right shoulder
    0x06, // BTN_BACK            -> back
    0x07, // BTN_RIGHT_TRIANGLE  -> start
    0x08, // BTN_LEFT_JOY_PRESS  -> left stick press
    0x09, // BTN_RIGHT_JOY_PRESS -> right stick press
    0x0A, // BTN_PWR             -> guide
    0x07, // BTN_HOME            -> start
    0x06, // BTN_LEFT_TRIANGLE   -> back
    0x00, // SWAP_TRIGGERS
    0x00, // SWAP_STICKS
    0x00, // ENABLE_SCALING
    0x00, // RestoreDefaults
    0x5A, // R_TRIG_CP_1
    0xA5, // R_TRIG_CP_2
    0x5A, // L_TRIG_CP_1
    0xA5, // L_TRIG_CP_2
    0x5A, // R_STICK_X_CP_1
    0xA5, // R_STICK_X_CP_2
    0x5A, // R_STICK_Y_CP_1
    0xA5, // R_STICK_Y_CP_2
    0x5A, // L_STICK_X_CP_1
    0xA5, // L_STICK_X_CP_2
    0x5A, // L_STICK_Y_CP_1
    0xA5, // L_STICK_Y_CP_2
};
static_assert(sizeof(RemapDefaultRecord) == 29, "the default record is 29 bytes");

// Registry value names, by record offset.
const PCWSTR RemapValueNames[sizeof(REMAP_RECORD)] = {
    L"BTN_A",
    L"BTN_B",
    L"BTN_X",
    L"BTN_Y",
    L"BTN_LEFT_TRIGGER",
    L"BTN_RIGHT_TRIGGER",
    L"BTN_BACK",
    L"BTN_RIGHT_TRIANGLE",
    L"BTN_LEFT_JOY_PRESS",
    L"BTN_RIGHT_JOY_PRESS",
    L"BTN_PWR",
    L"BTN_HOME",
    L"BTN_LEFT_TRIANGLE",
    L"SWAP_TRIGGERS",
    L"SWAP_STICKS",
    L"ENABLE_SCALING",
    NULL, // RestoreDefaults: a request flag, never stored
    L"R_TRIG_CP_1",
    L"R_TRIG_CP_2",
    L"L_TRIG_CP_1",
    L"L_TRIG_CP_2",
    L"R_STICK_X_CP_1",
    L"R_STICK_X_CP_2",
    L"R_STICK_Y_CP_1",
    L"R_STICK_Y_CP_2",
    L"L_STICK_X_CP_1",
    L"L_STICK_X_CP_2",
    L"L_STICK_Y_CP_1",
    L"L_STICK_Y_CP_2",
};

#define REMAP_FLAGS_OFFSET          FIELD_OFFSET(REMAP_RECORD, SWAP_TRIGGERS)
#define REMAP_FLAG_COUNT            3
#define REMAP_CONTROL_POINTS_OFFSET FIELD_OFFSET(REMAP_RECORD, ControlPoints)

// Key access as the store has always asked for it. Kernel callers pass no
// access check, so the value calls succeed with it.
#define REMAP_KEY_ACCESS 0x1F0000

// Room for the 12-byte partial-information header and 8 data bytes; longer
// data does not fit and is not read.
#define REMAP_QUERY_DATA_BYTES 8

inline PUCHAR RecordBytes(PDEVICE_CONTEXT Context) {
    return reinterpret_cast<PUCHAR>(&Context->RemapRecord);
}

// Puts a whole record and the curves built from it in force at once: the
// read completion and the application's push compose under StateLock, so
// no report is ever composed from half of one mapping and half of another,
// or from a record with the curves of the one before.
VOID PutRecord(PDEVICE_CONTEXT Context, const UCHAR* Record) {
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    RtlCopyMemory(RecordBytes(Context), Record, sizeof(REMAP_RECORD));
    BuildCurveTables(Context);
    KeReleaseSpinLock(&Context->StateLock, irql);
}

inline VOID PutDefaults(PDEVICE_CONTEXT Context) {
    PutRecord(Context, RemapDefaultRecord);
}

} // namespace

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS RemapReadValue(HANDLE KeyHandle, PCWSTR ValueName,
                                                              REMAP_STORED_VALUE* Stored) {
    PAGED_CODE();

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    // ULONG storage keeps the information block aligned as ZwQueryValueKey wants it.
    ULONG storage[(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + REMAP_QUERY_DATA_BYTES) /
                  sizeof(ULONG)];
    PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(storage);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(KeyHandle, &name, KeyValuePartialInformation, info,
                                      sizeof(storage), &resultLength);
    if (status == STATUS_BUFFER_OVERFLOW) {
        Stored->Type = info->Type;
        Stored->DataLength = info->DataLength;
        Stored->Number = 0;
        return status;
    }
    if (status != STATUS_SUCCESS) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    if (info->DataLength > REMAP_QUERY_DATA_BYTES) {
        return STATUS_BUFFER_OVERFLOW;
    }
    UCHAR bytes[sizeof(ULONG)] = {0, 0, 0, 0};
    RtlCopyMemory(bytes, info->Data,
                  info->DataLength < sizeof(bytes) ? info->DataLength : sizeof(bytes));
    Stored->Type = info->Type;
    Stored->DataLength = info->DataLength;
    Stored->Number = static_cast<ULONG>(bytes[0]) | static_cast<ULONG>(bytes[1]) << 8 |
                     static_cast<ULONG>(bytes[2]) << 16 | static_cast<ULONG>(bytes[3]) << 24;
    return STATUS_SUCCESS;
}

namespace {

// Loads the record byte at Offset from its value. Only what the driver itself
// writes is taken: a 4-byte REG_DWORD whose number fits the byte. Anything
// else (a string, binary data, a number past 0xFF) leaves the byte as it is
// and says so, rather than being misread through its first bytes.
PAGED_CODE_SEG VOID RemapLoadByte(HANDLE KeyHandle, ULONG Offset, PUCHAR Record) {
    PAGED_CODE();

    PCWSTR name = RemapValueNames[Offset];
    REMAP_STORED_VALUE stored;
    NTSTATUS status = RemapReadValue(KeyHandle, name, &stored);
    if (status == STATUS_BUFFER_OVERFLOW) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!TorvaXboxMappingInitRemap: %S ignored: type %u, %u data bytes, not a "
                    "REG_DWORD; 0x%x kept\n",
                    name, stored.Type, stored.DataLength, Record[Offset]);
        return;
    }
    if (!NT_SUCCESS(status)) {
        return; // not there: the byte keeps its value without a word
    }
    if (stored.Type != REG_DWORD || stored.DataLength != sizeof(ULONG) || stored.Number > 0xFF) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!TorvaXboxMappingInitRemap: %S ignored: type %u, %u data bytes, number "
                    "0x%x is not a REG_DWORD byte; 0x%x kept\n",
                    name, stored.Type, stored.DataLength, stored.Number, Record[Offset]);
        return;
    }
    BOOLEAN flag = Offset >= REMAP_FLAGS_OFFSET && Offset < REMAP_FLAGS_OFFSET + REMAP_FLAG_COUNT;
    if (flag) {
        Record[Offset] = stored.Number != 0 ? 1 : 0;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!TorvaXboxMappingInitRemap: %S = 0x%x\n", name, Record[Offset]);
    } else {
        Record[Offset] = static_cast<UCHAR>(stored.Number);
        ULONG index = Offset < REMAP_FLAGS_OFFSET ? Offset : Offset - REMAP_CONTROL_POINTS_OFFSET;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!TorvaXboxMappingInitRemap: [%d] %S = 0x%x\n", index, name,
                    Record[Offset]);
    }
}

// A mapping request carries the whole record or nothing is done with it.
inline NTSTATUS RecordBufferStatus(PDEVICE_CONTEXT Context, const VOID* Buffer,
                                   size_t BufferLength) {
    if (Context == NULL || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return BufferLength < sizeof(REMAP_RECORD) ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

} // namespace

_Use_decl_annotations_ NTSTATUS RemapValueName(ULONG Offset, PCWSTR* ValueName) {
    if (ValueName == NULL || Offset >= sizeof(REMAP_RECORD)) {
        return STATUS_INVALID_PARAMETER;
    }
    *ValueName = RemapValueNames[Offset];
    return *ValueName != NULL ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingInit(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!TorvaXboxMappingInit: <%u> Error - Invalid device context - %x\n", 0u,
                    STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }

    if (Context->MappingInitialized) {
        // Prepared once already (device add does it first): the mutex may be
        // held by now and the path buffer is the device's for life, so
        // neither is made again, and the record keeps what was loaded or set.
        return Context->RegistryPath.Length != 0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    }

    KeInitializeMutex(&Context->MappingMutex, 0);
    Context->LedState = 2;
    // The defaults are in force from here on, whatever fails below or later
    // in device add: a mapping that was never loaded is never all zeros.
    PutDefaults(Context);
    // Set before the path is built and kept whatever follows: a device whose
    // path could not be built runs on the defaults rather than retrying.
    Context->MappingInitialized = 1;

    if (Context->Driver == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PCWSTR driverPath = WdfDriverGetRegistryPath(Context->Driver);
    size_t driverChars = 0;
    // A counted string holds at most NTSTRSAFE_UNICODE_STRING_MAX_CCH
    // characters; a longer path could never be copied.
    NTSTATUS status =
        RtlStringCchLengthW(driverPath, NTSTRSAFE_UNICODE_STRING_MAX_CCH, &driverChars);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The driver path, "\Parameters\Remap" (17 characters) and a NUL.
    size_t bufferBytes = 2 * driverChars + 36;
    status = QuillexAllocMemory(Context->Device, &Context->RegistryPathBuffer, bufferBytes);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!TorvaXboxMappingInit: ERROR: Couldn't allocate RegistryPath buffer - "
                    "%x\n",
                    status);
        Context->RegistryPath.Length = 0;
        Context->RegistryPath.MaximumLength = 0;
        Context->RegistryPath.Buffer = NULL;
        return status;
    }

    // MaximumLength is a USHORT: a path near the counted-string limit gets
    // the largest even length, and the bounded copies below fail rather than
    // run past it.
    Context->RegistryPath.Length = 0;
    Context->RegistryPath.MaximumLength =
        static_cast<USHORT>(bufferBytes > 0xFFFE ? 0xFFFE : bufferBytes);
    Context->RegistryPath.Buffer = static_cast<PWSTR>(Context->RegistryPathBuffer.Buffer);

    UNICODE_STRING driverString;
    driverString.Length = static_cast<USHORT>(driverChars * sizeof(WCHAR));
    driverString.MaximumLength = driverString.Length;
    driverString.Buffer = const_cast<PWSTR>(driverPath);
    status = RtlUnicodeStringCopy(&Context->RegistryPath, &driverString);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING suffix = RTL_CONSTANT_STRING(REMAP_KEY_SUFFIX);
    return RtlUnicodeStringCat(&Context->RegistryPath, &suffix);
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS
TorvaXboxMappingRestoreDefaults(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL || Context->Device == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PutDefaults(Context);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS RemapOpenKey(PDEVICE_CONTEXT Context,
                                                            PHANDLE KeyHandle) {
    PAGED_CODE();

    if (Context == NULL || KeyHandle == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // A kernel handle: the mapping requests run in the application's process,
    // and a handle in that process's table could be closed or swapped by the
    // application between these calls.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &Context->RegistryPath, OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwCreateKey(KeyHandle, REMAP_KEY_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                       NULL);
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS RemapQueryValue(HANDLE KeyHandle, PCWSTR ValueName,
                                                               PULONG Value) {
    PAGED_CODE();

    if (KeyHandle == NULL || ValueName == NULL || Value == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // Any status but success, the buffer-overflow warning for long data
    // included, means the value was not read. The type is not examined here;
    // the load checks it.
    REMAP_STORED_VALUE stored;
    NTSTATUS status = RemapReadValue(KeyHandle, ValueName, &stored);
    if (NT_SUCCESS(status)) {
        *Value = stored.Number;
    }
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS RemapSetValue(HANDLE KeyHandle, PCWSTR ValueName,
                                                             ULONG Value) {
    PAGED_CODE();

    if (KeyHandle == NULL || ValueName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    return ZwSetValueKey(KeyHandle, &name, 0, REG_DWORD, &Value, sizeof(Value));
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS RemapSaveValue(HANDLE KeyHandle, UCHAR Value,
                                                              PCWSTR ValueName) {
    PAGED_CODE();

    NTSTATUS status = RemapSetValue(KeyHandle, ValueName, Value);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!RemapSaveValue: Unable to save remap registry value '%S'\n",
                    ValueName != NULL ? ValueName : L"");
    }
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingInitRemap(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL || Context->Device == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // Read into a copy, then put in force whole.
    UCHAR record[sizeof(REMAP_RECORD)];
    RtlCopyMemory(record, RemapDefaultRecord, sizeof(record));
    HANDLE key = NULL;
    if (NT_SUCCESS(RemapOpenKey(Context, &key))) {
        // Buttons, then the flags, then the control points: record order.
        for (ULONG offset = 0; offset < sizeof(REMAP_RECORD); ++offset) {
            if (RemapValueNames[offset] != NULL) {
                RemapLoadByte(key, offset, record);
            }
        }
        ZwClose(key);
    }

    PutRecord(Context, record);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingSaveRemap(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE key = NULL;
    NTSTATUS status = RemapOpenKey(Context, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const UCHAR* record = RecordBytes(Context);

    // Buttons, then the flags only if every button was written. The first
    // failure ends its stage.
    BOOLEAN buttonsSaved = TRUE;
    for (ULONG i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        if (!NT_SUCCESS(RemapSetValue(key, RemapValueNames[i], record[i]))) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!TorvaXboxMappingSaveRemap: Unable to save remap [%d] to registry "
                        "value '%S'\n",
                        i, RemapValueNames[i]);
            buttonsSaved = FALSE;
            break;
        }
    }
    if (buttonsSaved) {
        for (ULONG f = REMAP_FLAGS_OFFSET; f < REMAP_FLAGS_OFFSET + REMAP_FLAG_COUNT; ++f) {
            if (!NT_SUCCESS(RemapSaveValue(key, record[f], RemapValueNames[f]))) {
                break;
            }
        }
    }

    // The control points are always attempted, and only they decide the result.
    status = STATUS_SUCCESS;
    for (ULONG j = 0; j < QUILLEX_CONTROL_POINT_COUNT; ++j) {
        ULONG offset = REMAP_CONTROL_POINTS_OFFSET + j;
        status = RemapSetValue(key, RemapValueNames[offset], record[offset]);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!TorvaXboxMappingSaveRemap: Unable to save remap [%d] to registry "
                        "value '%S'\n",
                        j, RemapValueNames[offset]);
            break;
        }
    }
    ZwClose(key);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingGetMapping(PDEVICE_CONTEXT Context,
                                                                          PVOID Buffer,
                                                                          size_t BufferLength) {
    PAGED_CODE();

    NTSTATUS status = RecordBufferStatus(Context, Buffer, BufferLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A whole record, never one half-way through a change.
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    RtlCopyMemory(Buffer, RecordBytes(Context), sizeof(REMAP_RECORD));
    KeReleaseSpinLock(&Context->StateLock, irql);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingSetMapping(PDEVICE_CONTEXT Context,
                                                                          const VOID* Buffer,
                                                                          size_t BufferLength) {
    PAGED_CODE();

    NTSTATUS status = RecordBufferStatus(Context, Buffer, BufferLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const REMAP_RECORD* incoming = static_cast<const REMAP_RECORD*>(Buffer);
    // One change at a time, from the record to its save, so that what the
    // registry keeps is the mapping in force, not a mix of two requests.
    status = TorvaXboxMappingLock(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if (incoming->RestoreDefaults != 0) {
        PutDefaults(Context);
    } else {
        // No byte is range-tested: composition bounds every use of the record.
        PutRecord(Context, reinterpret_cast<const UCHAR*>(incoming));
    }
    status = TorvaXboxMappingSaveRemap(Context);
    TorvaXboxMappingUnlock(Context);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingLock(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Context->MappingInitialized) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_HID,
                    "Quillex!TorvaXboxMappingLock: <%u> Auto-initializing Mapping\n",
                    Context->InstanceNumber);
        TorvaXboxMappingInit(Context);
    }
    NTSTATUS status =
        KeWaitForSingleObject(&Context->MappingMutex, Executive, KernelMode, TRUE, NULL);
    // An alertable wait can end with STATUS_ALERTED or STATUS_USER_APC, which
    // are not failures, without the mutex being acquired. The caller must
    // then neither proceed nor release it.
    if (status != STATUS_SUCCESS && NT_SUCCESS(status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingUnlock(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return KeReleaseMutex(&Context->MappingMutex, FALSE) == 0 ? STATUS_SUCCESS
                                                              : STATUS_UNSUCCESSFUL;
}
