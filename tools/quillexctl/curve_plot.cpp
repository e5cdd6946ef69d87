#include "tools/quillexctl/curve_plot.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "mapping/curve_table.h"

namespace {

const char* const kNames[QUILLEX_CURVE_COUNT] = {"R_TRIG",    "L_TRIG",    "R_STICK_X",
                                                 "R_STICK_Y", "L_STICK_X", "L_STICK_Y"};
const char* const kColours[QUILLEX_CURVE_COUNT] = {"#d62728", "#1f77b4", "#2ca02c",
                                                   "#9467bd", "#ff7f0e", "#8c564b"};

constexpr int kPlot = 512; // plot area, pixels; one raw step is two pixels
constexpr int kMargin = 48;

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
    std::string svg;
    char line[256];
    const int width = kPlot + 2 * kMargin + 200, height = kPlot + 2 * kMargin;
    snprintf(line, sizeof(line),
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
             "font-family=\"sans-serif\" font-size=\"13\">\n",
             width, height);
    svg += line;
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    snprintf(
        line, sizeof(line),
        "<text x=\"%d\" y=\"24\" font-size=\"16\">Quillex response curves (scaling %s)</text>\n",
        kMargin, scalingOn ? "on" : "off");
    svg += line;
    // Grid every 32 raw steps, with the identity as a dashed diagonal.
    for (int v = 0; v <= 256; v += 32) {
        int at = v * 2;
        snprintf(line, sizeof(line),
                 "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#ddd\"/>"
                 "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#ddd\"/>\n",
                 kMargin + at, kMargin, kMargin + at, kMargin + kPlot, kMargin,
                 kMargin + kPlot - at, kMargin + kPlot, kMargin + kPlot - at);
        svg += line;
        snprintf(line, sizeof(line),
                 "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%d</text>"
                 "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%d</text>\n",
                 kMargin + at, kMargin + kPlot + 18, v, kMargin - 6, kMargin + kPlot - at + 4, v);
        svg += line;
    }
    snprintf(line, sizeof(line),
             "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#999\" "
             "stroke-dasharray=\"4 4\"/>\n",
             kMargin, kMargin + kPlot, kMargin + kPlot, kMargin);
    svg += line;
    snprintf(line, sizeof(line),
             "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">raw input</text>\n",
             kMargin + kPlot / 2, kMargin + kPlot + 38);
    svg += line;
    for (size_t k = 0; k < curves.size(); ++k) {
        const Curve& c = curves[k];
        svg += "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"";
        svg += kColours[k];
        svg += "\" points=\"";
        for (int i = 0; i < 256; ++i) {
            snprintf(line, sizeof(line), "%d,%d ", kMargin + 2 * i,
                     kMargin + kPlot - 2 * c.table[i]);
            svg += line;
        }
        svg += "\"/>\n";
        snprintf(line, sizeof(line),
                 "<rect x=\"%d\" y=\"%zu\" width=\"14\" height=\"4\" fill=\"%s\"/>"
                 "<text x=\"%d\" y=\"%zu\">%s (%u, %u)</text>\n",
                 kMargin + kPlot + 20, kMargin + 22 * k + 6, kColours[k], kMargin + kPlot + 40,
                 kMargin + 22 * k + 12, c.name, c.p1, c.p2);
        svg += line;
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
