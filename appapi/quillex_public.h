// Quillex control interface, shared with the companion application.
//
// Control codes and payload layouts, little-endian and packed exactly as they
// travel. Include the platform's Windows headers first: <windows.h> and
// <winioctl.h> in an application, platform/platform.h in the driver.
#pragma once

// {CD8C95CA-392C-49E1-A1F1-FB5C0E28BFD8}: the device interface class of every
// arcade stick Quillex serves. Declared here; defined in the one source of a
// program that includes <initguid.h> before this header.
DEFINE_GUID(GUID_DEVINTERFACE_QUILLEX, 0xCD8C95CA, 0x392C, 0x49E1, 0xA1, 0xF1, 0xFB, 0x5C, 0x0E,
            0x28, 0xBF, 0xD8);

// Buffered control codes, device type FILE_DEVICE_BUS_EXTENDER, read access.
#define QUILLEX_IOCTL(Function)   CTL_CODE(0x2A, (Function), METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_QUILLEX_GET_STATE   QUILLEX_IOCTL(0) // 0x002A4000: out APP_INSTANCE
#define IOCTL_QUILLEX_SET_STATE   QUILLEX_IOCTL(1) // 0x002A4004: in APP_INSTANCE
#define IOCTL_QUILLEX_GET_VALUE   QUILLEX_IOCTL(2) // 0x002A4008: in item id, out 4 bytes
#define IOCTL_QUILLEX_SET_VALUE   QUILLEX_IOCTL(3) // 0x002A400C: in item id + 4 bytes
#define IOCTL_QUILLEX_GET_MAPPING QUILLEX_IOCTL(4) // 0x002A4010: out RemapRecord
#define IOCTL_QUILLEX_SET_MAPPING QUILLEX_IOCTL(5) // 0x002A4014: in RemapRecord

// Canonical buttons of the arcade stick, in the order of their bits in the
// decoded button word, of APP_INSTANCE.Buttons and of RemapRecord.ButtonMap.
#define QUILLEX_CANONICAL_BUTTON_COUNT 13

// The application state block: the controller as the application sees it.
typedef struct _APP_INSTANCE {
    UCHAR Buttons[QUILLEX_CANONICAL_BUTTON_COUNT]; // 0 released, anything else pressed
    UCHAR Padding[3];
    ULONG RightStickY; // raw stick scale: 0 and 255 the ends, 128 the centre
    ULONG RightStickX;
    ULONG LeftStickX;
    ULONG LeftStickY;
    ULONG Dpad;          // hat: 0..7 from up clockwise, 8 centred
    ULONG FirstTrigger;  // 0 released .. 255 fully pressed
    ULONG SecondTrigger; // the other trigger
    ULONG Led;           // LED index 0..3
} APP_INSTANCE, *PAPP_INSTANCE;

static_assert(sizeof(APP_INSTANCE) == 48, "APP_INSTANCE is 48 bytes");
static_assert(offsetof(APP_INSTANCE, Buttons) == 0, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, RightStickY) == 16, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, RightStickX) == 20, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, LeftStickX) == 24, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, LeftStickY) == 28, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, Dpad) == 32, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, FirstTrigger) == 36, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, SecondTrigger) == 40, "APP_INSTANCE layout");
static_assert(offsetof(APP_INSTANCE, Led) == 44, "APP_INSTANCE layout");

// Curve control points: six pairs, one per analog axis, in this order.
#define QUILLEX_CURVE_COUNT         6
#define QUILLEX_CONTROL_POINT_COUNT (2 * QUILLEX_CURVE_COUNT)

// The mapping record: 29 packed bytes, in the context, on the wire and, one
// REG_DWORD per byte (RestoreDefaults excepted), in the registry.
#pragma pack(push, 1)
typedef struct _REMAP_RECORD {
    UCHAR ButtonMap[QUILLEX_CANONICAL_BUTTON_COUNT]; // Xbox button index 0..11 per canonical button
    UCHAR SWAP_TRIGGERS;
    UCHAR SWAP_STICKS;
    UCHAR ENABLE_SCALING;
    UCHAR RestoreDefaults; // on set: nonzero restores the defaults; always 0 when stored
    union {
        UCHAR ControlPoints[QUILLEX_CONTROL_POINT_COUNT];
        struct {
            UCHAR R_TRIG_CP_1, R_TRIG_CP_2;
            UCHAR L_TRIG_CP_1, L_TRIG_CP_2;
            UCHAR R_STICK_X_CP_1, R_STICK_X_CP_2;
            UCHAR R_STICK_Y_CP_1, R_STICK_Y_CP_2;
            UCHAR L_STICK_X_CP_1, L_STICK_X_CP_2;
            UCHAR L_STICK_Y_CP_1, L_STICK_Y_CP_2;
        };
    };
} REMAP_RECORD, RemapRecord, *PREMAP_RECORD;
#pragma pack(pop)

static_assert(sizeof(REMAP_RECORD) == 29, "RemapRecord is 29 packed bytes");
static_assert(offsetof(REMAP_RECORD, SWAP_TRIGGERS) == 13, "RemapRecord layout");
static_assert(offsetof(REMAP_RECORD, RestoreDefaults) == 16, "RemapRecord layout");
static_assert(offsetof(REMAP_RECORD, ControlPoints) == 17, "RemapRecord layout");
