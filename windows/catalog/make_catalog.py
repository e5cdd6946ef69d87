#!/usr/bin/python3
"""Makes a driver package's catalog (.cat), unsigned, for osslsigncode to sign.

usage: make_catalog.py OUT.cat MEMBER...
       make_catalog.py --check CATALOG MEMBER...   each member's entry is in the catalog

A catalog is a PKCS#7 signed-data whose content is a certificate trust list:
one entry per member file, holding the member's SHA-1 hash (the Authenticode
hash for a PE image, the file's hash otherwise), its file name, and the subject
interface package that hashes it; and the catalog's own attributes, among them
the operating systems it serves (Windows 7 x64 and later). SHA-1, because
Windows 7 checks catalog members by their SHA-1 hash.

The catalog is written with no signer; `osslsigncode sign` signs its content.
"""
import hashlib
import struct
import sys
import os

# ------------------------------------------------------------------ DER


def der(tag, body):
    n = len(body)
    if n < 0x80:
        length = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + length + body


def seq(*items):
    return der(0x30, b"".join(items))


def set_of(*items):
    return der(0x31, b"".join(sorted(items)))


def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return der(0x06, body)


def integer(value):
    return der(0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big"))


def octets(data):
    return der(0x04, data)


def bmp(text):
    return der(0x1E, text.encode("utf-16-be"))


def null():
    return der(0x05, b"")


def explicit(n, body):
    return der(0xA0 | n, body)


def utc_time(text):
    return der(0x17, text.encode("ascii"))


# ------------------------------------------------------------------ names

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_SHA1 = "1.3.14.3.2.26"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"
# The subject interface packages that hash PE images and other files.
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# Name-value flags: the value is an attribute of the entry, stored as text.
NAMEVALUE_FLAGS = 0x10010001
# Windows 7 x64 and the versions after it, as the driver signing tools name them.
OS_LIST = "7X64,8X64,_v63_X64,_v100_X64"
OS_ATTR = "2:6.1,2:6.2,2:6.3,2:10.0"


def name_value(name, value):
    return seq(oid(OID_CAT_NAMEVALUE), set_of(seq(bmp(name), integer(NAMEVALUE_FLAGS),
                                                  octets((value + "\0").encode("utf-16-le")))))


# ------------------------------------------------------------------ hashes


def authenticode_sha1(data):
    """The hash of a PE image without its checksum, certificate directory entry
    and certificate table, as Authenticode defines it."""
    if data[:2] != b"MZ":
        raise ValueError("not a PE image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    checksum = optional + 64
    directories = optional + (96 if magic == 0x10B else 112)
    cert_entry = directories + 4 * 8
    cert_offset, cert_size = struct.unpack_from("<II", data, cert_entry)
    end = cert_offset if cert_size else len(data)
    h = hashlib.sha1()
    h.update(data[:checksum])
    h.update(data[checksum + 4 : cert_entry])
    h.update(data[cert_entry + 8 : end])
    return h.digest()


def is_pe(data):
    return data[:2] == b"MZ" and len(data) > 0x40


def member(path):
    data = open(path, "rb").read()
    pe = is_pe(data)
    digest = authenticode_sha1(data) if pe else hashlib.sha1(data).digest()
    if pe:
        # SpcPeImageData: no flags, and the obsolete link every signer writes.
        obsolete = explicit(2, der(0x80, "<<<Obsolete>>>".encode("utf-16-be")))
        data_value = seq(der(0x03, b"\x00"), explicit(0, obsolete))
        kind = seq(oid(OID_SPC_PE_IMAGE_DATA), data_value)
    else:
        kind = seq(oid(OID_SPC_CAB_DATA), explicit(2, der(0x80, b"")))
    indirect = seq(kind, seq(seq(oid(OID_SHA1), null()), octets(digest)))
    attributes = set_of(
        name_value("File", os.path.basename(path).lower()),
        seq(oid(OID_SPC_INDIRECT_DATA), set_of(indirect)),
        seq(oid(OID_CAT_MEMBERINFO), set_of(seq(bmp(SIP_PE if pe else SIP_FLAT), integer(512)))),
    )
    # The entry's tag: the hash as upper-case hex text.
    tag = digest.hex().upper().encode("utf-16-le")
    return seq(octets(tag), attributes), digest


def catalog(paths, this_update):
    entries = [member(p) for p in paths]
    identifier = hashlib.sha1(b"".join(d for _, d in entries)).digest()[:16]
    ctl = seq(
        seq(oid(OID_CATALOG_LIST)),
        octets(identifier),
        utc_time(this_update),
        seq(oid(OID_CATALOG_LIST_MEMBER), null()),
        seq(*[e for e, _ in entries]),
        explicit(0, seq(name_value("OS", OS_LIST), name_value("OSAttr", OS_ATTR))),
    )
    signed_data = seq(
        integer(1),
        set_of(seq(oid(OID_SHA1), null())),
        seq(oid(OID_CTL), explicit(0, ctl)),
        set_of(),
    )
    return seq(oid(OID_SIGNED_DATA), explicit(0, signed_data))


def check(catalog_path, paths):
    """Whether each member's entry (its hash as tag, its hash as digest, and its
    file name) is in the catalog: for files osslsigncode cannot check, as INFs."""
    content = open(catalog_path, "rb").read()
    faults = 0
    for path in paths:
        if is_pe(open(path, "rb").read()):
            # A signed image's padding is hashed differently here than by
            # osslsigncode, which checks images against a catalog itself.
            print("make_catalog: FAULT %s is a PE image: check it with osslsigncode verify -catalog" % path)
            faults += 1
            continue
        entry, digest = member(path)
        tag = octets(digest.hex().upper().encode("utf-16-le"))
        name = (os.path.basename(path).lower() + "\0").encode("utf-16-le")
        if tag in content and octets(digest) in content and name in content:
            print("make_catalog: %s is in %s" % (path, catalog_path))
        else:
            print("make_catalog: FAULT %s (SHA-1 %s) is not in %s" % (path, digest.hex(), catalog_path))
            faults += 1
    return 1 if faults else 0


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    # The build date, as the package's other dates: SOURCE_DATE_EPOCH when set.
    import time

    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    this_update = time.strftime("%y%m%d%H%M%SZ", time.gmtime(epoch))
    with open(sys.argv[1], "wb") as out:
        out.write(catalog(sys.argv[2:], this_update))


if __name__ == "__main__":
    main()
