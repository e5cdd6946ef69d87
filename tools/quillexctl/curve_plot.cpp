#include "tools/quillexctl/curve_plot.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "mapping/curve_table.h"
#include "tools/common/text_format.h"

namespace {

const char* const kNames[QUILLEX_CURVE_COUNT] = {"R_TRIG",    "L_TRIG",    "R_STICK_X",
                                                 "R_STICK_Y", "L_STICK_X", "L_STICK_Y"};
const char* const kColours[QUILLEX_CURVE_COUNT] = {"#d62728", "#1f77b4", "#2ca02c",
                                                   "#9467bd", "#ff7f0e", "#8c564b"};

// Six panels, three to a row: each plots one curve, output against raw
// input, on its own axes, so curves that coincide (the defaults all do)
// stay readable.
constexpr int kColumns = 3;
constexpr int kPlot = 256;       // plot area of a panel, pixels; one raw step a pixel
constexpr int kPanelLeft = 56;   // room for the output axis' numbers and label
constexpr int kPanelTop = 44;    // the panel's title
constexpr int kPanelBottom = 48; // the input axis' numbers and label
constexpr int kPanelRight = 20;
constexpr int kPanelWidth = kPanelLeft + kPlot + kPanelRight;
constexpr int kPanelHeight = kPanelTop + kPlot + kPanelBottom;
constexpr int kHeader = 40;

// One curve's panel with its top-left corner at (left, top).
std::string Panel(const Curve& c, const char* colour, int left, int top) {
    const int x0 = left + kPanelLeft, y0 = top + kPanelTop + kPlot; // the origin
    auto x = [&](double input) { return x0 + input * kPlot / 256.0; };
    auto y = [&](double output) { return y0 - output * kPlot / 256.0; };
    std::string svg = Format("<g id=\"%s\">\n", c.name);
    svg += Format("<text x=\"%d\" y=\"%d\" font-size=\"15\" font-weight=\"bold\">%s</text>"
                  "<text x=\"%d\" y=\"%d\" font-size=\"11\" fill=\"#555\">%s_CP_1 = %u, %s_CP_2 = "
                  "%u</text>\n",
                  x0, top + 18, c.name, x0, top + 34, c.name, c.p1, c.name, c.p2);
    // Grid and numbers every 64 raw steps.
    for (int v = 0; v <= 256; v += 64) {
        svg += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#e4e4e4\"/>"
                      "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>\n",
                      x(v), y0, x(v), y0 - kPlot, x0, y(v), x0 + kPlot, y(v));
        svg += Format("<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%d</text>"
                      "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%d</text>\n",
                      x(v), y0 + 16, v == 256 ? 255 : v, x0 - 6, y(v) + 4, v == 256 ? 255 : v);
    }
    svg += Format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" "
                  "stroke=\"#888\"/>\n",
                  x0, y0 - kPlot, kPlot, kPlot);
    svg += Format("<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">raw input</text>\n", x(128),
                  y0 + 36);
    svg += Format("<text transform=\"translate(%d %.1f) rotate(-90)\" text-anchor=\"middle\">"
                  "output</text>\n",
                  left + 16, y(128));
    // The identity, for comparison, and the control polygon: the curve runs
    // from (0, 0) to (256, 256) drawn towards the two control points, which
    // sit at a third and two thirds of the input.
    svg += Format("<line x1=\"%d\" y1=\"%d\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#aaa\" "
                  "stroke-dasharray=\"4 4\"/>\n",
                  x0, y0, x(256), y(256));
    const double cx1 = 256.0 / 3, cx2 = 512.0 / 3;
    svg += Format("<polyline class=\"control-polygon\" fill=\"none\" stroke=\"%s\" "
                  "stroke-opacity=\"0.5\" stroke-dasharray=\"2 3\" "
                  "points=\"%d,%d %.1f,%.1f %.1f,%.1f %.1f,%.1f\"/>\n",
                  colour, x0, y0, x(cx1), y(c.p1), x(cx2), y(c.p2), x(256), y(256));
    svg += Format("<polyline class=\"curve\" fill=\"none\" stroke-width=\"2\" stroke=\"%s\" "
                  "points=\"",
                  colour);
    for (int i = 0; i < 256; ++i) {
        svg += Format("%.0f,%.0f ", x(i), y(c.table[i]));
    }
    svg += "\"/>\n";
    const uint8_t points[2] = {c.p1, c.p2};
    const double at[2] = {cx1, cx2};
    for (int k = 0; k < 2; ++k) {
        svg += Format("<circle class=\"control-point\" cx=\"%.1f\" cy=\"%.1f\" r=\"5\" "
                      "fill=\"white\" stroke=\"%s\" stroke-width=\"2\"/>"
                      "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" fill=\"%s\">CP_%d %u</text>\n",
                      x(at[k]), y(points[k]), colour, x(at[k]) + 8,
                      y(points[k]) + (points[k] > 200 ? 14 : -7), colour, k + 1, points[k]);
    }
    svg += "</g>\n";
    return svg;
}

} // namespace

CurveSet BuildCurves(const REMAP_RECORD& record) {
    CurveSet curves;
    for (int k = 0; k < QUILLEX_CURVE_COUNT; ++k) {
        Curve& c = curves[k];
        c.name = kNames[k];
        c.p1 = record.ControlPoints[2 * k];
        c.p2 = record.ControlPoints[2 * k + 1];
        BuildCurveTable(c.p1, c.p2, c.table.data());
    }
    return curves;
}

bool WriteCurvesSvg(const std::string& path, const CurveSet& curves, bool scalingOn,
                    std::string* error) {
    const int rows = (QUILLEX_CURVE_COUNT + kColumns - 1) / kColumns;
    const int width = kColumns * kPanelWidth, height = kHeader + rows * kPanelHeight;
    std::string svg = Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" "
                             "height=\"%d\" viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" "
                             "font-size=\"12\">\n",
                             width, height, width, height);
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += Format("<text x=\"%d\" y=\"26\" font-size=\"17\">Quillex response curves: output "
                  "against raw input (scaling %s%s)</text>\n",
                  kPanelLeft, scalingOn ? "on" : "off",
                  scalingOn ? "" : ", so the driver passes every axis as it comes");
    for (size_t k = 0; k < curves.size(); ++k) {
        int column = static_cast<int>(k) % kColumns, row = static_cast<int>(k) / kColumns;
        svg += Panel(curves[k], kColours[k], column * kPanelWidth, kHeader + row * kPanelHeight);
    }
    svg += "</svg>\n";

    // Written beside the target and renamed over it: a failed write leaves
    // the player's old file as it was.
    std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "wb");
    bool ok = file != nullptr && fwrite(svg.data(), 1, svg.size(), file) == svg.size();
    int savedErrno = errno;
    if (file != nullptr && fclose(file) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        remove(temporary.c_str());
        *error = "cannot write " + path + ": " + strerror(savedErrno);
    }
    return ok;
}

std::string CurvesJson(const CurveSet& curves) {
    nlohmann::json j;
    for (const Curve& c : curves) {
        j[c.name] = {{"control_points", {c.p1, c.p2}},
                     {"table", std::vector<int>(c.table.begin(), c.table.end())}};
    }
    return j.dump();
}
