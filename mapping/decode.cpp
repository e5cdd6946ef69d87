// Runs in the HID read completion, possibly at DISPATCH_LEVEL: not pageable,
// no locks, no calls, no allocation.
#include "mapping/decode.h"

namespace {

// The raw analog bytes of one report, in AnalogValues order.
struct RAW_ANALOG {
    ULONG Value[ANALOG_VALUE_COUNT];
};

// A raw button byte mapped to canonical bits: Source[k] is the canonical bit
// fed by bit k of the byte (0 for an ignored bit).
struct BYTE_MAP {
    ULONG Source[8];
};

// 256-entry translation of one raw button byte, built at compile time, so a
// decode costs one load per button byte.
struct BUTTON_TABLE {
    ULONG Bits[256];
};

constexpr BUTTON_TABLE MakeButtonTable(const BYTE_MAP& Map) {
    BUTTON_TABLE table{};
    for (ULONG value = 0; value < 256; ++value) {
        ULONG bits = 0;
        for (ULONG k = 0; k < 8; ++k) {
            if ((value >> k) & 1) {
                bits |= Map.Source[k];
            }
        }
        table.Bits[value] = bits;
    }
    return table;
}

// Layout A: byte 0 X A B Y LT RT (bits 6-7 ignored), byte 1 BACK HOME LJ RJ PWR.
constexpr BUTTON_TABLE LayoutAByte0 =
    MakeButtonTable({{BTN_X, BTN_A, BTN_B, BTN_Y, BTN_LEFT_TRIGGER, BTN_RIGHT_TRIGGER, 0, 0}});
constexpr BUTTON_TABLE LayoutAByte1 = MakeButtonTable(
    {{BTN_BACK, BTN_HOME, BTN_LEFT_JOY_PRESS, BTN_RIGHT_JOY_PRESS, BTN_PWR, 0, 0, 0}});

// Layout B: byte 5 hat in bits 0-3 then X A B Y; byte 6 LT RT - - BACK HOME LJ RJ;
// byte 7 PWR and a second BACK, ORed with the first.
constexpr BUTTON_TABLE LayoutBByte5 = MakeButtonTable({{0, 0, 0, 0, BTN_X, BTN_A, BTN_B, BTN_Y}});
constexpr BUTTON_TABLE LayoutBByte6 =
    MakeButtonTable({{BTN_LEFT_TRIGGER, BTN_RIGHT_TRIGGER, 0, 0, BTN_BACK, BTN_HOME,
                      BTN_LEFT_JOY_PRESS, BTN_RIGHT_JOY_PRESS}});
constexpr BUTTON_TABLE LayoutBByte7 = MakeButtonTable({{BTN_PWR, BTN_BACK, 0, 0, 0, 0, 0, 0}});

static_assert(LayoutAByte0.Bits[0xFF] ==
                  (BTN_A | BTN_B | BTN_X | BTN_Y | BTN_LEFT_TRIGGER | BTN_RIGHT_TRIGGER),
              "layout A byte 0 ignores bits 6 and 7");
static_assert(LayoutBByte7.Bits[0x02] == BTN_BACK, "layout B byte 7 bit 1 is BACK");

// Both buffers must be large enough for the layout; a short report or analog
// array is left alone rather than read or written past its end.
inline BOOLEAN DecodeBuffersUsable(PDEVICE_CONTEXT Context, size_t MinReportLength) {
    return Context->InputReport.Buffer != NULL && Context->InputReport.Size >= MinReportLength &&
           Context->AnalogValues.Buffer != NULL &&
           Context->AnalogValues.Size >= ANALOG_VALUE_COUNT * sizeof(ULONG);
}

// Stores the new state and says whether it differs from the stored one. The
// old state is read in full before anything is written.
inline NTSTATUS StoreDecodedState(PDEVICE_CONTEXT Context, ULONG Buttons, const RAW_ANALOG& Raw) {
    PULONG analog = static_cast<PULONG>(Context->AnalogValues.Buffer);

    // Written out rather than looped: this runs for every report.
    ULONG difference = (Buttons ^ Context->CanonicalButtons) | (analog[0] ^ Raw.Value[0]) |
                       (analog[1] ^ Raw.Value[1]) | (analog[2] ^ Raw.Value[2]) |
                       (analog[3] ^ Raw.Value[3]) | (analog[4] ^ Raw.Value[4]) |
                       (analog[5] ^ Raw.Value[5]) | (analog[6] ^ Raw.Value[6]);
    static_assert(ANALOG_VALUE_COUNT == 7, "one term per analog value");

    Context->CanonicalButtons = Buttons;
    analog[ANALOG_LEFT_STICK_X] = Raw.Value[ANALOG_LEFT_STICK_X];
    analog[ANALOG_LEFT_STICK_Y] = Raw.Value[ANALOG_LEFT_STICK_Y];
    analog[ANALOG_RIGHT_STICK_X] = Raw.Value[ANALOG_RIGHT_STICK_X];
    analog[ANALOG_RIGHT_STICK_Y] = Raw.Value[ANALOG_RIGHT_STICK_Y];
    analog[ANALOG_HAT] = Raw.Value[ANALOG_HAT];
    analog[ANALOG_LEFT_TRIGGER] = Raw.Value[ANALOG_LEFT_TRIGGER];
    analog[ANALOG_RIGHT_TRIGGER] = Raw.Value[ANALOG_RIGHT_TRIGGER];

    return difference != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
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

    ULONG buttons = LayoutAByte0.Bits[raw[0]] | LayoutAByte1.Bits[raw[1]];

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

    ULONG buttons =
        LayoutBByte5.Bits[raw[5]] | LayoutBByte6.Bits[raw[6]] | LayoutBByte7.Bits[raw[7]];

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
