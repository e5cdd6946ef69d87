// One axis's response curve as a table of 256 entries. The driver builds its
// six from the mapping; quillexctl draws the same curves from the same code.
// Needs the platform's base types first: platform/platform.h in the driver,
// <windows.h> in a Windows program.
#pragma once

// Fills Table with the curve through 0, P1, P2 and 256 at t = i/256. Only the
// low byte of each control point counts.
VOID BuildCurveTable(_In_ ULONG P1, _In_ ULONG P2, _Out_writes_(256) UCHAR Table[256]);
