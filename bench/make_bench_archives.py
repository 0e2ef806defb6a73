#!/usr/bin/env python3
"""Writes the two archives of the extraction benchmark (Deflate, level 6):

  many.zip  16,384 files of 64 KiB (1 GiB) in 64 directories of 256 files
  one.zip   one file of 256 MiB

Half of every 64 KiB block is random and half is text, so the data deflates
to about 55 %, as program files do.

Usage: make_bench_archives.py DIRECTORY
"""

import os
import sys
import zipfile

BLOCK = 64 * 1024


def block(index):
    random_half = os.urandom(BLOCK // 2)
    text = ("%08d the quick brown fox jumps over the lazy dog\n" % index).encode()
    text_half = (text * (BLOCK // 2 // len(text) + 1))[:BLOCK // 2]
    return random_half + text_half


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    with zipfile.ZipFile(os.path.join(directory, "many.zip"), "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("tessaryndle-app.exe", block(0))
        for i in range(1, 16384):
            archive.writestr("lib%02d/file%05d.bin" % (i // 256, i), block(i))
    with zipfile.ZipFile(os.path.join(directory, "one.zip"), "w", zipfile.ZIP_DEFLATED) as archive:
        with archive.open("tessaryndle-app.exe", "w", force_zip64=True) as entry:
            for i in range(256 * 1024 * 1024 // BLOCK):
                entry.write(block(i))


if __name__ == "__main__":
    main()
