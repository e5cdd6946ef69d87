#!/usr/bin/env python3
"""Checks a `quillexctl curves --svg` plot: well-formed XML, one panel per
curve with its axis labels, its curve, and its two control points marked
where their values put them.

check_curves_svg.py FILE.svg CURVES.json (as `quillexctl curves --json` prints)"""
import json
import sys
import xml.etree.ElementTree as ET

NS = "{http://www.w3.org/2000/svg}"
svg_path, json_path = sys.argv[1], sys.argv[2]
curves = json.load(open(json_path))
root = ET.parse(svg_path).getroot()  # raises on XML that is not well-formed
failures = []

panels = {g.get("id"): g for g in root.iter(NS + "g")}
if sorted(panels) != sorted(curves):
    failures.append(f"panels {sorted(panels)}, curves {sorted(curves)}")
for name, curve in curves.items():
    g = panels.get(name)
    if g is None:
        continue
    texts = ["".join(t.itertext()) for t in g.iter(NS + "text")]
    for label in ("raw input", "output", name):
        if label not in texts:
            failures.append(f"{name}: no label '{label}' (has {texts})")
    p1, p2 = curve["control_points"]
    if f"{name}_CP_1 = {p1}, {name}_CP_2 = {p2}" not in texts:
        failures.append(f"{name}: the title does not give the control points {p1}, {p2}")
    lines = [p for p in g.iter(NS + "polyline") if p.get("class") == "curve"]
    if len(lines) != 1:
        failures.append(f"{name}: {len(lines)} curves drawn")
        continue
    points = [tuple(map(float, p.split(","))) for p in lines[0].get("points").split()]
    if len(points) != 256:
        failures.append(f"{name}: {len(points)} points, not 256")
        continue
    # The panel's scale, from the curve's first point (input 0) and its
    # table: output = (origin_y - y) / (pixels per step).
    x0, y0 = points[0][0], points[0][1] + curve["table"][0]
    scale = points[1][0] - points[0][0]
    for i, (x, y) in enumerate(points):
        if abs(y - (y0 - curve["table"][i] * scale)) > 1:
            failures.append(f"{name}: input {i} drawn at output {(y0 - y) / scale}, "
                            f"the table says {curve['table'][i]}")
            break
    marks = [c for c in g.iter(NS + "circle") if c.get("class") == "control-point"]
    want = [(x0 + 256 / 3 * scale, y0 - p1 * scale), (x0 + 512 / 3 * scale, y0 - p2 * scale)]
    got = [(float(c.get("cx")), float(c.get("cy"))) for c in marks]
    if len(got) != 2 or any(abs(a - c) > 1 or abs(b - d) > 1 for (a, b), (c, d) in zip(got, want)):
        failures.append(f"{name}: control points marked at {got}, not {want}")

for f in failures:
    print("FAIL: curves svg: " + f, file=sys.stderr)
sys.exit(1 if failures else 0)
