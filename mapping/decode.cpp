// Runs in the HID read completion, possibly at DISPATCH_LEVEL: not pageable,
// no locks, no calls, no allocation.
#include "mapping/decode.h"

namespace {

// The raw analog bytes of one report, in AnalogValues order.
struct RAW_ANALOG {
    UCHAR Value[ANALOG_VALUE_COUNT];
};

// Both buffers must be large enough for the layout; a short report or analog
// array is left alone rather than read or written past its end.
inline BOOLEAN DecodeBuffersUsable(PDEVICE_CONTEXT Context, size_t MinReportLength) {
    return Context->InputReport.Buffer != NULL && Context->InputReport.Size >= MinReportLength &&
           Context->AnalogValues.Buffer != NULL &&
           Context->AnalogValues.Size >= ANALOG_VALUE_COUNT * sizeof(ULONG);
}

// Stores the new state and says whether it differs from the stored one.
inline NTSTATUS StoreDecodedState(PDEVICE_CONTEXT Context, ULONG Buttons, const RAW_ANALOG& Raw) {
    PULONG analog = static_cast<PULONG>(Context->AnalogValues.Buffer);

    BOOLEAN changed = Buttons != Context->CanonicalButtons;
    for (ULONG i = 0; i < ANALOG_VALUE_COUNT; ++i) {
        changed |= analog[i] != Raw.Value[i];
    }

    Context->CanonicalButtons = Buttons;
    analog[ANALOG_LEFT_STICK_X] = Raw.Value[ANALOG_LEFT_STICK_X];
    analog[ANALOG_LEFT_STICK_Y] = Raw.Value[ANALOG_LEFT_STICK_Y];
    analog[ANALOG_RIGHT_STICK_X] = Raw.Value[ANALOG_RIGHT_STICK_X];
    analog[ANALOG_RIGHT_STICK_Y] = Raw.Value[ANALOG_RIGHT_STICK_Y];
    analog[ANALOG_HAT] = Raw.Value[ANALOG_HAT];
    analog[ANALOG_LEFT_TRIGGER] = Raw.Value[ANALOG_LEFT_TRIGGER];
    analog[ANALOG_RIGHT_TRIGGER] = Raw.Value[ANALOG_RIGHT_TRIGGER];

    return changed ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

inline ULONG Bit(UCHAR Byte, ULONG Source, ULONG Canonical) {
    return ((Byte >> Source) & 1) ? Canonical : 0;
}

} // namespace

NTSTATUS DecodeHidReportLayoutA(PDEVICE_CONTEXT Context) {
    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!DecodeBuffersUsable(Context, RAW_LAYOUT_A_MIN_LENGTH)) {
        return STATUS_UNSUCCESSFUL;
    }
    const UCHAR* raw = static_cast<const UCHAR*>(Context->InputReport.Buffer);

    ULONG buttons = Bit(raw[0], 0, BTN_X) | Bit(raw[0], 1, BTN_A) | Bit(raw[0], 2, BTN_B) |
                    Bit(raw[0], 3, BTN_Y) | Bit(raw[0], 4, BTN_LEFT_TRIGGER) |
                    Bit(raw[0], 5, BTN_RIGHT_TRIGGER) | Bit(raw[1], 0, BTN_BACK) |
                    Bit(raw[1], 1, BTN_HOME) | Bit(raw[1], 2, BTN_LEFT_JOY_PRESS) |
                    Bit(raw[1], 3, BTN_RIGHT_JOY_PRESS) | Bit(raw[1], 4, BTN_PWR);

    RAW_ANALOG analog;
    analog.Value[ANALOG_RIGHT_STICK_Y] = raw[6];
    analog.Value[ANALOG_RIGHT_STICK_X] = raw[5];
    analog.Value[ANALOG_LEFT_STICK_Y] = raw[4];
    analog.Value[ANALOG_LEFT_STICK_X] = raw[3];
    analog.Value[ANALOG_HAT] = raw[2] & 0x0F;
    analog.Value[ANALOG_RIGHT_TRIGGER] = raw[18];
    analog.Value[ANALOG_LEFT_TRIGGER] = raw[17];

    return StoreDecodedState(Context, buttons, analog);
}

NTSTATUS DecodeHidReportLayoutB(PDEVICE_CONTEXT Context) {
    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!DecodeBuffersUsable(Context, RAW_LAYOUT_B_MIN_LENGTH)) {
        return STATUS_UNSUCCESSFUL;
    }
    const UCHAR* raw = static_cast<const UCHAR*>(Context->InputReport.Buffer);

    // BACK has two sources in this layout; either one presses it.
    ULONG buttons = Bit(raw[5], 4, BTN_X) | Bit(raw[5], 5, BTN_A) | Bit(raw[5], 6, BTN_B) |
                    Bit(raw[5], 7, BTN_Y) | Bit(raw[6], 0, BTN_LEFT_TRIGGER) |
                    Bit(raw[6], 1, BTN_RIGHT_TRIGGER) | Bit(raw[6], 4, BTN_BACK) |
                    Bit(raw[7], 1, BTN_BACK) | Bit(raw[6], 5, BTN_HOME) |
                    Bit(raw[6], 6, BTN_LEFT_JOY_PRESS) | Bit(raw[6], 7, BTN_RIGHT_JOY_PRESS) |
                    Bit(raw[7], 0, BTN_PWR);

    RAW_ANALOG analog;
    analog.Value[ANALOG_RIGHT_STICK_Y] = raw[4];
    analog.Value[ANALOG_RIGHT_STICK_X] = raw[3];
    analog.Value[ANALOG_LEFT_STICK_Y] = raw[2];
    analog.Value[ANALOG_LEFT_STICK_X] = raw[1];
    analog.Value[ANALOG_HAT] = raw[5] & 0x0F;
    analog.Value[ANALOG_RIGHT_TRIGGER] = raw[9];
    analog.Value[ANALOG_LEFT_TRIGGER] = raw[8];

    return StoreDecodedState(Context, buttons, analog);
}
