#!/usr/bin/python3
"""Sets the checksum of a PE image in place, as the Windows linker's /release does."""
import sys

import pefile


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: pe-checksum.py IMAGE")
    pe = pefile.PE(sys.argv[1])
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    data = pe.write()
    pe.close()
    with open(sys.argv[1], "wb") as image:
        image.write(data)


if __name__ == "__main__":
    main()
