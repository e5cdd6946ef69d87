// Calibration curves: a cubic Bezier response curve per analog axis.
#pragma once

#include "platform/device_context.h"
// After the platform types it is written with.
#include "mapping/curve_table.h"

// Builds the six CurveTables from the control points of Context->RemapRecord.
VOID BuildCurveTables(_Inout_ PDEVICE_CONTEXT Context);
