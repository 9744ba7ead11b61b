#!/usr/bin/env python3
"""Checks that the shipped tool holds nothing that differs between two builds
of one commit: no time in any of its PE time stamps, a header checksum that
follows from its bytes alone, and none of the source folder, the build folder,
the home folder, the user name or the host name of the machine that built it
(each as 8-bit text and as UTF-16LE, with forward and with back slashes).

    check_reproducible.py <VKKSVInitTool.exe> <source folder> <build folder>

Exits 0 when all of that holds; otherwise prints each finding and exits 1."""

import getpass
import os
import pwd
import socket
import struct
import sys

# Strings shorter than this are too likely to occur by chance ("vm", "/").
MIN_NEEDLE = 4

IMAGE_DIRECTORY_ENTRY_EXPORT = 0
IMAGE_DIRECTORY_ENTRY_IMPORT = 1
IMAGE_DIRECTORY_ENTRY_RESOURCE = 2
IMAGE_DIRECTORY_ENTRY_DEBUG = 6


class Image:
    """The parts of a PE file that hold time stamps."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = pe + 4
        (_, sections, self.timestamp, _, _, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic == 0x10B:
            directories = optional + 96
        elif magic == 0x20B:
            directories = optional + 112
        else:
            raise ValueError("unknown optional header magic 0x%x" % magic)
        self.checksum_offset = optional + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            (virtual_size, address, raw_size,
             raw_offset) = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset, raw_size))

    def offset(self, rva):
        for address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size and rva - address < raw_size:
                return raw_offset + rva - address
        raise ValueError("address 0x%x lies in no section's data" % rva)

    def directory(self, index):
        if index >= len(self.directories):
            return None, 0
        rva, size = self.directories[index]
        if rva == 0 or size == 0:
            return None, 0
        return self.offset(rva), size

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def timestamps(self):
        """(where, value) of every time stamp the image holds."""
        found = [("file header", self.timestamp)]
        start, _ = self.directory(IMAGE_DIRECTORY_ENTRY_EXPORT)
        if start is not None:
            found.append(("export directory", self.u32(start + 4)))
        start, _ = self.directory(IMAGE_DIRECTORY_ENTRY_IMPORT)
        if start is not None:
            entry = start
            while self.data[entry:entry + 20] != bytes(20):
                name = self.data[self.offset(self.u32(entry + 12)):].split(b"\0", 1)[0]
                found.append(("import of " + name.decode("ascii", "replace"),
                              self.u32(entry + 4)))
                entry += 20
        start, _ = self.directory(IMAGE_DIRECTORY_ENTRY_RESOURCE)
        if start is not None:
            found += self.resource_timestamps(start, start, "resource directory")
        start, size = self.directory(IMAGE_DIRECTORY_ENTRY_DEBUG)
        if start is not None:
            for i in range(size // 28):
                found.append(("debug directory entry %d" % i, self.u32(start + 28 * i + 4)))
        return found

    def resource_timestamps(self, root, table, where):
        found = [(where, self.u32(table + 4))]
        named, numbered = struct.unpack_from("<HH", self.data, table + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, table + 16 + 8 * i)
            if target & 0x80000000:
                label = "name" if name & 0x80000000 else str(name)
                found += self.resource_timestamps(root, root + (target & 0x7FFFFFFF),
                                                  where + "/" + label)
        return found

    def computed_checksum(self):
        """The PE header checksum: the file's 16-bit words summed with
        end-around carry, the checksum field itself left out, plus the
        file's length."""
        data = bytearray(self.data)
        data[self.checksum_offset:self.checksum_offset + 4] = bytes(4)
        if len(data) % 2:
            data.append(0)
        total = 0
        for (word,) in struct.iter_unpack("<H", data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF


def needles(source, build):
    """The machine- and folder-specific strings, each with a description."""
    found = {}

    def add(what, text):
        if text and len(text) >= MIN_NEEDLE:
            found.setdefault(text, what)

    for what, path in (("source folder", source), ("build folder", build),
                       ("home folder", os.environ.get("HOME", ""))):
        if not path:
            continue
        for form in {os.path.abspath(path), os.path.realpath(path)}:
            add(what, form)
            add(what, form.replace("/", "\\"))
    names = {pwd.getpwuid(os.getuid()).pw_name, getpass.getuser()}
    for name in names:
        add("user name", name)
    host = socket.gethostname()
    add("host name", host)
    add("host name", host.split(".", 1)[0])
    return found


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    exe, source, build = argv[1:]
    with open(exe, "rb") as f:
        data = f.read()
    image = Image(data)
    problems = []

    for where, value in image.timestamps():
        if value != 0:
            problems.append("%s: time stamp 0x%08x, not 0" % (where, value))

    computed = image.computed_checksum()
    if image.checksum not in (0, computed):
        problems.append("header checksum 0x%08x is neither 0 nor the file's checksum 0x%08x"
                        % (image.checksum, computed))

    checked = []
    for text, what in sorted(needles(source, build).items()):
        checked.append("%s %r" % (what, text))
        for encoding in ("utf-8", "utf-16-le"):
            at = data.find(text.encode(encoding))
            if at >= 0:
                problems.append("%s %r found as %s at offset 0x%x" % (what, text, encoding, at))

    for problem in problems:
        print("FAIL: %s: %s" % (exe, problem))
    if problems:
        return 1
    print("%s: all %d time stamps 0, checksum 0x%08x, none of: %s"
          % (exe, len(image.timestamps()), image.checksum, ", ".join(checked)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
