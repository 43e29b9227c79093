#!/usr/bin/python3
"""Builds the model archives that examples/replay/detection-path.jsonl serves.

Run with Debian's system Python (python3-onnx); the build runs it for
tevra-replay:

    /usr/bin/python3 examples/replay/make-detection-archives.py OUTDIR

Writes OUTDIR/models/sign.zip and OUTDIR/models/digit.zip: the two test
models of tools/make_test_models.py in package form, each under one top-level
directory (sign.mlpackage/, digit.mlpackage/), as a page's model server would
offer them. Entries are sorted and carry a fixed date, so the same models
always give the same archive bytes (and the same sizes in a transcript).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_MODELS = os.path.join(HERE, "..", "..", "tools", "make_test_models.py")
FIXED_DATE = (1980, 1, 1, 0, 0, 0)


def write_archive(package_dir, top, archive_path):
    tmp = archive_path + ".tmp"
    with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED) as z:
        folder = zipfile.ZipInfo(top + "/", FIXED_DATE)
        folder.external_attr = (0o40755 << 16) | 0x10
        z.writestr(folder, b"")
        for name in sorted(os.listdir(package_dir)):
            path = os.path.join(package_dir, name)
            if not os.path.isfile(path):
                continue
            info = zipfile.ZipInfo(top + "/" + name, FIXED_DATE)
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as f:
                z.writestr(info, f.read())
    os.replace(tmp, archive_path)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make-detection-archives.py OUTDIR\n")
        return 2
    out = os.path.abspath(sys.argv[1])
    models = os.path.join(out, "models")
    os.makedirs(models, exist_ok=True)
    work = tempfile.mkdtemp(prefix="tevra-replay-models-")
    try:
        subprocess.run([sys.executable, MAKE_MODELS, work, "--form", "package"], check=True)
        write_archive(os.path.join(work, "test_sign.mlpackage"), "sign.mlpackage",
                      os.path.join(models, "sign.zip"))
        write_archive(os.path.join(work, "test_digit.mlpackage"), "digit.mlpackage",
                      os.path.join(models, "digit.zip"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
