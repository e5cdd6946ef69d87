// Runs in the HID read completion, possibly at DISPATCH_LEVEL, and on the
// application's state push: table lookups and integer arithmetic only, no
// lock and no allocation.
#include "mapping/xusb_report.h"

#include "mapping/curves.h"
#include "mapping/remap_store.h"

// Mapping targets past the Xbox buttons: 12 pulls the left trigger, 13 the
// right one. Their bits lie above the 16 of the button field.
#define TARGET_PULLS_LEFT_TRIGGER  0x10000
#define TARGET_PULLS_RIGHT_TRIGGER 0x20000

namespace {

// Where the lever puts a stick in a stick mode, on the raw scale, by hat
// value: up is 0 on Y, as a stick pushed up reads.
const UCHAR LeverStickX[HAT_CENTRED] = {128, 255, 255, 255, 128, 0, 0, 0};
const UCHAR LeverStickY[HAT_CENTRED] = {0, 0, 128, 255, 255, 255, 128, 0};

// Raw 0..255 with 128 the centre to the signed 16-bit axis, as a bit pattern.
// X(v) = (v - 128) * 256: 0 -> -32768, 128 -> 0, 255 -> 32512.
inline USHORT AxisX(UCHAR v) {
    return static_cast<USHORT>((v ^ 0x80) << 8);
}

// Y(v) = (-128 - v) * 256 in 16 bits, so that up is positive: 1 -> 32512,
// 128 -> 0, 255 -> -32512. The one value that would read -32768 (v = 0)
// becomes 32767, the top of the range, so a stick pushed fully up is not read
// as fully down.
inline USHORT AxisY(UCHAR v) {
    USHORT y = static_cast<USHORT>(((0x80 - v) & 0xFF) << 8);
    return y == 0x8000 ? 0x7FFF : y;
}

// Stores eight report bytes, the first in the lowest bits: every platform
// Windows runs on is little-endian, so that is the native byte order.
inline VOID PutUlonglong(PUCHAR At, ULONGLONG Value) {
    RtlCopyMemory(At, &Value, sizeof(Value));
}

// The Xbox button bits for a canonical button word under a record's map, with
// the TARGET_PULLS_* bits of buttons mapped to a trigger.
FORCEINLINE ULONG MapButtons(const REMAP_RECORD* Record, ULONG CanonicalButtons) {
    const UCHAR* map = Record->ButtonMap;
    ULONG buttons = 0;
    // Bits 13 and above are not looked at. Only pressed buttons are visited,
    // so a stick at rest costs nothing here.
    ULONG pressed = CanonicalButtons & CANONICAL_BUTTONS_MASK;
    ULONG i;
    while (BitScanForward(&i, pressed)) {
        pressed &= pressed - 1;
        // Neither the registry nor the application is kept from storing an
        // index past the table: such an entry maps to nothing.
        const UCHAR index = map[i];
        if (index < XUSB_BUTTON_INDEX_COUNT) {
            buttons |= XusbButtonTable[index];
        } else if (index == QUILLEX_MAPPING_TARGET_LEFT_TRIGGER) {
            buttons |= TARGET_PULLS_LEFT_TRIGGER;
        } else if (index == QUILLEX_MAPPING_TARGET_RIGHT_TRIGGER) {
            buttons |= TARGET_PULLS_RIGHT_TRIGGER;
        }
    }
    return buttons;
}

} // namespace

_Use_decl_annotations_ USHORT RemapButtons(PDEVICE_CONTEXT Context) {
    return Context != NULL
               ? static_cast<USHORT>(MapButtons(&Context->RemapRecord, Context->CanonicalButtons))
               : 0;
}

_Use_decl_annotations_ NTSTATUS TorvaXboxMappingGetInputReport(PDEVICE_CONTEXT Context,
                                                               PUCHAR Report, ULONG ReportLength) {
    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    // Device add loads the mapping before any read is sent, so this load is
    // the exception. The registry can only be read at PASSIVE_LEVEL: at a
    // raised level the record in the context is used as it stands.
    if (!Context->MappingInitialized && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        status = TorvaXboxMappingInitRemap(Context);
    }
    if (Report == NULL) {
        return status;
    }
    if (ReportLength < XUSB_INPUT_REPORT_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // Without the decoded values (the pipeline is not set up, or was torn
    // down) there is nothing to compose from, and the last report stands.
    if (Context->AnalogValues.Buffer == NULL ||
        Context->AnalogValues.Size < ANALOG_VALUE_COUNT * sizeof(ULONG)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG* analog = static_cast<const ULONG*>(Context->AnalogValues.Buffer);
    const REMAP_RECORD* map = &Context->RemapRecord;

    const ARCADE_STATE* arcade = &Context->Arcade;

    UCHAR rightY = static_cast<UCHAR>(analog[ANALOG_RIGHT_STICK_Y]);
    UCHAR rightX = static_cast<UCHAR>(analog[ANALOG_RIGHT_STICK_X]);
    UCHAR leftY = static_cast<UCHAR>(analog[ANALOG_LEFT_STICK_Y]);
    UCHAR leftX = static_cast<UCHAR>(analog[ANALOG_LEFT_STICK_X]);
    UCHAR rightTrigger = static_cast<UCHAR>(analog[ANALOG_RIGHT_TRIGGER]);
    UCHAR leftTrigger = static_cast<UCHAR>(analog[ANALOG_LEFT_TRIGGER]);
    // A turbo button in its released half, or the mode combination being
    // held, is hidden from the game; so is the lever under the combination.
    const ULONG hidden = arcade->HiddenButtons;
    const ULONG hat = (hidden & ARCADE_HIDDEN_LEVER) != 0 ? HAT_CENTRED : analog[ANALOG_HAT];
    const ULONG mode = arcade->DpadMode;

    const ULONG mapped = MapButtons(map, Context->CanonicalButtons & ~hidden);
    USHORT buttons = static_cast<USHORT>(mapped);
    if (mode == QUILLEX_DPAD_MODE_DPAD && hat < DPAD_TABLE_COUNT) {
        buttons |= DpadTable[hat];
    }
    // A button pulling a trigger pulls it fully, the furthest it can travel,
    // before the curve and the swap, which treat it as the trigger's travel.
    if (mapped > 0xFFFF) {
        if (mapped & TARGET_PULLS_LEFT_TRIGGER) {
            leftTrigger = 0xFF;
        }
        if (mapped & TARGET_PULLS_RIGHT_TRIGGER) {
            rightTrigger = 0xFF;
        }
    }

    // Each curve follows its physical axis, so scaling comes before the swaps.
    if (map->ENABLE_SCALING) {
        rightTrigger = Context->CurveTables[CURVE_R_TRIG][rightTrigger];
        leftTrigger = Context->CurveTables[CURVE_L_TRIG][leftTrigger];
        rightX = Context->CurveTables[CURVE_R_STICK_X][rightX];
        rightY = Context->CurveTables[CURVE_R_STICK_Y][rightY];
        leftX = Context->CurveTables[CURVE_L_STICK_X][leftX];
        leftY = Context->CurveTables[CURVE_L_STICK_Y][leftY];
    }
    const BOOLEAN swapTriggers = map->SWAP_TRIGGERS != 0;
    const BOOLEAN swapSticks = map->SWAP_STICKS != 0;
    UCHAR gameLeftX = swapSticks ? rightX : leftX;
    UCHAR gameLeftY = swapSticks ? rightY : leftY;
    UCHAR gameRightX = swapSticks ? leftX : rightX;
    UCHAR gameRightY = swapSticks ? leftY : rightY;

    // In a stick mode a pushed lever takes the stick the game sees, at full
    // travel and past its curve; a centred one leaves the stick's own input.
    if (mode != QUILLEX_DPAD_MODE_DPAD && hat < HAT_CENTRED) {
        if (mode == QUILLEX_DPAD_MODE_LEFT_STICK) {
            gameLeftX = LeverStickX[hat];
            gameLeftY = LeverStickY[hat];
        } else if (mode == QUILLEX_DPAD_MODE_RIGHT_STICK) {
            gameRightX = LeverStickX[hat];
            gameRightY = LeverStickY[hat];
        }
    }

    // The report is assembled in registers and written with three stores,
    // never zeroed first, so a reader of the previous report does not see it
    // blank by way of this routine. Bytes 0-7: type,
    // length, buttons, left and right trigger, left X; bytes 8-15: left Y,
    // right X, right Y, two reserved; bytes 16-19 reserved.
    const ULONGLONG low = static_cast<ULONGLONG>(XUSB_INPUT_REPORT_LENGTH) << 8 |
                          static_cast<ULONGLONG>(buttons) << 16 |
                          static_cast<ULONGLONG>(swapTriggers ? rightTrigger : leftTrigger) << 32 |
                          static_cast<ULONGLONG>(swapTriggers ? leftTrigger : rightTrigger) << 40 |
                          static_cast<ULONGLONG>(AxisX(gameLeftX)) << 48;
    const ULONGLONG high = static_cast<ULONGLONG>(AxisY(gameLeftY)) |
                           static_cast<ULONGLONG>(AxisX(gameRightX)) << 16 |
                           static_cast<ULONGLONG>(AxisY(gameRightY)) << 32;
    PutUlonglong(Report, low);
    PutUlonglong(Report + 8, high);
    RtlZeroMemory(Report + 16, XUSB_INPUT_REPORT_LENGTH - 16);
    return STATUS_SUCCESS;
}
