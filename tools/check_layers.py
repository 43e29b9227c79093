#!/usr/bin/env python3
"""Fails when a library source includes a header from a layer above its own.

The layers, from the ground up (README.md, "Layout"). A file may include
headers of its own layer and of the layers below it. The backends of the
platform services (fake, sim, linux) stand on the interfaces alone; the GTK
widget stands on everything.
"""
import pathlib
import re
import sys

LAYERS = [
    ("base", "math"),
    ("platform",),
    ("platform/fake", "platform/sim", "platform/linux", "platform/live"),
    ("feedback",),
    ("render",),
    ("models",),
    ("capture",),
    ("page",),
    ("detection",),
    ("bridge",),
    ("embed", "TevraARWebGL.h"),
]
# The exported globals are plain C declarations every layer may see.
GROUND = {"TevraARWebGL/Globals.h"}


def layer_of(relative):
    """The layer index of a path relative to src/ or include/TevraARWebGL/."""
    best = None
    for index, folders in enumerate(LAYERS):
        for folder in folders:
            if relative == folder or relative.startswith(folder + "/"):
                if best is None or len(folder) > best[1]:
                    best = (index, len(folder))
    return None if best is None else best[0]


def main(root):
    root = pathlib.Path(root)
    bases = [root / "src", root / "include" / "TevraARWebGL"]
    failures = []
    for base in bases:
        for path in sorted(base.rglob("*")):
            if path.suffix not in (".h", ".cpp", ".c") or "resources" in path.parts:
                continue
            own = layer_of(path.relative_to(base).as_posix())
            if own is None:
                continue
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                if not match or match.group(1) in GROUND:
                    continue
                target = match.group(1).removeprefix("TevraARWebGL/")
                theirs = layer_of(target)
                if theirs is not None and theirs > own:
                    failures.append(f"{path.relative_to(root)}:{number}: includes {match.group(1)}, a layer above")
    for line in failures:
        print(line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
