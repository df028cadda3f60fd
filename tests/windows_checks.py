#!/usr/bin/env python3
"""Checks of the Windows build: what the executable is and carries, and that
share mode none holds the target against other Windows processes.

usage: windows_checks.py WINDOWS_BUILD_FOLDER
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

from end_to_end import WINE_ENV, wine_server

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll",
               "advapi32.dll"}


def check_header(exe):
    data = open(exe, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    signature, machine = struct.unpack_from("<4sH", data, pe)
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    subsystem = struct.unpack_from("<H", data, pe + 24 + 68)[0]
    faults = []
    if (signature, machine, magic) != (b"PE\0\0", 0x14C, 0x10B):
        faults.append("not a PE32 Intel 80386 image")
    if subsystem != 3:
        faults.append("subsystem %d, not the console" % subsystem)
    return faults


def check_imports(exe):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe],
                          capture_output=True, text=True, check=True).stdout
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    if not dlls or dlls - SYSTEM_DLLS:
        return ["imports beyond the system's DLLs: %s" % sorted(dlls)]
    return []


def resource(exe, kind):
    return subprocess.run(["wrestool", "-x", "--raw", "--type=%d" % kind,
                           "--name=1", exe],
                          capture_output=True, check=True).stdout


def check_version(exe):
    record = resource(exe, 16)
    fixed = record.find(struct.pack("<I", 0xFEEF04BD))
    faults = []
    if fixed < 0 or struct.unpack_from("<4I", record, fixed + 8) != (
            0x00010000, 0x00000001, 0x00010000, 0x00000001):
        faults.append("FILEVERSION and PRODUCTVERSION are not 1,0,0,1")
    for key, value in [("FileVersion", "1, 0, 0, 1"),
                       ("ProductVersion", "1, 0, 0, 1"),
                       ("ProductName", "Bitmend"),
                       ("OriginalFilename", "bitmend.exe"),
                       ("FileDescription", "Bitmend - ")]:
        pattern = (re.escape((key + "\0").encode("utf-16-le")) + b"(\0\0)?"
                   + re.escape(value.encode("utf-16-le")))
        if not re.search(pattern, record):
            faults.append("version string %s is not %r" % (key, value))
    return faults


def check_manifest(exe):
    manifest = resource(exe, 24)
    if (b'level="asInvoker"' not in manifest
            or b'uiAccess="false"' not in manifest):
        return ["manifest does not ask for asInvoker without UI access"]
    return []


def wine(*words, **options):
    return subprocess.Popen(["wine"] + list(words), env=WINE_ENV,
                            stdout=subprocess.PIPE, **options)


def check_held_elsewhere(exe, probe, work):
    """Another Windows process has the file open: the tool may not have it."""
    target = os.path.join(work, "held.bin")
    with open(target, "wb") as f:
        f.write(bytes(16))
    holder = wine(probe, target, "hold", stdin=subprocess.PIPE)
    faults = []
    try:
        if holder.stdout.readline().strip() != b"held":
            return ["the probe could not hold the file"]
        tool = wine(exe, target, "0", "1", "ff")
        out = tool.communicate(timeout=300)[0]
        if not out.endswith(("\r\nCan't Open %s!\r\n" % target).encode()):
            faults.append("tool opened a file held elsewhere: %r" % out[-80:])
    finally:
        holder.communicate(b"", timeout=300)
    if open(target, "rb").read() != bytes(16):
        faults.append("file held elsewhere was changed")
    return faults


def check_held_by_tool(exe, probe, work):
    """While the tool works, no other Windows process opens the file. Its
    report, larger than the pipe, keeps it mid-run until it is read."""
    target = os.path.join(work, "busy.bin")
    with open(target, "wb") as f:
        f.write(bytes(16))
    count = 15000
    tool = wine(exe, target, "0", str(count), "ab" * count)
    faults = []
    try:
        tool.stdout.read(100)  # the first block goes out mid-run
        probe_out = subprocess.run(["wine", probe, target, "try"],
                                   env=WINE_ENV, capture_output=True,
                                   timeout=300).stdout.strip()
        if probe_out != b"denied":
            faults.append("another process opened the file: %r" % probe_out)
    finally:
        rest = tool.communicate(timeout=300)[0]
    if not rest.endswith(b"\r\nDone!\r\n"):
        faults.append("the run did not finish: %r" % rest[-80:])
    if open(target, "rb").read() != b"\xab" * count:
        faults.append("the run did not patch the file")
    return faults


def main():
    build = os.path.abspath(sys.argv[1])
    exe = os.path.join(build, "bitmend.exe")
    probe = os.path.join(build, "tests", "share_probe.exe")
    with wine_server(build):
        checks = [check_header, check_imports, check_version, check_manifest]
        sharing = [check_held_elsewhere, check_held_by_tool]
        passed = failed = 0
        for check in checks + sharing:
            with tempfile.TemporaryDirectory() as work:
                faults = (check(exe, probe, work) if check in sharing
                          else check(exe))
            if faults:
                failed += 1
                print("FAIL %s\n  %s" % (check.__name__, "\n  ".join(faults)))
            else:
                passed += 1
                print("ok   %s" % check.__name__)
        print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
