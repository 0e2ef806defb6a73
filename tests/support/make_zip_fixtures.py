#!/usr/bin/env python3
"""Makes the archives of the extraction tests that come from other tools.

Usage: make_zip_fixtures.py OUTPUT_DIRECTORY

Each archive holds the same small payload (see payload_files), written by
Python's zipfile, Info-ZIP zip and 7-Zip, plus archives that those tools
write with a fault: a symbolic link, an encrypted entry, bzip2 compression,
a wrong CRC-32, damaged Deflate data and an entry holding more data than
its declared size. The tests in
tests/unit/extract_test.cpp know what each one must give. Natively the tests
run this script themselves; the Windows build runs it on the build host.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

# The payload every tool archives; names are UTF-8 on disk.
DATA_LINES = 4000


def payload_files():
    data = "".join("line %05d of the payload\n" % i for i in range(DATA_LINES)).encode()
    return {
        "payload/tessaryndle-app.exe": b"app",
        "payload/\u00e9.txt": b"accent",
        "payload/lib/data.bin": data,
    }


def make_tree(root):
    for name, content in payload_files().items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
    os.makedirs(os.path.join(root, "payload", "empty"), exist_ok=True)


def run(cwd, *command):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, LC_ALL="C.UTF-8"))


def python_archive(path, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w") as archive:
        for directory in ("payload/", "payload/empty/", "payload/lib/"):
            archive.writestr(zipfile.ZipInfo(directory), b"")
        for name, content in payload_files().items():
            archive.writestr(name, content, compress_type=method)


def patch_entry(path, name, change):
    """Applies change(raw_bytes, info) to the archive's bytes in place."""
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo(name)
    with open(path, "r+b") as f:
        raw = bytearray(f.read())
        change(raw, info)
        f.seek(0)
        f.write(raw)


def patch_headers(raw, info, local_field, central_field, value):
    """Writes value at offset local_field of the entry's local header and at
    offset central_field of its central directory record (the one pointing
    at that local header): one field as both headers hold it."""
    local = info.header_offset
    raw[local + local_field:local + local_field + len(value)] = value
    position = raw.find(b"PK\x01\x02")
    while position >= 0:
        if struct.unpack_from("<I", raw, position + 42)[0] == local:
            raw[position + central_field:position + central_field + len(value)] = value
        position = raw.find(b"PK\x01\x02", position + 4)


def wrong_crc(raw, info):
    """Changes the stored CRC-32."""
    patch_headers(raw, info, 14, 16, struct.pack("<I", info.CRC ^ 0x5A5A5A5A))


def short_declared_size(raw, info):
    """Declares 100 bytes less than the entry holds; the CRC-32 stays that
    of the data."""
    patch_headers(raw, info, 22, 24, struct.pack("<I", info.file_size - 100))


def damaged_deflate(raw, info):
    local = info.header_offset
    name_length, extra_length = struct.unpack_from("<HH", raw, local + 26)
    data = local + 30 + name_length + extra_length
    # Block type 3 is reserved: inflation fails on the first byte.
    raw[data:data + 8] = b"\xff" * 8


def main():
    output = os.path.abspath(sys.argv[1])
    os.makedirs(output, exist_ok=True)
    work = tempfile.mkdtemp()
    try:
        make_tree(work)
        python_archive(os.path.join(output, "python.zip"))
        python_archive(os.path.join(output, "python-bzip2.zip"), zipfile.ZIP_BZIP2)
        python_archive(os.path.join(output, "python-wrong-crc.zip"))
        patch_entry(os.path.join(output, "python-wrong-crc.zip"), "payload/lib/data.bin", wrong_crc)
        python_archive(os.path.join(output, "python-wrong-size.zip"))
        patch_entry(os.path.join(output, "python-wrong-size.zip"), "payload/lib/data.bin", short_declared_size)
        python_archive(os.path.join(output, "python-damaged-deflate.zip"))
        patch_entry(os.path.join(output, "python-damaged-deflate.zip"), "payload/lib/data.bin", damaged_deflate)

        # Info-ZIP stores the bytes of the file names as they are, without
        # the UTF-8 flag: "\x81ber.txt" is code page 437 for "\u00fcber.txt".
        os.makedirs(os.path.join(work, "cp437"))
        with open(os.path.join(os.fsencode(work), b"cp437", b"\x81ber.txt"), "wb") as f:
            f.write(b"cp437")
        run(work, "zip", "-q", "-r", os.path.join(output, "infozip.zip"), "payload", "cp437")
        run(work, "zip", "-q", "-r", "-fz", os.path.join(output, "infozip-zip64.zip"), "payload")
        run(work, "zip", "-q", "-r", "-P", "secret", os.path.join(output, "infozip-encrypted.zip"), "payload")
        os.symlink("tessaryndle-app.exe", os.path.join(work, "payload", "link.exe"))
        run(work, "zip", "-q", "-r", "-y", os.path.join(output, "infozip-symlink.zip"), "payload")
        os.remove(os.path.join(work, "payload", "link.exe"))
        shutil.rmtree(os.path.join(work, "cp437"))

        run(work, "7z", "a", "-tzip", "-bd", os.path.join(output, "7zip.zip"), "payload")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
