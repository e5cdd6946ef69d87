// Calibration curves: a cubic Bezier response curve per analog axis.
#pragma once

#include "platform/device_context.h"
// After the platform types it is written with.
#include "mapping/curve_table.h"

// Curve tables, in control-point pair order.
typedef enum _CURVE_TABLE_INDEX {
    CURVE_R_TRIG = 0,
    CURVE_L_TRIG = 1,
    CURVE_R_STICK_X = 2,
    CURVE_R_STICK_Y = 3,
    CURVE_L_STICK_X = 4,
    CURVE_L_STICK_Y = 5,
} CURVE_TABLE_INDEX;

// Builds the six CurveTables from the control points of Context->RemapRecord.
VOID BuildCurveTables(_Inout_ PDEVICE_CONTEXT Context);
