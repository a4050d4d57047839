#!/usr/bin/env python3
"""Writes release 1 or 2 of a small but realistic Kestrune 3 client tree.

    sample_client.py VERSION RELEASE_DIR UPDATER_BINARY

The content is deterministic. Release 2 changes the program, a library,
the configuration and two data files, adds a map in a new directory, drops
the intro movie and brings a new updater (the given binary with a marker
appended, still the same program); everything else is identical.
"""

import os
import random
import stat
import sys


def blob(seed, size, compressible=False):
    """Binary-like bytes; compressible ones repeat short records."""
    rng = random.Random(seed)
    if not compressible:
        return rng.randbytes(size)
    records = [rng.randbytes(24) + b"tile%06d" % i for i in range(64)]
    out = bytearray()
    while len(out) < size:
        out += records[rng.randrange(len(records))]
    return bytes(out[:size])


def elf_like(seed, size):
    header = b"\x7fELF\x02\x01\x01" + b"\x00" * 9
    return header + blob(seed, size - len(header))


def tree(version, updater):
    v2 = version == 2
    files = {
        "update": updater + (b"\n# Kestrune 3 updater, shipped with release 2\n" if v2 else b""),
        "kr3client_runscript.sh": (
            "#!/bin/sh\n"
            "# Starts the Kestrune 3 client from its installation directory.\n"
            'cd "$(dirname "$0")" || exit 1\n'
            'echo "Kestrune 3 client, release %d: this is where the game would start."\n' % version
        ).encode(),
        "bin/kr3client": elf_like(200 + version, 1_400_000 if v2 else 1_300_000),
        "lib/libkr3engine.so": elf_like(300 + version, 800_000),
        "lib/libkr3audio.so": elf_like(400, 300_000),
        "data/world.pak": blob(500 + version, 2_000_000, compressible=True),
        "data/textures/terrain.pak": blob(600, 1_000_000, compressible=True),
        "data/config/defaults.cfg": (
            "[video]\nwidth=1280\nheight=720\n[net]\nport=%d\n" % (17390 + version)
        ).encode(),
        "data/maps/north/map.dat": blob(700, 250_000),
        "docs/README.txt": ("Kestrune 3 client, release %d\n" % version).encode(),
        "docs/licenses/engine.txt": b"Engine licence text of the sample client.\n",
    }
    if v2:
        files["data/maps/south/map.dat"] = blob(800, 300_000)
    else:
        files["data/intro.bik"] = blob(900, 600_000)
    return files


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("1", "2"):
        sys.exit(__doc__)
    version, root, updater_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    with open(updater_path, "rb") as f:
        updater = f.read()
    for path, content in tree(version, updater).items():
        target = os.path.join(root, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(content)
        executable = path in ("update", "kr3client_runscript.sh", "bin/kr3client") or path.endswith(".so")
        os.chmod(target, 0o755 if executable else 0o644)


if __name__ == "__main__":
    main()
