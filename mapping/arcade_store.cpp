// The arcade settings as the application and the registry see them. Reads by
// id may come at any level; loads, saves and sets run at PASSIVE_LEVEL.
#include "mapping/arcade_store.h"

#include "mapping/arcade_modes.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"

namespace {

typedef struct _ARCADE_SETTING {
    ULONG DataItemId;
    PCWSTR ValueName;
    ULONG Minimum;
    ULONG Maximum;
} ARCADE_SETTING;

// Registry value names and ranges, in item order.
const ARCADE_SETTING ArcadeSettings[] = {
    {QUILLEX_ITEM_DPAD_MODE, L"DPAD_MODE", QUILLEX_DPAD_MODE_DPAD, QUILLEX_DPAD_MODE_MAX},
    {QUILLEX_ITEM_TURBO_MASK, L"TURBO_MASK", 0, QUILLEX_TURBO_MASK_ALL},
    {QUILLEX_ITEM_TURBO_RATE, L"TURBO_RATE", QUILLEX_TURBO_RATE_MIN, QUILLEX_TURBO_RATE_MAX},
    {QUILLEX_ITEM_HOTKEYS, L"HOTKEYS", QUILLEX_HOTKEYS_OFF, QUILLEX_HOTKEYS_ON},
};
#define ARCADE_SETTING_COUNT (sizeof(ArcadeSettings) / sizeof(ArcadeSettings[0]))

const ARCADE_SETTING* SettingOf(ULONG DataItemId) {
    for (ULONG i = 0; i < ARCADE_SETTING_COUNT; ++i) {
        if (ArcadeSettings[i].DataItemId == DataItemId) {
            return &ArcadeSettings[i];
        }
    }
    return NULL;
}

// The setting's value in Arcade; the caller holds StateLock.
ULONG ReadSetting(const ARCADE_STATE* Arcade, ULONG DataItemId) {
    switch (DataItemId) {
    case QUILLEX_ITEM_DPAD_MODE:
        return Arcade->DpadMode;
    case QUILLEX_ITEM_TURBO_MASK:
        return Arcade->TurboMask;
    case QUILLEX_ITEM_TURBO_RATE:
        return ArcadeTurboRate(Arcade);
    default:
        return Arcade->HotkeysEnabled;
    }
}

// Puts a value that is within its range in force; the caller holds StateLock.
VOID WriteSetting(PDEVICE_CONTEXT Context, ULONG DataItemId, ULONG Value) {
    ARCADE_STATE* arcade = &Context->Arcade;
    switch (DataItemId) {
    case QUILLEX_ITEM_DPAD_MODE:
        arcade->DpadMode = static_cast<UCHAR>(Value);
        // Whatever the combination switched before is overridden by this.
        arcade->ModeSavePending = FALSE;
        break;
    case QUILLEX_ITEM_TURBO_MASK:
        ArcadeSetTurboMask(Context, Value);
        break;
    case QUILLEX_ITEM_TURBO_RATE:
        arcade->TurboRate = static_cast<UCHAR>(Value);
        break;
    default:
        arcade->HotkeysEnabled = static_cast<UCHAR>(Value);
        break;
    }
}

// The values of every setting, copied under StateLock.
VOID SnapshotSettings(PDEVICE_CONTEXT Context, ULONG Values[ARCADE_SETTING_COUNT]) {
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    for (ULONG i = 0; i < ARCADE_SETTING_COUNT; ++i) {
        Values[i] = ReadSetting(&Context->Arcade, ArcadeSettings[i].DataItemId);
    }
    KeReleaseSpinLock(&Context->StateLock, irql);
}

PAGED_CODE_SEG NTSTATUS SaveSetting(HANDLE Key, const ARCADE_SETTING* Setting, ULONG Value) {
    PAGED_CODE();

    NTSTATUS status = RemapSetValue(Key, Setting->ValueName, Value);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!TorvaXboxMappingSaveArcade: Unable to save registry value '%S' - "
                    "%x\n",
                    Setting->ValueName, status);
    }
    return status;
}

// Saves one setting's value; the caller holds the mapping lock.
PAGED_CODE_SEG NTSTATUS SaveOne(PDEVICE_CONTEXT Context, const ARCADE_SETTING* Setting,
                                ULONG Value) {
    PAGED_CODE();

    HANDLE key = NULL;
    NTSTATUS status = RemapOpenKey(Context, &key);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                    "Quillex!TorvaXboxMappingSaveArcade: <%u> Unable to open the mapping key to "
                    "save '%S' - %x\n",
                    Context->InstanceNumber, Setting->ValueName, status);
        return status;
    }
    status = SaveSetting(key, Setting, Value);
    ZwClose(key);
    return status;
}

} // namespace

_Use_decl_annotations_ BOOLEAN ArcadeIsSettingItem(ULONG DataItemId) {
    return SettingOf(DataItemId) != NULL;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingLoadArcade(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL || Context->Device == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // Read over the defaults, then put in force together.
    ARCADE_STATE defaults;
    RtlZeroMemory(&defaults, sizeof(defaults));
    ULONG values[ARCADE_SETTING_COUNT];
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    ArcadeResetSettings(Context);
    defaults = Context->Arcade;
    KeReleaseSpinLock(&Context->StateLock, irql);
    for (ULONG i = 0; i < ARCADE_SETTING_COUNT; ++i) {
        values[i] = ReadSetting(&defaults, ArcadeSettings[i].DataItemId);
    }

    HANDLE key = NULL;
    if (!NT_SUCCESS(RemapOpenKey(Context, &key))) {
        return STATUS_SUCCESS; // no key: the defaults, as for the mapping
    }
    for (ULONG i = 0; i < ARCADE_SETTING_COUNT; ++i) {
        const ARCADE_SETTING* setting = &ArcadeSettings[i];
        REMAP_STORED_VALUE stored = {0, 0, 0};
        NTSTATUS status = RemapReadValue(key, setting->ValueName, &stored);
        if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
            continue; // not there: the default stands without a word
        }
        if (status == STATUS_BUFFER_OVERFLOW || stored.Type != REG_DWORD ||
            stored.DataLength != sizeof(ULONG) || stored.Number < setting->Minimum ||
            stored.Number > setting->Maximum) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_HID,
                        "Quillex!TorvaXboxMappingLoadArcade: %S ignored: type %u, %u data bytes, "
                        "number 0x%x is not a REG_DWORD from %u to %u; %u kept\n",
                        setting->ValueName, stored.Type, stored.DataLength, stored.Number,
                        setting->Minimum, setting->Maximum, values[i]);
            continue;
        }
        values[i] = stored.Number;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_HID,
                    "Quillex!TorvaXboxMappingLoadArcade: %S = 0x%x\n", setting->ValueName,
                    values[i]);
    }
    ZwClose(key);

    KeAcquireSpinLock(&Context->StateLock, &irql);
    for (ULONG i = 0; i < ARCADE_SETTING_COUNT; ++i) {
        WriteSetting(Context, ArcadeSettings[i].DataItemId, values[i]);
    }
    KeReleaseSpinLock(&Context->StateLock, irql);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS
TorvaXboxMappingRestoreArcadeSettings(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TorvaXboxMappingLock(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    ArcadeResetSettings(Context);
    KeReleaseSpinLock(&Context->StateLock, irql);
    status = TorvaXboxMappingSaveArcade(Context);
    TorvaXboxMappingUnlock(Context);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingSaveArcade(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG values[ARCADE_SETTING_COUNT];
    SnapshotSettings(Context, values);
    HANDLE key = NULL;
    NTSTATUS status = RemapOpenKey(Context, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG i = 0; i < ARCADE_SETTING_COUNT; ++i) {
        NTSTATUS saved = SaveSetting(key, &ArcadeSettings[i], values[i]);
        if (NT_SUCCESS(status)) {
            status = saved;
        }
    }
    ZwClose(key);
    return status;
}

_Use_decl_annotations_ NTSTATUS TorvaXboxMappingGetSetting(PDEVICE_CONTEXT Context,
                                                           ULONG DataItemId, PULONG Value) {
    if (Context == NULL || Value == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DataItemId == QUILLEX_ITEM_INTERFACE_VERSION) {
        *Value = QUILLEX_INTERFACE_VERSION;
        return STATUS_SUCCESS;
    }
    if (SettingOf(DataItemId) == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    *Value = ReadSetting(&Context->Arcade, DataItemId);
    KeReleaseSpinLock(&Context->StateLock, irql);
    return STATUS_SUCCESS;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS TorvaXboxMappingSetSetting(PDEVICE_CONTEXT Context,
                                                                          ULONG DataItemId,
                                                                          ULONG Value) {
    PAGED_CODE();

    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    const ARCADE_SETTING* setting = SettingOf(DataItemId);
    if (setting == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Value < setting->Minimum || Value > setting->Maximum) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!TorvaXboxMappingSetSetting: <%u> Error - %S value (%u) out of range "
                    "%u to %u\n",
                    Context->InstanceNumber, setting->ValueName, Value, setting->Minimum,
                    setting->Maximum);
        return STATUS_INVALID_PARAMETER;
    }
    // One change at a time from the setting to its save, as for the record.
    NTSTATUS status = TorvaXboxMappingLock(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    WriteSetting(Context, DataItemId, Value);
    KeReleaseSpinLock(&Context->StateLock, irql);
    status = SaveOne(Context, setting, Value);
    TorvaXboxMappingUnlock(Context);
    return status;
}

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS
TorvaXboxMappingSaveSwitchedMode(PDEVICE_CONTEXT Context) {
    PAGED_CODE();

    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    BOOLEAN pending = Context->Arcade.ModeSavePending;
    KeReleaseSpinLock(&Context->StateLock, irql);
    if (!pending) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = TorvaXboxMappingLock(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // Taken again under the mapping lock: an application's set of the mode
    // in between has saved its own value and cleared the wish.
    KeAcquireSpinLock(&Context->StateLock, &irql);
    pending = Context->Arcade.ModeSavePending;
    const ULONG mode = Context->Arcade.DpadMode;
    Context->Arcade.ModeSavePending = FALSE;
    KeReleaseSpinLock(&Context->StateLock, irql);
    if (pending) {
        status = SaveOne(Context, SettingOf(QUILLEX_ITEM_DPAD_MODE), mode);
    }
    TorvaXboxMappingUnlock(Context);
    return status;
}
