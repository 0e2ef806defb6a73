#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Usage: fuzz/make_corpus.py [CORPUS_DIRECTORY]

The seeds are the documents, names, command lines and archives the unit
tests use, small and valid or just off valid, so that every fuzz run starts
from inputs that reach deep into each reader. Regression inputs found by
fuzzing are kept beside them as regression-*; this script leaves those alone.
"""

import hashlib
import io
import json
import os
import struct
import sys
import zipfile
import zlib

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

KEY = "HD2s5xPBrHsyJENOQOK+qVS4xSiUVPi2Qwm0VuhTWHI="


def write(target, name, data):
    directory = os.path.join(ROOT, target)
    os.makedirs(directory, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def plan(**changes):
    artifact = {
        "url": "https://updates.example.com/tessaryndle/2.4.0/tessaryndle-2.4.0.zip",
        "content_length": 1024,
        "ed25519_signature": "A" * 88,
        "sha256": None,
    }
    document = {
        "schema": 1,
        "nonce": "n" * 48,
        "app_name": "Tessaryndle",
        "application_id": "com.tessaryndle.desktop",
        "platform": "windows-x86_64",
        "version": "2.4.0",
        "build": "2.4.0",
        "archive_path": "C:\\Users\\U\\AppData\\Local\\Temp\\S\\archive.zip",
        "staging_directory": "C:\\Users\\U\\AppData\\Local\\Temp\\S\\staging",
        "install_source": "C:\\Users\\U\\AppData\\Local\\Temp\\S\\staging\\payload",
        "install_target": "C:\\Program Files\\Tessaryndle",
        "relaunch_path": "C:\\Program Files\\Tessaryndle\\Tessaryndle.exe",
        "parent_pid": 4242,
        "public_key": KEY,
        "artifact": artifact,
        "fallback_progress_delay_ms": 1500,
    }
    for key, value in changes.items():
        document[key] = value
    return document


def plans():
    write("plan", "object.json", json.dumps(plan(), indent=2))
    write("plan", "object-compact.json", json.dumps(plan(), separators=(",", ":")))
    p = plan()
    p["artifact"]["sha256"] = "0" * 64
    write("plan", "sha256.json", json.dumps(p))
    array = list(plan().values())
    array[14] = list(array[14].values())
    write("plan", "array.json", json.dumps(array))
    write("plan", "array-artifact-object.json", json.dumps(list(plan().values())))
    write("plan", "unknown-members.json", json.dumps(plan(extra={"a": [1, 2.5e3, None, True]}, zzz="x")))
    text = json.dumps(plan())
    write("plan", "duplicate-key.json", text[:-1] + ', "nonce": "x"}')
    write("plan", "trailing.json", text + " x")
    write("plan", "bom.json", b"\xef\xbb\xbf" + text.encode())
    write("plan", "escapes.json", json.dumps(plan(app_name="T\u00e9\u2603\U0001f600\"\\/\b\f\n\r\t\u0000")))
    write("plan", "big-integer.json", text.replace("4242", "18446744073709551616"))
    write("plan", "u32-limit.json", text.replace("4242", "4294967295"))
    write("plan", "float.json", text.replace("4242", "4242.0"))
    write("plan", "missing.json", json.dumps({k: v for k, v in plan().items() if k != "build"}))
    write("plan", "deep.json", "[" * 127 + "]" * 127)
    write("plan", "too-deep.json", "[" * 128 + "]" * 128)
    write("plan", "lone-surrogate.json", text.replace("Tessaryndle\"", "\\ud800\""))
    write("plan", "invalid-utf8.json", text.encode().replace(b"Tessaryndle\"", b"\xc0\xaf\""))
    write("plan", "empty.json", "")


def manifests():
    base = {"schema": 1, "version": "2.4.0", "executable": "versions\\2.4.0\\tessaryndle-app.exe"}
    write("manifest", "current.json", json.dumps(base, indent=2))
    write("manifest", "previous.json",
          json.dumps(dict(base, previous_executable="versions/2.3.0/tessaryndle-app.exe"), indent=2))
    write("manifest", "previous-null.json", json.dumps(dict(base, previous_executable=None)))
    write("manifest", "array.json", json.dumps([1, "2.4.0", "versions/2.4.0/tessaryndle-app.exe", None]))
    write("manifest", "launcher-array.json", json.dumps([1, "versions/2.4.0/tessaryndle-app.exe", None]))
    write("manifest", "unsafe.json", json.dumps(dict(base, executable="..\\evil.exe")))
    write("manifest", "drive.json", json.dumps(dict(base, executable="C:\\evil.exe")))
    write("manifest", "stream.json", json.dumps(dict(base, executable="versions\\a.exe:s.exe")))
    write("manifest", "dots.json", json.dumps(dict(base, executable="versions\\. .\\a.exe")))
    write("manifest", "no-version.json", json.dumps({"schema": 1, "executable": "a.exe"}))
    write("manifest", "control.json", json.dumps(dict(base, version="2.4.0\u0001\u007f\u00e9")))
    text = json.dumps(base)
    write("manifest", "duplicate.json", text[:-1] + ', "schema": 2}')
    write("manifest", "schema-big.json", text.replace('"schema": 1', '"schema": 4294967296'))
    write("manifest", "trailing-nul.json", text + "\0")
    write("manifest", "whitespace.json", " \t\r\n" + text + " \t\r\n")


def install_results():
    write("install_result", "ok.json", '{"ok":true}')
    write("install_result", "error.json", '{"error":"installation failed: disk full","ok":false}')
    write("install_result", "ok-false.json", '{"ok":false}')
    write("install_result", "ok-twice.json", '{"ok":false,"ok":true}')
    write("install_result", "error-number.json", '{"error":5,"ok":false}')
    write("install_result", "array.json", "[true]")
    write("install_result", "escaped.json", '{"error":"\\u00e9\\ud83d\\ude00","ok":false}')
    write("install_result", "invalid-utf8.json", b'{"error":"\xff","ok":false}')
    write("install_result", "trailing.json", '{"ok":true} {}')
    write("install_result", "empty.json", "")


def feed_document(**changes):
    document = {
        "schema": 1,
        "application_id": "com.tessaryndle.qm4-link",
        "channel": "stable",
        "platform": "windows-x86_64",
        "version": "2.1.0-rc.1+build.7",
        "build": "2.1.0-b7",
        "allow_downgrade": False,
        "artifact": {
            "url": "https://updates.example/2.1.0.zip",
            "content_length": 1024,
            "sha256": "0" * 64,
            "ed25519_signature": "A" * 86 + "==",
        },
        "release_notes_url": "https://updates.example/notes",
    }
    document.update(changes)
    return json.dumps(document, indent=2) + "\n"


def feeds():
    # Each input is read both as a feed file and as the document inside one.
    document = feed_document()
    write("feed", "document.json", document)
    write("feed", "signed.json", json.dumps({"feed": document, "signature": "A" * 86 + "=="}, indent=2))
    write("feed", "unknown-key.json", feed_document(extra=1))
    write("feed", "downgrade.json", feed_document(allow_downgrade=True, release_notes_url=None))
    write("feed", "bad-version.json", feed_document(version="01.2.3"))
    write("feed", "duplicate.json", '{"feed":"{}","feed":"{}","signature":""}')
    write("feed", "array.json", '["{}", ""]')


def base64_seeds():
    write("base64", "key.txt", KEY)
    write("base64", "signature.txt", "A" * 86 + "==")
    for i, text in enumerate(["", "Zg==", "Zm8=", "Zm9v", "Zh==", "Zm9=", "Z===", "Zg=", "Zg", "Z", "Zm9v\n", "-_8="]):
        write("base64", "case-%02d.txt" % i, text)


def path_names():
    names = [
        "payload/tessaryndle-app.exe", "a/./b/../c.txt", "../evil", "a/../../evil", "/abs", "\\abs",
        "C:evil", "c:\\evil", "\\\\server\\share\\x", "\\\\?\\C:\\x", "\\\\.\\COM1", "a/. /b", "a/.. /b",
        "a/.../b", "a/b:stream", "a/C:x", "nul.txt", "COM\u00b9", "versions\\2.4.0\\tessaryndle-app.exe",
        "./a.exe", "a/", "dir\\sub\\", "", ".", "..", "a\0b", "2.4.0-beta_1", "name. ", "\u00e9\u2603.exe",
    ]
    for i, name in enumerate(names):
        write("path_rules", "name-%02d" % i, name)


def command_lines():
    lines = [
        ["--install-plan", "C:\\S\\plan.json"],
        ["--execute-plan", "C:\\S\\plan.json", "--result", "C:\\S\\install-result.json"],
        ["--show-progress-after", "1500", "--app-name", "Tessaryndle", "--app-path", "C:\\P\\Tessaryndle.exe"],
        ["--show-progress-after", "+18446744073709551615", "--app-name", "a b\"c\\", "--app-path", "x"],
        ["--show-progress-after", "18446744073709551616", "--app-name", "", "--app-path", ""],
        ["--install-plan"],
        ["--execute-plan", "p", "--result"],
        ["--install-plan", "p", "extra"],
        ["--INSTALL-PLAN", "p"],
        ["", "a\\\\\"b", "\t", "trailing\\\\"],
    ]
    for i, words in enumerate(lines):
        write("command_line", "line-%02d" % i, "\0".join(words))


def zip_bytes(entries, **options):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", **options) as archive:
        for info, data in entries:
            archive.writestr(info, data)
    return buffer.getvalue()


def entry(name, method=zipfile.ZIP_DEFLATED, mode=None, system=None):
    info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
    info.compress_type = method
    if mode is not None:
        info.external_attr = mode << 16
    if system is not None:
        info.create_system = system
    return info


def unicode_path_field(stored, name, crc=None):
    crc = zlib.crc32(stored) if crc is None else crc
    data = struct.pack("<BI", 1, crc) + name.encode()
    return struct.pack("<HH", 0x7075, len(data)) + data


def archives():
    app = b"MZ app"
    write("extract", "payload.zip", zip_bytes([
        (entry("payload/"), b""),
        (entry("payload/tessaryndle-app.exe"), app),
        (entry("payload/lib/data.bin", zipfile.ZIP_STORED), b"data " * 20),
    ]))
    write("extract", "root-app.zip", zip_bytes([(entry("Tessaryndle-App.EXE"), app)]))
    write("extract", "deep.zip", zip_bytes([(entry("a/b/c/d/tessaryndle-app.exe"), app),
                                             (entry("a/b/c/tessaryndle-app.exe/"), b"")]))
    write("extract", "too-deep.zip", zip_bytes([(entry("a/b/c/d/e/tessaryndle-app.exe"), app)]))
    write("extract", "slip.zip", zip_bytes([(entry("../evil.txt"), b"x")]))
    write("extract", "slip-backslash.zip", zip_bytes([(entry("a\\..\\..\\evil.txt"), b"x")]))
    write("extract", "absolute.zip", zip_bytes([(entry("/tmp/evil.txt"), b"x")]))
    write("extract", "drive.zip", zip_bytes([(entry("C:/evil.txt"), b"x")]))
    write("extract", "dots.zip", zip_bytes([(entry("a/.. /evil.txt"), b"x")]))
    write("extract", "resolved.zip", zip_bytes([(entry("a/./b/../tessaryndle-app.exe"), app)]))
    write("extract", "symlink.zip", zip_bytes([(entry("link", mode=0o120777, system=3), b"/etc")]))
    write("extract", "through-planted-link.zip", zip_bytes([(entry("l/tessaryndle-app.exe"), app),
                                                            (entry("up/x"), b"x"), (entry("f"), b"x")]))
    write("extract", "into-planted-dir-link.zip", zip_bytes([(entry("app/link/evil"), b"x"),
                                                             (entry("app/tessaryndle-app.exe"), app)]))
    write("extract", "duplicate.zip", zip_bytes([(entry("a.txt"), b"one"), (entry("a.txt"), b"two"),
                                                 (entry("a.txt/"), b"")]))
    write("extract", "bzip2.zip", zip_bytes([(entry("a.txt", zipfile.ZIP_BZIP2), b"x" * 100)]))
    write("extract", "empty.zip", zip_bytes([]))
    write("extract", "name-nul.zip", zip_bytes([(entry("a\0b"), b"x")]).replace(b"a\0b", b"a\0b"))
    # A wrong CRC-32 in both headers.
    good = zip_bytes([(entry("tessaryndle-app.exe", zipfile.ZIP_STORED), app)])
    crc = struct.pack("<I", zlib.crc32(app))
    write("extract", "bad-crc.zip", good.replace(crc, b"\0\0\0\1"))
    # An Info-ZIP Unicode path field, matching and not.
    stored = b"caf\x82.txt"
    info = entry(stored.decode("cp437"))
    info.extra = unicode_path_field(stored, "caf\u00e9/tessaryndle-app.exe")
    write("extract", "unicode-path.zip", zip_bytes([(info, app)]))
    info = entry(stored.decode("cp437"))
    info.extra = unicode_path_field(stored, "../evil", crc=1)
    write("extract", "unicode-path-bad-crc.zip", zip_bytes([(info, app)]))
    # A small Deflate bomb: a few KiB that inflate to 1 MiB.
    write("extract", "bomb.zip", zip_bytes([(entry("zeros.bin"), b"\0" * (1 << 20))]))


plans()
manifests()
install_results()
feeds()
base64_seeds()
path_names()
command_lines()
archives()
