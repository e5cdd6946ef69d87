// The six calibration curves the mapping's control points give, as a player
// sees them: an SVG plot of output against input, and their tables as JSON.
#pragma once

#include <stdint.h>

#include <array>
#include <string>

#include "tools/quillexctl/public_header.h"

struct Curve {
    const char* name; // R_TRIG, L_TRIG, R_STICK_X ...
    uint8_t p1, p2;
    std::array<uint8_t, 256> table;
};
using CurveSet = std::array<Curve, QUILLEX_CURVE_COUNT>;

// Built exactly as the driver builds them.
CurveSet BuildCurves(const REMAP_RECORD& record);
// An existing file is replaced only once the new one is completely written.
bool WriteCurvesSvg(const std::string& path, const CurveSet& curves, bool scalingOn,
                    std::string* error);
std::string CurvesJson(const CurveSet& curves);
