#!/usr/bin/python3
"""Puts faults into copies of a built quillex.sys and checks that check-pe.py
fails on each with the fault's message, and passes on the image as built.

usage: check_pe_faults.py IMAGE
"""
import os
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "..", "..", "scripts", "check-pe.py")
IMAGE_SCN_MEM_EXECUTE = 0x20000000


def zero_checksum(pe):
    pe.OPTIONAL_HEADER.CheckSum = 0
    return False  # keep the zero


def writable_and_executable(pe):
    for s in pe.sections:
        if s.Name.rstrip(b"\0") == b".data":
            s.Characteristics |= IMAGE_SCN_MEM_EXECUTE
            return True
    raise SystemExit("no .data section to fault")


def rename_import(old, new):
    """Renames an imported routine in place, as if the driver called `new`."""

    def fault(pe):
        assert len(new) <= len(old)
        for entry in pe.DIRECTORY_ENTRY_IMPORT:
            for imp in entry.imports:
                if imp.name == old:
                    pe.set_bytes_at_offset(imp.name_offset, new + b"\0" * (len(old) - len(new)))
                    return True
        raise SystemExit("the image does not import %s" % old.decode())

    return fault


FAULTS = [
    ("a zeroed checksum", zero_checksum, "checksum 0x0"),
    ("a section made writable and executable", writable_and_executable, "section .data is both writable and executable"),
    ("an import of a Windows 10 routine", rename_import(b"ExAllocatePoolWithTag", b"ExAllocatePool2"),
     "ntoskrnl.exe: ExAllocatePool2 is not known on Windows 7 SP1 x64"),
    ("a C++-named import", rename_import(b"ExAllocatePoolWithTag", b"?Alloc@@YAPEAXK@Z"), "C++-named import ?Alloc@@YAPEAXK@Z"),
]


def run_check(image, pdb):
    return subprocess.run([sys.executable, CHECK, image, "--pdb", pdb], capture_output=True, text=True)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    image = sys.argv[1]
    pdb = os.path.splitext(image)[0] + ".pdb"
    failures = 0
    clean = run_check(image, pdb)
    if clean.returncode != 0:
        print(clean.stdout + clean.stderr)
        print("check_pe_faults: FAIL the image as built does not pass")
        failures += 1
    with tempfile.TemporaryDirectory() as work:
        for what, fault, message in FAULTS:
            pe = pefile.PE(image)
            pe.full_load()
            if fault(pe):
                pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
            faulty = os.path.join(work, "quillex.sys")
            data = pe.write()
            pe.close()
            with open(faulty, "wb") as f:
                f.write(data)
            result = run_check(faulty, pdb)
            if result.returncode == 1 and message in result.stdout:
                print("check_pe_faults: OK   %s: %s" % (what, message))
            else:
                print(result.stdout + result.stderr)
                print("check_pe_faults: FAIL %s went unseen" % what)
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
