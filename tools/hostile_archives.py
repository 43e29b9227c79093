#!/usr/bin/python3
"""Writes hostile model archives (ZIP files) for tests of the download path.

    /usr/bin/python3 tools/hostile_archives.py OUTDIR [--outside DIR] [--bomb-mib N]

Every archive is one a server could send as a model download; each must be
refused with a clear failure line, write nothing outside the directory it is
unpacked in, and leave nothing behind. OUTDIR/index.json lists them:

    [{"file": "zip_slip.zip", "expect": "Model processing failed for",
      "detail": ["Refused to extract"]}, ...]

"expect" is the start of the failure line after which the model name
follows, "detail" lists texts of which the line must hold one (empty: any
reason will do).

--outside names a directory that absolute paths and links in the archives
point at (default /tmp/tevra-hostile-outside); a test keeps a sentinel there
and checks that nothing appears in it. --bomb-mib is what the deflate bombs
unpack to (default 600, past the 512 MiB default cap; a test lowers the cap
and this size to keep the run short: zeros compress about 1000:1).

Uses only the standard library (zipfile). When tools/hostile_models.py is
importable, each of its packages() -- (name, {path inside the .mlpackage:
bytes}) -- is also written, as model_NAME.zip holding NAME.mlpackage/.
"""

import argparse
import json
import os
import stat
import struct
import sys
import warnings
import zipfile
import zlib

PROCESSING = "Model processing failed for"
NO_PACKAGE = "No .mlpackage found for"

# A few bytes that look like a package but can't be compiled.
FAKE_DESCRIPTION = b'{"inputs": [], "outputs": []}'
FAKE_ONNX = b"\x08\x07\x12\x04junk"


def file_info(name, mode=0o644, kind=stat.S_IFREG, compress=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
    info.create_system = 3  # Unix: the mode below is read from the upper bits
    info.external_attr = (kind | mode) << 16
    info.compress_type = compress
    return info


class Archive:
    def __init__(self, path):
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, allowZip64=True)

    def file(self, name, data=b"", compress=zipfile.ZIP_DEFLATED):
        self.zip.writestr(file_info(name, compress=compress), data)
        return self

    def directory(self, name):
        self.zip.writestr(file_info(name.rstrip("/") + "/", 0o755, stat.S_IFDIR, zipfile.ZIP_STORED), b"")
        return self

    def link(self, name, target):
        self.zip.writestr(file_info(name, 0o777, stat.S_IFLNK, zipfile.ZIP_STORED), target.encode())
        return self

    def package(self, top="net.mlpackage"):
        return self.directory(top).file(top + "/description.json", FAKE_DESCRIPTION).file(top + "/model.onnx", FAKE_ONNX)

    def zeros(self, name, size):
        """A file of `size` zero bytes, streamed (never held in memory)."""
        info = file_info(name)
        chunk = bytes(1 << 20)
        with self.zip.open(info, "w", force_zip64=size > 0x7FFFFFFF) as out:
            left = size
            while left > 0:
                n = min(left, len(chunk))
                out.write(chunk[:n])
                left -= n
        return self

    def close(self):
        self.zip.close()


def patch_sizes(path, name, declared):
    """Makes the local header and the central directory record of `name`
    declare `declared` unpacked bytes (the data stays as it is)."""
    data = bytearray(open(path, "rb").read())
    encoded = name.encode()
    # Local header: signature, then the uncompressed size at offset 22.
    at = data.find(b"PK\x03\x04")
    while at >= 0:
        name_len = struct.unpack_from("<H", data, at + 26)[0]
        if bytes(data[at + 30:at + 30 + name_len]) == encoded:
            struct.pack_into("<I", data, at + 22, declared)
        at = data.find(b"PK\x03\x04", at + 4)
    # Central directory record: uncompressed size at offset 24.
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        name_len = struct.unpack_from("<H", data, at + 28)[0]
        if bytes(data[at + 46:at + 46 + name_len]) == encoded:
            struct.pack_into("<I", data, at + 24, declared)
        at = data.find(b"PK\x01\x02", at + 4)
    open(path, "wb").write(bytes(data))


def write_all(out, outside, bomb_bytes):
    index = []

    def add(file_name, expect, detail, build):
        path = os.path.join(out, file_name)
        build(path)
        index.append({"file": file_name, "expect": expect, "detail": detail})

    def simple(file_name, expect, detail, fill):
        def build(path):
            a = Archive(path)
            fill(a)
            a.close()
        add(file_name, expect, detail, build)

    # Paths that climb out of the destination or start at the root.
    simple("zip_slip.zip", PROCESSING, ["Refused to extract"],
           lambda a: a.package().file("net.mlpackage/../../../evil.txt", b"slip"))
    simple("zip_slip_top.zip", PROCESSING, ["Refused to extract"],
           lambda a: a.package().file("../evil.txt", b"slip"))
    simple("absolute_path.zip", PROCESSING, ["Refused to extract"],
           lambda a: a.package().file(os.path.join(outside, "evil.txt"), b"absolute"))
    # A name with a line break, to forge a log line if it were logged raw.
    simple("newline_name.zip", PROCESSING, ["Refused to extract"],
           lambda a: a.package().file("../x\nModel ready: victim\n", b"x"))

    # Links out of the destination, then a file written through them.
    simple("symlink_absolute.zip", PROCESSING, ["symbolic link"],
           lambda a: a.package().link("net.mlpackage/escape", outside).file("net.mlpackage/escape/evil.txt", b"x"))
    simple("symlink_relative.zip", PROCESSING, ["symbolic link"],
           lambda a: a.package().link("net.mlpackage/escape", "../../../../outside"))
    simple("symlink_then_file.zip", PROCESSING, ["symbolic link"],
           lambda a: a.package().link("net.mlpackage/up", "../..").file("net.mlpackage/up/evil.txt", b"x"))
    # A chain: each link alone stays inside, together they lead out.
    simple("link_chain.zip", PROCESSING, ["symbolic link"],
           lambda a: a.package().directory("a").link("a/up", "..").link("a/l2", "up/..").link("a/l3", "l2/.."))
    simple("link_loop.zip", PROCESSING, ["symbolic link"],
           lambda a: a.package().link("net.mlpackage/x", "y").link("net.mlpackage/y", "x")
           .link("net.mlpackage/z", "x/.."))

    # Directories: 51,000 of them implied by 1,700 file paths 30 deep (each
    # path below its own top directory), and one entry 1,100 levels deep.
    def many_directories(a):
        a.package()
        tail = "/".join(["d"] * 29)
        for i in range(1700):
            a.file("t%04d/%s/f" % (i, tail), b"", compress=zipfile.ZIP_STORED)
    simple("many_directories.zip", PROCESSING, ["directories"], many_directories)
    simple("deep_entry.zip", PROCESSING, ["levels deep"],
           lambda a: a.package().file("d/" * 1100 + "f", b"deep"))

    # Size: a deflate bomb declared honestly, and one whose records say it
    # is small (caught by the bytes actually unpacked).
    simple("deflate_bomb.zip", PROCESSING, ["more than"],
           lambda a: a.package().zeros("net.mlpackage/weights.bin", bomb_bytes))

    def lying_bomb(path):
        a = Archive(path)
        a.package().zeros("net.mlpackage/weights.bin", bomb_bytes)
        a.close()
        patch_sizes(path, "net.mlpackage/weights.bin", 1000)
    add("deflate_bomb_lying.zip", PROCESSING, ["longer than recorded", "more than", "can't be unpacked",
                                               "CRC-32", "can't be read", "not a ZIP archive"], lying_bomb)

    # Entries: 12,000 real ones, and an end record declaring 60,000.
    def many_entries(a):
        a.package()
        for i in range(12000):
            a.file("net.mlpackage/e%05d" % i, b"", compress=zipfile.ZIP_STORED)
    simple("many_entries.zip", PROCESSING, ["entries"], many_entries)

    def lying_count(path):
        a = Archive(path)
        a.package()
        a.close()
        data = bytearray(open(path, "rb").read())
        end = data.rfind(b"PK\x05\x06")
        struct.pack_into("<HH", data, end + 8, 60000, 60000)
        open(path, "wb").write(bytes(data))
    add("lying_entry_count.zip", PROCESSING, ["entries"], lying_count)

    def lying_count64(path):
        # The same in ZIP64 form: 2^40 entries declared, libzip would
        # allocate for each.
        a = Archive(path)
        a.package()
        a.close()
        data = open(path, "rb").read()
        end = data.rfind(b"PK\x05\x06")
        cd_size, cd_offset = struct.unpack_from("<II", data, end + 12)
        record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 1 << 40, 1 << 40, cd_size, cd_offset)
        locator = struct.pack("<IIQI", 0x07064B50, 0, end, 1)
        end_record = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
        open(path, "wb").write(data[:end] + record + locator + end_record)
    add("lying_entry_count64.zip", PROCESSING, ["entries"], lying_count64)

    # Damaged archives.
    def crc_mismatch(path):
        a = Archive(path)
        content = b"MODEL-WEIGHTS-0123456789-ABCDEFGHIJ"
        a.package().file("net.mlpackage/weights.bin", content, compress=zipfile.ZIP_STORED)
        a.close()
        data = bytearray(open(path, "rb").read())
        data[data.find(content) + 3] ^= 0x20
        open(path, "wb").write(bytes(data))
    add("crc_mismatch.zip", PROCESSING, ["CRC-32"], crc_mismatch)

    def truncated(path):
        a = Archive(path)
        a.package().file("net.mlpackage/weights.bin", os.urandom(4096))
        a.close()
        data = open(path, "rb").read()
        open(path, "wb").write(data[:len(data) // 2])
    add("truncated.zip", PROCESSING, [], truncated)

    def not_a_zip(path):
        open(path, "wb").write(b"<html><body>502 Bad Gateway</body></html>")
    add("not_a_zip.zip", PROCESSING, ["not a ZIP archive"], not_a_zip)

    def empty_file(path):
        open(path, "wb").close()
    add("empty.zip", PROCESSING, [], empty_file)

    # Well-formed archives without a usable package.
    simple("package_in_subdirectory.zip", NO_PACKAGE, [],
           lambda a: a.directory("models").package("models/net.mlpackage"))
    simple("no_package.zip", NO_PACKAGE, [], lambda a: a.file("readme.txt", b"hello").file("net.mlmodel", b"x"))
    simple("package_is_a_file.zip", NO_PACKAGE, [], lambda a: a.file("net.mlpackage.txt", b"x"))
    simple("garbage_package.zip", PROCESSING, [], lambda a: a.package())

    def duplicates(a):
        a.package()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            a.file("net.mlpackage/model.onnx", b"second copy")
            a.file("net.mlpackage/description.json", b"{not json")
    simple("duplicate_names.zip", PROCESSING, [], duplicates)
    # A file where a directory must go, and a directory where a file must go.
    simple("file_in_the_way.zip", PROCESSING, ["in the way"],
           lambda a: a.package().file("net.mlpackage/Data", b"x").file("net.mlpackage/Data/w.bin", b"w"))
    simple("directory_in_the_way.zip", PROCESSING, [],
           lambda a: a.package().directory("net.mlpackage/w.bin").file("net.mlpackage/w.bin", b"w"))

    # Hostile model packages from the model generator, when it is there.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    try:
        import hostile_models  # noqa: F401  (merged separately)
    except ImportError:
        hostile_models = None
    if hostile_models is not None:
        for name, files in hostile_models.packages():
            if name in getattr(hostile_models, "OPENS", ()):
                continue  # a sound model: nothing to refuse
            def build(path, name=name, files=files):
                a = Archive(path)
                a.directory(name + ".mlpackage")
                for rel, data in sorted(files.items()):
                    a.file(name + ".mlpackage/" + rel, data)
                a.close()
            add("model_%s.zip" % name, PROCESSING, [], build)

    with open(os.path.join(out, "index.json"), "w") as f:
        json.dump(index, f, indent=1)
    return index


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir")
    parser.add_argument("--outside", default="/tmp/tevra-hostile-outside")
    parser.add_argument("--bomb-mib", type=int, default=600)
    args = parser.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    index = write_all(args.outdir, os.path.abspath(args.outside), args.bomb_mib << 20)
    print("%d archives in %s" % (len(index), args.outdir))


if __name__ == "__main__":
    main()
