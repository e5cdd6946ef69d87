// One axis's response curve as a table of 256 entries. The driver builds its
// six from the mapping; quillexctl draws the same curves from the same code.
// Needs the platform's base types first: platform/platform.h in the driver,
// <windows.h> in a Windows program.
#pragma once

// Fills Table with the curve through 0, P1, P2 and 256 at t = i/256. Only the
// low byte of each control point counts.
VOID BuildCurveTable(_In_ ULONG P1, _In_ ULONG P2, _Out_writes_(256) UCHAR Table[256]);

// Curve tables, in control-point pair order.
typedef enum _CURVE_TABLE_INDEX {
    CURVE_R_TRIG = 0,
    CURVE_L_TRIG = 1,
    CURVE_R_STICK_X = 2,
    CURVE_R_STICK_Y = 3,
    CURVE_L_STICK_X = 4,
    CURVE_L_STICK_Y = 5,
} CURVE_TABLE_INDEX;
