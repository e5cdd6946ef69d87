// Read per report by the driver. quillexctl.exe compiles this file too, as a
// Windows program with Windows' own types.
#if defined(_WIN32) && !defined(_KERNEL_MODE)
#include <windows.h>
#else
#include "platform/platform.h"
#endif

#include "mapping/xusb_tables.h"

const USHORT XusbButtonTable[XUSB_BUTTON_INDEX_COUNT] = {
    XUSB_A,              // 0
    XUSB_B,              // 1
    XUSB_X,              // 2
    XUSB_Y,              // 3
    XUSB_LEFT_SHOULDER,  // 4
    XUSB_RIGHT_SHOULDER, // 5
    XUSB_BACK,           // 6
    XUSB_START,          // 7
    XUSB_LEFT_THUMB,     // 8
    XUSB_RIGHT_THUMB,    // 9
    XUSB_GUIDE,          // 10
    0,                   // 11: no Xbox button
};

const UCHAR DpadTable[DPAD_TABLE_COUNT] = {
    XUSB_DPAD_UP,                     // 0 up
    XUSB_DPAD_UP | XUSB_DPAD_RIGHT,   // 1 up+right
    XUSB_DPAD_RIGHT,                  // 2 right
    XUSB_DPAD_DOWN | XUSB_DPAD_RIGHT, // 3 down+right
    XUSB_DPAD_DOWN,                   // 4 down
    XUSB_DPAD_DOWN | XUSB_DPAD_LEFT,  // 5 down+left
    XUSB_DPAD_LEFT,                   // 6 left
    XUSB_DPAD_UP | XUSB_DPAD_LEFT,    // 7 up+left
    0,                                // 8 centred
};
