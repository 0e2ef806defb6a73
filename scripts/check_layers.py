#!/usr/bin/env python3
"""Fails when a lower layer includes a higher one. The layers, bottom up:

  platform/  the operating-system seam (with OsError and native text)
  common/    what both programs share (errors, strict JSON, manifest, path rules,
             the release feed)
  extraction/  the safe extraction of an update archive, on common/ and
             platform/: the agent's worker and the application unpack alike
  agent/, launcher/  the two programs, never including each other
  client/    the application's side: update check, download, unpacking, plans
             and the handshake with the agent, on extraction/, common/ and
             platform/ only (the application never carries the agent's trust
             decisions)
  tools/     programs for the people who ship releases (tools/release on the
             agent's own checks); nothing includes them

Every include form counts: "agent/x.h", <agent/x.h>, and paths relative to
the including file ("../agent/x.h"), in every file below a layer's folder.

Usage: scripts/check_layers.py [ROOT]   prints every offending include; exit 1 if any
       scripts/check_layers.py --self-test
"""
import os
import re
import sys
import tempfile

FORBIDDEN = {
    "platform": {"common", "extraction", "agent", "launcher", "client", "tools"},
    "common": {"extraction", "agent", "launcher", "client", "tools"},
    "extraction": {"agent", "launcher", "client", "tools"},
    "agent": {"launcher", "client", "tools"},
    "launcher": {"extraction", "agent", "client", "tools"},
    "client": {"agent", "launcher", "tools"},
    "tools": {"launcher", "client"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".inc")


def layer_of(relative):
    """The layer a repository-relative path lies in, or None."""
    first = relative.replace("\\", "/").split("/", 1)[0]
    return first if first in FORBIDDEN else None


def offending_includes(root):
    found = []
    for layer, forbidden in FORBIDDEN.items():
        for directory, _, files in os.walk(os.path.join(root, layer)):
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = match.group(1).replace("\\", "/")
                        candidates = [target]
                        if target.startswith("."):
                            resolved = os.path.normpath(os.path.join(directory, target))
                            candidates = [os.path.relpath(resolved, root)]
                        for candidate in candidates:
                            if layer_of(candidate) in forbidden:
                                found.append(f"{os.path.relpath(path, root)}:{number}: {line.strip()}")
    return found


def self_test():
    """An upward include of each form is found; a downward one is not."""
    with tempfile.TemporaryDirectory() as root:
        def write(relative, text):
            os.makedirs(os.path.dirname(os.path.join(root, relative)), exist_ok=True)
            with open(os.path.join(root, relative), "w") as f:
                f.write(text)

        write("platform/a.h", '#include <agent/plan/plan.h>\n')
        write("common/b.cpp", '#  include "../client/updater_client.h"\n')
        write("agent/stage/c.cpp", '#include "launcher/launch.h"\n')
        write("client/d.cpp", '#include "common/constants.h"\n#include <vector>\n#include "../platform/files.h"\n')
        found = offending_includes(root)
        expected = ["agent/stage/c.cpp:1", "common/b.cpp:1", "platform/a.h:1"]
        got = sorted(line.split(": ", 1)[0] for line in found)
        if got != expected:
            print(f"self-test: expected {expected}, found {got}", file=sys.stderr)
            return 1
    print("layers self-test: every include form is caught")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = offending_includes(os.path.abspath(root))
    for line in found:
        print(f"upward include: {line}", file=sys.stderr)
    if found:
        return 1
    print("layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
