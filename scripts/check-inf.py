#!/usr/bin/python3
"""Checks a driver INF as Windows' setup would read it, and against its package.

usage: check-inf.py INF [--package DIR]

  - every section it names exists (models, install sections and their .HW,
    .Services and .Wdf parts, CopyFiles, AddReg, service and KMDF sections);
  - every %string% is defined in [Strings];
  - the hardware IDs are HID\\VID_xxxx&PID_xxxx, the DriverVer is
    MM/DD/YYYY,w.x.y.z with a real date, the KMDF library version is 1.9;
  - with --package: CatalogFile names the package's catalog, every file a
    CopyFiles section copies is in [SourceDisksFiles] and in the package, and
    each ServiceBinary is one of those files.

Prints one line per fault and exits 1 when there is any.
"""
import argparse
import datetime
import os
import re
import sys


def read_inf(path):
    """{section name (lower case): (name, [(key, value, line number)])}"""
    sections = {}
    current = None
    raw = open(path, "rb").read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8-sig")
    for number, line in enumerate(text.splitlines(), 1):
        line = strip_comment(line).strip()
        if not line:
            continue
        m = re.match(r"^\[([^\]]+)\]$", line)
        if m:
            current = m.group(1).strip()
            sections.setdefault(current.lower(), (current, []))
            continue
        if current is None:
            raise SyntaxError("line %d: text before the first section" % number)
        key, _, value = line.partition("=")
        sections[current.lower()][1].append((key.strip(), value.strip() if _ else None, number))
    return sections


def strip_comment(line):
    out, quoted = [], False
    for c in line:
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            break
        out.append(c)
    return "".join(out)


def fields(value):
    return [f.strip() for f in (value or "").split(",")]


class Check:
    def __init__(self, path, package):
        self.path = path
        self.package = package
        self.faults = 0
        self.sections = read_inf(path)

    def fault(self, text):
        print("check-inf: FAULT %s: %s" % (os.path.basename(self.path), text))
        self.faults += 1

    def section(self, name, why):
        s = self.sections.get(name.lower())
        if s is None:
            self.fault("section [%s] (%s) does not exist" % (name, why))
            return []
        return s[1]

    def value(self, section, key):
        for k, v, _ in self.sections.get(section.lower(), (None, []))[1]:
            if k.lower() == key.lower():
                return v
        return None

    def run(self):
        for required in ("Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings"):
            self.section(required, "every driver INF has it")
        self.check_strings()
        self.check_version()
        installs = self.check_models()
        source_files = {k.lower() for k, _, _ in self.sections.get("sourcedisksfiles", (None, []))[1]}
        copied = set()
        for install in sorted(installs):
            copied |= self.check_install(install, source_files)
        return self.faults

    def check_strings(self):
        defined = {k.lower() for k, _, _ in self.sections.get("strings", (None, []))[1]}
        for name, entries in self.sections.values():
            if name.lower() == "strings":
                continue
            for k, v, number in entries:
                for ref in re.findall(r"%([^%]+)%", "%s=%s" % (k, v or "")):
                    if not ref.isdigit() and ref.lower() not in defined:
                        self.fault("line %d: %%%s%% is not in [Strings]" % (number, ref))

    def check_version(self):
        if (self.value("Version", "Signature") or "").strip('"').lower() != "$windows nt$":
            self.fault("[Version] Signature is not \"$WINDOWS NT$\"")
        guid = self.value("Version", "ClassGuid") or ""
        if not re.fullmatch(r"\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}", guid):
            self.fault("ClassGuid %r is not a GUID" % guid)
        driver_ver = self.value("Version", "DriverVer") or ""
        m = re.fullmatch(r"(\d{2})/(\d{2})/(\d{4}),(\d+)\.(\d+)\.(\d+)\.(\d+)", driver_ver)
        if not m:
            self.fault("DriverVer %r is not MM/DD/YYYY,w.x.y.z" % driver_ver)
        else:
            try:
                datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
            except ValueError:
                self.fault("DriverVer %r has no such date" % driver_ver)
            if any(int(p) > 65535 for p in m.groups()[3:]):
                self.fault("DriverVer %r has a version part above 65535" % driver_ver)
        catalog = self.value("Version", "CatalogFile") or self.value("Version", "CatalogFile.NTamd64")
        if not catalog:
            self.fault("[Version] names no CatalogFile")
        elif self.package and not os.path.isfile(os.path.join(self.package, catalog)):
            self.fault("CatalogFile %s is not in the package" % catalog)

    def check_models(self):
        installs = set()
        for _, value, number in self.section("Manufacturer", "the models"):
            parts = fields(value)
            models = parts[0]
            decorations = [d for d in parts[1:] if d]
            if not any(d.lower().startswith("ntamd64") for d in decorations):
                self.fault("line %d: the models of %s are not decorated for x64 (NTamd64)" % (number, models))
            for d in decorations:
                for _, v, n in self.section("%s.%s" % (models, d), "models named on line %d" % number):
                    install, *ids = fields(v)
                    installs.add(install)
                    if not ids:
                        self.fault("line %d: the model names no hardware ID" % n)
                    for hwid in ids:
                        if not re.fullmatch(r"HID\\VID_[0-9A-Fa-f]{4}&PID_[0-9A-Fa-f]{4}", hwid):
                            self.fault("line %d: hardware ID %r is not HID\\VID_xxxx&PID_xxxx" % (n, hwid))
        if not installs:
            self.fault("no model names an install section")
        return installs

    def install_base(self, install):
        for suffix in (".NTamd64", ".NT", ""):
            if (install + suffix).lower() in self.sections:
                return install + suffix
        self.fault("install section %s (.NTamd64, .NT or undecorated) does not exist" % install)
        return None

    def check_install(self, install, source_files):
        base = self.install_base(install)
        if base is None:
            return set()
        copied = set()
        for key, value, number in self.sections[base.lower()][1]:
            if key.lower() == "copyfiles":
                for part in fields(value):
                    if part.startswith("@"):
                        copied.add(part[1:].lower())
                    elif part:
                        for f, _, n in self.section(part, "CopyFiles on line %d" % number):
                            copied.add(f.split(",")[0].strip().lower())
                        if self.value("DestinationDirs", part) is None and self.value("DestinationDirs", "DefaultDestDir") is None:
                            self.fault("CopyFiles section %s has no destination (DestinationDirs)" % part)
            elif key.lower() in ("addreg", "delreg"):
                for part in fields(value):
                    self.section(part, "%s on line %d" % (key, number))
        for f in sorted(copied):
            if f not in source_files:
                self.fault("%s is copied but not in [SourceDisksFiles]" % f)
            if self.package and not os.path.isfile(os.path.join(self.package, f)):
                self.fault("%s is copied but not in the package" % f)
        for key, value, number in self.sections.get((base + ".HW").lower(), (None, []))[1]:
            if key.lower() == "addreg":
                for part in fields(value):
                    self.section(part, "AddReg on line %d" % number)
        services = self.section(base + ".Services", "the services of %s" % base)
        if not any(k.lower() == "addservice" for k, _, _ in services):
            self.fault("[%s.Services] adds no service" % base)
        for key, value, number in services:
            if key.lower() != "addservice":
                continue
            parts = fields(value)
            if len(parts) >= 3 and parts[2]:
                binary = self.value(parts[2], "ServiceBinary")
                self.section(parts[2], "AddService on line %d" % number)
                if binary is None:
                    self.fault("service section %s has no ServiceBinary" % parts[2])
                elif binary.replace("/", "\\").split("\\")[-1].lower() not in copied:
                    self.fault("ServiceBinary %s is not a file %s copies" % (binary, base))
        for key, value, number in self.sections.get((base + ".Wdf").lower(), (None, []))[1]:
            if key.lower() == "kmdfservice":
                parts = fields(value)
                if len(parts) < 2:
                    self.fault("line %d: KmdfService names no section" % number)
                    continue
                self.section(parts[1], "KmdfService on line %d" % number)
                if self.value(parts[1], "KmdfLibraryVersion") != "1.9":
                    self.fault("%s: KmdfLibraryVersion is not 1.9, the version the driver binds to" % parts[1])
        return copied


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("inf")
    parser.add_argument("--package", help="the package folder the INF is in")
    args = parser.parse_args()
    try:
        faults = Check(args.inf, args.package).run()
    except (OSError, SyntaxError, UnicodeDecodeError) as error:
        sys.exit("check-inf: %s: %s" % (args.inf, error))
    if faults:
        print("check-inf: %s: %d faults" % (args.inf, faults))
        return 1
    print("check-inf: %s is well formed%s" % (args.inf, " and agrees with its package" if args.package else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
