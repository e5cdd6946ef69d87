// Built on the configuration paths only, never per report. quillexctl.exe
// compiles this file too, as a Windows program with Windows' own types.
#if defined(_WIN32) && !defined(_KERNEL_MODE)
#include <windows.h>
#else
#include "platform/platform.h"
#endif

#include "mapping/curve_table.h"

VOID BuildCurveTable(ULONG P1, ULONG P2, UCHAR Table[256]) {
    // y(t) = c3*t^3 + c2*t^2 + c1*t with t = i/256 is exactly N(i) / 2^24 with
    // N(i) = c3*i^3 + 256*c2*i^2 + 65536*c1*i, so integers give the same table
    // as the double-precision evaluation, bit for bit, with no floating point in
    // the kernel. Entries round half up and clamp at 255.
    const LONGLONG p1 = P1 & 0xFF;
    const LONGLONG p2 = P2 & 0xFF;
    const LONGLONG c1 = 3 * p1;
    const LONGLONG c2 = 3 * p2 - 6 * p1;
    const LONGLONG c3 = 256 + 3 * p1 - 3 * p2;

    for (LONGLONG i = 0; i < 256; ++i) {
        LONGLONG n = c3 * i * i * i + 256 * c2 * i * i + 65536 * c1 * i;
        LONGLONG entry = (n + 8388608) / 16777216;
        // The curve blends 0, P1, P2 and 256 with non-negative weights, so n >= 0
        // and truncating division is the floor of the rounded value.
        Table[i] = static_cast<UCHAR>(entry > 255 ? 255 : entry);
    }
}
