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
import sys

import pefile

# Strings shorter than this are too likely to occur by chance ("vm", "/").
MIN_NEEDLE = 4


def timestamps(pe):
    """(where, value) of every time stamp a PE file holds."""
    found = [("file header", pe.FILE_HEADER.TimeDateStamp)]
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        found.append(("export directory", pe.DIRECTORY_ENTRY_EXPORT.struct.TimeDateStamp))
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        found.append(("import of " + entry.dll.decode("ascii", "replace"), entry.struct.TimeDateStamp))

    def resources(directory, where):
        found.append((where, directory.struct.TimeDateStamp))
        for entry in directory.entries:
            if hasattr(entry, "directory"):
                resources(entry.directory, where + "/" + ("name" if entry.name is not None else str(entry.id)))

    if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        resources(pe.DIRECTORY_ENTRY_RESOURCE, "resource directory")
    for i, entry in enumerate(getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])):
        found.append(("debug directory entry %d" % i, entry.struct.TimeDateStamp))
    return found


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
    pe = pefile.PE(data=data)
    stamps = timestamps(pe)
    problems = []

    for where, value in stamps:
        if value != 0:
            problems.append("%s: time stamp 0x%08x, not 0" % (where, value))

    checksum, computed = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    if checksum not in (0, computed):
        problems.append("header checksum 0x%08x is neither 0 nor the file's checksum 0x%08x"
                        % (checksum, computed))

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
          % (exe, len(stamps), checksum, ", ".join(checked)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
