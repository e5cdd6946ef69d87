#!/usr/bin/python3
"""Checks a built quillex.sys as Windows 7 x64 would load it.

usage: check-pe.py IMAGE [--pdb PDB] [--sources ROOT] [--windows7 DIR]

  - AMD64, native subsystem, operating system and subsystem version 6.1;
  - NX compatible and relocatable; no section both writable and executable;
  - a valid checksum;
  - the entry point and DriverEntry in a discardable INIT section; every routine
    whose source marks it PAGED_CODE() in the PAGE section (with --sources);
  - .pdata covering every function the PDB lists;
  - imports only from the kernel, the HAL, the HID parser, the USB library and
    the framework loader; no C++-named import, no import by ordinal; every
    imported routine known on Windows 7 SP1 x64.

Prints one line per fault and exits 1 when there is any.
"""
import argparse
import os
import re
import subprocess
import sys

import pefile

from wdk_check import wdk_check_dir

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000

# The modules the driver may import from, by the name the loader matches
# (case-insensitively), and what is known of each on Windows 7 SP1 x64.
# ntoskrnl.exe and HAL.dll: the export lists beside the Windows header check.
# The others have no list; Microsoft's reference gives each routine's first
# version, all before Windows 7.
KNOWN_ELSEWHERE = {
    "hidparse.sys": {"HidP_GetCaps", "HidP_GetButtonCaps", "HidP_GetValueCaps"},
    "usbd.sys": {
        "USBD_ParseConfigurationDescriptorEx",
        "USBD_ParseDescriptors",
        "USBD_ValidateConfigurationDescriptor",
    },
    # The framework loader of KMDF 1.x, WDFLDR.SYS since Windows Vista.
    "wdfldr.sys": {"WdfVersionBind", "WdfVersionUnbind"},
    # Microsoft's reference gives these from Windows XP on; Windows 7's symbols
    # do not name them so, and its list holds them as unconfirmed. Each must
    # stay in that list (a name in neither is refused).
    "ntoskrnl.exe": {
        "ExAcquireRundownProtection",
        "ExReleaseRundownProtection",
        "ExWaitForRundownProtectionRelease",
    },
}
LISTED = {"ntoskrnl.exe": "ntoskrnl.exe.txt", "hal.dll": "hal.dll.txt"}
RUNTIME_DLL = re.compile(r"^(msvcr|msvcp|vcruntime|ucrtbase|api-ms-win-crt|libstdc|libgcc)", re.I)


def default_windows7_dir():
    return os.path.join(wdk_check_dir(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "windows7-x64")


class Faults:
    def __init__(self):
        self.lines = []

    def add(self, text):
        self.lines.append(text)
        print("FAULT " + text)


def check_headers(pe, faults):
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    if fh.Machine != IMAGE_FILE_MACHINE_AMD64:
        faults.add("machine 0x%04x, not AMD64" % fh.Machine)
    if oh.Subsystem != IMAGE_SUBSYSTEM_NATIVE:
        faults.add("subsystem %d, not native" % oh.Subsystem)
    for what, major, minor in (
        ("operating system", oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
        ("subsystem", oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
    ):
        if (major, minor) != (6, 1):
            faults.add("%s version %d.%d, not 6.1 (Windows 7)" % (what, major, minor))
    if not oh.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT:
        faults.add("not marked NX compatible")
    relocs = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if (
        not oh.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE
        or fh.Characteristics & IMAGE_FILE_RELOCS_STRIPPED
        or relocs.Size == 0
    ):
        faults.add("not relocatable (dynamic base, relocations)")
    for s in pe.sections:
        if s.Characteristics & IMAGE_SCN_MEM_WRITE and s.Characteristics & IMAGE_SCN_MEM_EXECUTE:
            faults.add("section %s is both writable and executable" % section_name(s))
    if oh.CheckSum == 0 or oh.CheckSum != pe.generate_checksum():
        faults.add("checksum 0x%x, the image's is 0x%x" % (oh.CheckSum, pe.generate_checksum()))


def section_name(s):
    return s.Name.rstrip(b"\0").decode("ascii", "replace")


def section_of(pe, rva):
    for s in pe.sections:
        if s.VirtualAddress <= rva < s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData):
            return s
    return None


def pdb_procedures(pdb):
    """(name, section index, offset, size) of every procedure the PDB lists, and
    the names of the routines inlined somewhere."""
    text = subprocess.run(
        [os.environ.get("LLVM_PDBUTIL", "/usr/lib/llvm-16/bin/llvm-pdbutil"), "dump", "--symbols", pdb],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    found = re.findall(
        r"S_[GL]PROC32 \[size = \d+\] `(.*)`[ \t]*\n\s*parent = \d+, end = \d+, "
        r"addr = (\d+):(\d+), code size = (\d+)",
        text,
    )
    # llvm-pdbutil prints section and offset in decimal.
    # Routines are matched by their own name, without the namespace.
    procs = [(name.split("::")[-1], int(sec), int(off), int(size)) for name, sec, off, size in found]
    inlined = set(re.findall(r"S_INLINESITE \[size = \d+\]\s*\n\s*inlinee = 0x[0-9A-Fa-f]+ \(([^)]*)\)", text))
    return procs, inlined


def check_placement_and_unwind(pe, pdb, sources, faults):
    init = [s for s in pe.sections if section_name(s) == "INIT"]
    page = [s for s in pe.sections if section_name(s) == "PAGE"]
    if not init or not init[0].Characteristics & IMAGE_SCN_MEM_DISCARDABLE:
        faults.add("no discardable INIT section")
    if not page or page[0].Misc_VirtualSize == 0 or page[0].Characteristics & IMAGE_SCN_MEM_DISCARDABLE:
        faults.add("no PAGE section with code that stays")
    entry = section_of(pe, pe.OPTIONAL_HEADER.AddressOfEntryPoint)
    if entry is None or section_name(entry) != "INIT":
        faults.add("the entry point is not in INIT")
    if pdb is None:
        return
    procs, inlined = pdb_procedures(pdb)
    if not procs:
        faults.add("%s lists no procedures" % pdb)
        return
    rva_of = {}
    for name, sec, off, size in procs:
        if not 1 <= sec <= len(pe.sections):
            faults.add("%s: section %d is not in the image" % (name, sec))
            continue
        rva_of.setdefault(name, []).append((pe.sections[sec - 1].VirtualAddress + off, size))

    for name in ("DriverEntry", "FxDriverEntry"):
        for rva, _ in rva_of.get(name, [(None, 0)]):
            s = section_of(pe, rva) if rva is not None else None
            if s is None or section_name(s) != "INIT":
                faults.add("%s is not in INIT" % name)

    if sources:
        for name in paged_routines(sources):
            places = rva_of.get(name)
            if not places:
                # Inlined everywhere: it runs where its callers are placed.
                if name not in inlined:
                    faults.add("pageable routine %s is not in the PDB" % name)
                continue
            for rva, _ in places:
                s = section_of(pe, rva)
                if s is None or section_name(s) != "PAGE":
                    faults.add("%s calls PAGED_CODE() but is not in PAGE" % name)

    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]])
    ranges = sorted(
        (e.struct.BeginAddress, e.struct.EndAddress) for e in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])
    )
    if not ranges:
        faults.add("no .pdata: the image has no unwind data")
        return
    for name, places in sorted(rva_of.items()):
        for rva, size in places:
            if size and not covered(ranges, rva, rva + size):
                faults.add("%s (RVA 0x%x, %d bytes) is not covered by .pdata" % (name, rva, size))


def covered(ranges, start, end):
    """Whether the runtime-function entries cover [start, end) without a gap."""
    at = start
    for begin, finish in ranges:
        if begin <= at < finish:
            at = finish
            if at >= end:
                return True
    return False


def paged_routines(root):
    """Names of the routines that call PAGED_CODE(), read from the driver sources."""
    names = set()
    for folder in ("driver", "hid", "mapping", "xusb", "appapi", "platform"):
        for base, _, files in os.walk(os.path.join(root, folder)):
            for f in files:
                if not f.endswith(".cpp"):
                    continue
                lines = open(os.path.join(base, f), encoding="utf-8").read().split("\n")
                for i, line in enumerate(lines):
                    if line.strip() != "PAGED_CODE();":
                        continue
                    j = i - 1
                    while j >= 0 and not re.match(r"[A-Za-z_]", lines[j]):
                        j -= 1
                    head = lines[j].split("(", 1)[0]
                    names.add(re.findall(r"[A-Za-z_]\w*", head)[-1])
    return sorted(names)


def check_imports(pe, windows7, faults):
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    known = {dll: set(names) for dll, names in KNOWN_ELSEWHERE.items()}
    for dll, listing in LISTED.items():
        path = os.path.join(windows7, listing)
        try:
            with open(path, encoding="utf-8") as f:
                listed = {line.strip() for line in f if line.strip()}
            confirmed = known.get(dll, set())
            if confirmed:
                unconfirmed_path = os.path.join(windows7, listing.replace(".txt", ".unconfirmed.txt"))
                with open(unconfirmed_path, encoding="utf-8") as f:
                    unconfirmed = {line.strip() for line in f if line.strip()}
                for name in sorted(confirmed - unconfirmed - listed):
                    faults.add("%s: %s is confirmed here but in neither Windows 7 list" % (dll, name))
                    confirmed = confirmed - {name}
            known[dll] = listed | confirmed
        except OSError as error:
            faults.add("cannot read the Windows 7 export list %s: %s" % (path, error))
            known[dll] = set()
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    if not entries:
        faults.add("the image imports nothing")
    for entry in entries:
        dll = entry.dll.decode("ascii", "replace")
        if RUNTIME_DLL.match(dll):
            faults.add("imports the C runtime %s" % dll)
            continue
        if dll.lower() not in known:
            faults.add("imports from %s, which is not a module the driver may use" % dll)
            continue
        for imp in entry.imports:
            if imp.name is None:
                faults.add("%s: import by ordinal %d" % (dll, imp.ordinal))
                continue
            name = imp.name.decode("ascii", "replace")
            if name.startswith("?"):
                faults.add("%s: C++-named import %s: no kernel module exports it" % (dll, name))
            elif name not in known[dll.lower()]:
                faults.add("%s: %s is not known on Windows 7 SP1 x64" % (dll, name))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("image")
    parser.add_argument("--pdb", help="default: the image's name with .pdb, when it exists")
    parser.add_argument("--sources", help="the repository root, to check where pageable routines went")
    parser.add_argument("--windows7", default=default_windows7_dir())
    args = parser.parse_args()
    pdb = args.pdb
    if pdb is None and os.path.exists(os.path.splitext(args.image)[0] + ".pdb"):
        pdb = os.path.splitext(args.image)[0] + ".pdb"

    try:
        pe = pefile.PE(args.image)
    except (OSError, pefile.PEFormatError) as error:
        sys.exit("check-pe: %s: %s" % (args.image, error))
    faults = Faults()
    check_headers(pe, faults)
    check_placement_and_unwind(pe, pdb, args.sources, faults)
    check_imports(pe, args.windows7, faults)
    if faults.lines:
        print("check-pe: %s: %d faults" % (args.image, len(faults.lines)))
        return 1
    print("check-pe: %s loads as Windows 7 x64 expects" % args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
