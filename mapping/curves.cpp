// Built on the configuration paths only, never per report.
#include "mapping/curves.h"

VOID BuildCurveTables(PDEVICE_CONTEXT Context) {
    if (Context == NULL) {
        return;
    }
    for (ULONG k = 0; k < QUILLEX_CURVE_COUNT; ++k) {
        BuildCurveTable(Context->RemapRecord.ControlPoints[2 * k],
                        Context->RemapRecord.ControlPoints[2 * k + 1], Context->CurveTables[k]);
    }
}
