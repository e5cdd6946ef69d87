// Quillex control interface, shared with the companion application.
//
// Control codes and payload layouts, little-endian and packed exactly as they
// travel. Include the platform's Windows headers first: <windows.h> and
// <winioctl.h> in an application, platform/platform.h in the driver.
#pragma once

// The layout checks below: static_assert is a keyword in C++, and C11 spells
// it _Static_assert unless <assert.h> names it.
#if !defined(__cplusplus) && !defined(static_assert)
#define static_assert _Static_assert
#endif

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

// Every code needs a handle opened with read access (GENERIC_READ), the
// writing ones too. Completion statuses besides success:
//   STATUS_BUFFER_TOO_SMALL       a buffer shorter than its payload; nothing changes
//   STATUS_INVALID_DEVICE_REQUEST GET_VALUE or SET_VALUE of an id that names no item
//   STATUS_INVALID_PARAMETER      SET_VALUE of a D-pad above 8, an LED above 3 or an
//                                 arcade setting out of its range; nothing changes
//   STATUS_DEVICE_NOT_READY       SET_STATE or SET_VALUE while the stick is not
//                                 started: the block keeps the values, nothing is sent
//   any registry status           SET_MAPPING whose mapping could not be saved: the
//                                 mapping is in force until the stick is restarted
// A write whose report finds the emulated controller not polling, or no
// emulated controller at all, succeeds: the controller reads the state at its
// next poll.

// Canonical buttons of the arcade stick, in the order of their bits in the
// decoded button word, of APP_INSTANCE.Buttons and of RemapRecord.ButtonMap.
#define QUILLEX_CANONICAL_BUTTON_COUNT 13

// The application state block: the controller as the application sees it.
//
// Reading it (IOCTL_QUILLEX_GET_STATE) gives the stick's state after its last
// report; writing it (IOCTL_QUILLEX_SET_STATE, IOCTL_QUILLEX_SET_VALUE) drives
// the emulated controller with it at once. The two trigger fields do not name
// the same trigger in both directions: a read puts the left trigger in
// FirstTrigger and the right one in SecondTrigger, while a write drives the
// right trigger from FirstTrigger and the left one from SecondTrigger. A block
// read and written back unchanged therefore exchanges the triggers.
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

// Data items: single fields of APP_INSTANCE, by id, for IOCTL_QUILLEX_GET_VALUE
// and IOCTL_QUILLEX_SET_VALUE. Buttons are 1 byte (set: nonzero presses),
// the LED 2 bytes, every other item 4 bytes. A GET_VALUE reply is 4 bytes: a
// button's byte followed by bytes 1 to 3 of the id that was sent (zero for
// every valid id), or the 32-bit field.
#define QUILLEX_ITEM_BTN_A               1 // Buttons[0] .. Buttons[12]: ids 1 to 13
#define QUILLEX_ITEM_BTN_B               2
#define QUILLEX_ITEM_BTN_X               3
#define QUILLEX_ITEM_BTN_Y               4
#define QUILLEX_ITEM_BTN_LEFT_TRIGGER    5
#define QUILLEX_ITEM_BTN_RIGHT_TRIGGER   6
#define QUILLEX_ITEM_BTN_BACK            7
#define QUILLEX_ITEM_BTN_RIGHT_TRIANGLE  8
#define QUILLEX_ITEM_BTN_LEFT_JOY_PRESS  9
#define QUILLEX_ITEM_BTN_RIGHT_JOY_PRESS 10
#define QUILLEX_ITEM_BTN_PWR             11
#define QUILLEX_ITEM_BTN_HOME            12
#define QUILLEX_ITEM_BTN_LEFT_TRIANGLE   13
#define QUILLEX_ITEM_RIGHT_STICK_Y       14
#define QUILLEX_ITEM_RIGHT_STICK_X       15
#define QUILLEX_ITEM_LEFT_STICK_X        16
#define QUILLEX_ITEM_LEFT_STICK_Y        17
#define QUILLEX_ITEM_DPAD                18 // 0 to 8 on a single-item write
#define QUILLEX_ITEM_FIRST_TRIGGER       19
#define QUILLEX_ITEM_SECOND_TRIGGER      20
#define QUILLEX_ITEM_LED                 21 // 0 to 3 on a single-item write
#define QUILLEX_ITEM_FIRST               QUILLEX_ITEM_BTN_A
#define QUILLEX_ITEM_LAST                QUILLEX_ITEM_LED // the last field of APP_INSTANCE
#define QUILLEX_DPAD_MAX                 8                // centred
#define QUILLEX_LED_MAX                  3

// Arcade settings: data items that are not fields of APP_INSTANCE but
// settings of the driver, kept beside the mapping (each a REG_DWORD of the
// same name under \Parameters\Remap). Every one is 4 bytes, read and written
// as a 32-bit number. A set checks the range (STATUS_INVALID_PARAMETER and
// nothing changes when it is out of it), is in force from the next report on
// and is saved at once; a failed save completes the request with the
// registry's status, the setting staying in force until the stick restarts.
// IOCTL_QUILLEX_SET_MAPPING with RestoreDefaults puts these defaults back too
// and saves them.
//
// A driver that does not know an id refuses it with
// STATUS_INVALID_DEVICE_REQUEST: read QUILLEX_ITEM_INTERFACE_VERSION first.
#define QUILLEX_ITEM_DPAD_MODE  22 // QUILLEX_DPAD_MODE_*, default d-pad
#define QUILLEX_ITEM_TURBO_MASK 23 // bit i: canonical button i repeats while held; default 0
#define QUILLEX_ITEM_TURBO_RATE 24 // presses per second, 2 to 30; default 15
#define QUILLEX_ITEM_HOTKEYS    25 // 1: the mode combination is on; default 0 (off)
// Read-only: QUILLEX_INTERFACE_VERSION. A set is refused with
// STATUS_INVALID_DEVICE_REQUEST.
#define QUILLEX_ITEM_INTERFACE_VERSION 26
#define QUILLEX_ITEM_SETTINGS_FIRST    QUILLEX_ITEM_DPAD_MODE
#define QUILLEX_ITEM_SETTINGS_LAST     QUILLEX_ITEM_INTERFACE_VERSION

// 1: items 1 to 21 only (a driver that does not answer item 26 is one).
// 2: the arcade settings, and mapping targets 12 and 13.
#define QUILLEX_INTERFACE_VERSION 2

// What the lever drives. In a stick mode the lever moves that stick to the
// ends of its travel (0 or 255 on the raw scale, 128 for an axis it does not
// push; a diagonal pushes both), the d-pad stays released, and the stick's
// own analog input passes while the lever is centred. The stick named is the
// one the game sees, after SWAP_STICKS; the curves do not bend the lever's
// travel.
#define QUILLEX_DPAD_MODE_DPAD        0
#define QUILLEX_DPAD_MODE_LEFT_STICK  1
#define QUILLEX_DPAD_MODE_RIGHT_STICK 2
#define QUILLEX_DPAD_MODE_MAX         QUILLEX_DPAD_MODE_RIGHT_STICK

// Turbo: a held button in TURBO_MASK is pressed from the moment it goes
// down, released half a period later, pressed again at the next period, and
// released when it is let go. Turbo follows the stick's own buttons; the
// application's writes drive buttons as written.
#define QUILLEX_TURBO_MASK_ALL     0x1FFF
#define QUILLEX_TURBO_RATE_MIN     2
#define QUILLEX_TURBO_RATE_MAX     30
#define QUILLEX_TURBO_RATE_DEFAULT 15

// The mode combination (HOTKEYS = 1): BTN_BACK and BTN_HOME held together with
// the lever left (left stick), right (right stick) or down (d-pad). From the
// moment both buttons are down until both are up and the lever is centred,
// the game sees neither button nor the lever, so nothing is left pressed
// behind. A mode set this way is saved like any other setting.
#define QUILLEX_HOTKEYS_OFF 0
#define QUILLEX_HOTKEYS_ON  1

// The input of IOCTL_QUILLEX_SET_VALUE; an item uses as many value bytes as
// its size.
typedef struct _QUILLEX_SET_VALUE_INPUT {
    ULONG DataItemId;
    UCHAR Value[4];
} QUILLEX_SET_VALUE_INPUT;

static_assert(sizeof(QUILLEX_SET_VALUE_INPUT) == 8, "SET_VALUE input is 8 bytes");

// ButtonMap targets past the Xbox buttons (0 A .. 10 guide).
#define QUILLEX_MAPPING_TARGET_NONE          11
#define QUILLEX_MAPPING_TARGET_LEFT_TRIGGER  12
#define QUILLEX_MAPPING_TARGET_RIGHT_TRIGGER 13

// Curve control points: six pairs, one per analog axis, in this order.
#define QUILLEX_CURVE_COUNT         6
#define QUILLEX_CONTROL_POINT_COUNT (2 * QUILLEX_CURVE_COUNT)

// The mapping record: 29 packed bytes, in the context, on the wire and, one
// REG_DWORD per byte (RestoreDefaults excepted), in the registry.
#pragma pack(push, 1)
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4201) // nameless struct/union, as the WDK's own headers allow
#endif
typedef struct _REMAP_RECORD {
    // Per canonical button: Xbox button index 0..10, 11 none, 12 the left
    // trigger, 13 the right trigger (pulled fully while the button is held,
    // or the trigger's own travel if that is further; then the trigger's
    // curve and SWAP_TRIGGERS apply as to the travel alone). Drivers of
    // interface version 1 read 12 and above as none.
    UCHAR ButtonMap[QUILLEX_CANONICAL_BUTTON_COUNT];
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
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
#pragma pack(pop)

static_assert(sizeof(REMAP_RECORD) == 29, "RemapRecord is 29 packed bytes");
static_assert(offsetof(REMAP_RECORD, SWAP_TRIGGERS) == 13, "RemapRecord layout");
static_assert(offsetof(REMAP_RECORD, RestoreDefaults) == 16, "RemapRecord layout");
static_assert(offsetof(REMAP_RECORD, ControlPoints) == 17, "RemapRecord layout");
