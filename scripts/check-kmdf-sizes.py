#!/usr/bin/python3
"""Checks that every framework structure the driver fills carries a Size that
KMDF 1.9 accepts, as the Windows build compiles it.

usage: check-kmdf-sizes.py [--root DIR] [--framework DIR] [--headers DIR]

The structures are found in the driver folders by their INIT routines
(WDF_<TYPE>_INIT...). For each, the size the driver hands over is sizeof(TYPE),
or QUILLEX_KMDF_1_9_SIZE(TYPE) where the driver sets that after every INIT
call. The size KMDF 1.9 takes comes from the framework's own older layouts
(fxversionedstructures.h): the layout versioned for 1.9 or the first version
after it; a structure with no such layout has not grown since 1.9. Both are
compiled for Windows x64 with the kernel build's headers and compared.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

from wdk_check import wdk_check_dir

FOLDERS = ("driver", "hid", "mapping", "xusb", "appapi", "platform")


def driver_sources(root):
    for folder in FOLDERS:
        for base, _, files in os.walk(os.path.join(root, folder)):
            for f in sorted(files):
                if f.endswith((".cpp", ".h")):
                    yield os.path.join(base, f)


def filled_structures(root):
    """{type: (INIT calls, QUILLEX_KMDF_1_9_SIZE settings)} over the driver sources."""
    found = {}
    for path in driver_sources(root):
        text = open(path, encoding="utf-8").read()
        for m in re.finditer(r"\b(WDF_[A-Z0-9_]+?)_INIT(?:_[A-Z0-9_]+)?\s*\(", text):
            calls, sets = found.get(m.group(1), (0, 0))
            found[m.group(1)] = (calls + 1, sets)
        for m in re.finditer(r"\.Size\s*=\s*QUILLEX_KMDF_1_9_SIZE\((WDF_[A-Z0-9_]+)\)", text):
            calls, sets = found.get(m.group(1), (0, 0))
            found[m.group(1)] = (calls, sets + 1)
    return found


def layout_for_1_9(versioned_text, type_name):
    """(versioned type name, its definition) for KMDF 1.9, or None when unchanged."""
    best = None
    for m in re.finditer(r"typedef struct _%s_V1_(\d+)\s*\{" % re.escape(type_name), versioned_text):
        minor = int(m.group(1))
        if minor >= 9 and (best is None or minor < best[0]):
            best = (minor, m.start())
    if best is None:
        return None
    name = "%s_V1_%d" % (type_name, best[0])
    end = re.search(r"\}\s*%s\b[^;]*;" % re.escape(name), versioned_text[best[1]:])
    if end is None:
        sys.exit("check-kmdf-sizes: cannot read the layout %s" % name)
    return name, versioned_text[best[1] : best[1] + end.end()]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.dirname(here))
    parser.add_argument("--framework", help="the framework reference (kmdf-framework/)")
    parser.add_argument("--headers", required=True, help="a file of the kernel build's compiler flags, one per line")
    args = parser.parse_args()
    framework = args.framework or os.path.join(wdk_check_dir(args.root), "kmdf-framework")
    versioned_text = open(os.path.join(framework, "fxversionedstructures.h"), encoding="utf-8").read()
    flags = [line for line in open(args.headers, encoding="utf-8").read().split("\n") if line]

    structures = filled_structures(args.root)
    if not structures:
        sys.exit("check-kmdf-sizes: the driver fills no framework structure: wrong root?")
    source = ['#include "platform/platform.h"', "extern \"C\" {"]
    rows = []
    for type_name, (calls, sets) in sorted(structures.items()):
        if type_name == "WDF_MEMORY_DESCRIPTOR":
            continue  # carries no Size
        layout = layout_for_1_9(versioned_text, type_name)
        if layout:
            source.append(layout[1])
            accepted = "sizeof(%s)" % layout[0]
        else:
            accepted = "sizeof(%s)" % type_name
        handed = "QUILLEX_KMDF_1_9_SIZE(%s)" % type_name if sets else "sizeof(%s)" % type_name
        source.append("extern const unsigned long long qx_handed_%s = %s;" % (type_name, handed))
        source.append("extern const unsigned long long qx_accepted_%s = %s;" % (type_name, accepted))
        rows.append((type_name, calls, sets, layout[0] if layout else None))
    source.append("}")

    with tempfile.TemporaryDirectory() as work:
        cpp = os.path.join(work, "sizes.cpp")
        with open(cpp, "w", encoding="utf-8") as f:
            f.write("\n".join(source) + "\n")
        ir = subprocess.run(
            [os.environ.get("WINDOWS_CC", "/usr/lib/llvm-16/bin/clang"), "-x", "c++", "-std=c++17", "-S",
             "-emit-llvm", "-o", "-", "-Wno-everything", "-I", args.root] + flags + [cpp],
            capture_output=True, text=True,
        )
        if ir.returncode != 0:
            sys.exit("check-kmdf-sizes: the sizes do not compile:\n" + ir.stderr)
    values = dict(re.findall(r"@qx_(\w+) = (?:dso_local )?constant i64 (\d+)", ir.stdout))

    faults = 0
    for type_name, calls, sets, layout in rows:
        handed, accepted = int(values["handed_" + type_name]), int(values["accepted_" + type_name])
        where = layout or "unchanged since 1.9"
        if sets and sets != calls:
            print("FAULT %s: %d INIT calls but %d set 1.9's size" % (type_name, calls, sets))
            faults += 1
        if handed != accepted:
            print("FAULT %s: the driver hands over %d bytes, KMDF 1.9 takes %d (%s)"
                  % (type_name, handed, accepted, where))
            faults += 1
        else:
            print("OK    %s: %d bytes (%s)" % (type_name, handed, where))
    if faults:
        print("check-kmdf-sizes: %d faults" % faults)
        return 1
    print("check-kmdf-sizes: every structure the driver fills has KMDF 1.9's size")
    return 0


if __name__ == "__main__":
    sys.exit(main())
