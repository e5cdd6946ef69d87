// The Xbox 360 report's button bits, and the tables that turn a mapping's
// button index and a hat value into them. The driver composes its reports
// with them; quillexctl's page draws the game's view with the same tables.
// Needs the platform's base types first: platform/platform.h in the driver,
// <windows.h> in a Windows program.
#pragma once

// Button bits of the report's button field.
#define XUSB_DPAD_UP        0x0001
#define XUSB_DPAD_DOWN      0x0002
#define XUSB_DPAD_LEFT      0x0004
#define XUSB_DPAD_RIGHT     0x0008
#define XUSB_START          0x0010
#define XUSB_BACK           0x0020
#define XUSB_LEFT_THUMB     0x0040
#define XUSB_RIGHT_THUMB    0x0080
#define XUSB_LEFT_SHOULDER  0x0100
#define XUSB_RIGHT_SHOULDER 0x0200
#define XUSB_GUIDE          0x0400
#define XUSB_A              0x1000
#define XUSB_B              0x2000
#define XUSB_X              0x4000
#define XUSB_Y              0x8000

// Xbox button indexes, as ButtonMap entries hold them: 0 A .. 10 guide, 11 none.
#define XUSB_BUTTON_INDEX_COUNT 12
#define XUSB_BUTTON_INDEX_NONE  11
extern const USHORT XusbButtonTable[XUSB_BUTTON_INDEX_COUNT];

// d-pad bits by hat value; hat values from 9 on set none.
#define DPAD_TABLE_COUNT 9
extern const UCHAR DpadTable[DPAD_TABLE_COUNT];
