#!/usr/bin/env python3
"""Checks of the Windows build: what the executable is and carries, that it
has no link timestamp, that share mode none holds the target against
other Windows processes, and that no device is opened or written.

usage: windows_checks.py WINDOWS_BUILD_FOLDER
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

from end_to_end import (Skip, WINE_ENV, fifo_waiter, need_root,
                        report_results, stalled, wine_missing, wine_server)

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


def pe_checksum(data):
    """The image checksum as Windows computes it, and the one in the header."""
    at = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for i in range(0, len(padded), 2):
        if i not in (at, at + 2):
            total += padded[i] | padded[i + 1] << 8
            total = (total & 0xFFFF) + (total >> 16)
    return total + len(data), struct.unpack_from("<I", data, at)[0]


def check_image(exe):
    """No link timestamp, so that two builds are the same bytes (the
    release checks build twice), and a checksum that holds."""
    image = open(exe, "rb").read()
    faults = []
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if struct.unpack_from("<I", image, pe + 8)[0] != 0:
        faults.append("the image carries a link timestamp")
    computed, stored = pe_checksum(image)
    if computed != stored:
        faults.append("checksum %#x, the image's is %#x" % (stored, computed))
    return faults


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


def probed_mid_run(exe, probe, work, mode, answer):
    """The probe's mode, while the tool works, gives answer. Its report,
    larger than the pipe, keeps it mid-run until it is read; the run
    writes exactly its bytes and ends Done!."""
    target = os.path.join(work, "busy.bin")
    with open(target, "wb") as f:
        f.write(bytes(20000))
    count = 15000
    probed = []
    report, status = stalled(["wine", exe], [target, "0", str(count),
                                             "ab" * count],
                             lambda: probed.append(subprocess.run(
                                 ["wine", probe, target, mode], env=WINE_ENV,
                                 capture_output=True, timeout=300).stdout.strip()),
                             env=WINE_ENV)
    faults = [] if probed == [answer] else [
        "another process: %r, not %r" % (probed, answer)]
    if status != 0 or not report.endswith(b"\nDone!\n"):
        faults.append("the run did not finish: %r" % report[-80:])
    if open(target, "rb").read() != b"\xab" * count + bytes(20000 - count):
        faults.append("the file holds other bytes than the run's")
    return faults


def check_held_by_tool(exe, probe, work):
    """While the tool works, no other Windows process opens the file."""
    return probed_mid_run(exe, probe, work, "try", b"denied")


def check_reached_into(exe, probe, work):
    """No process of the same user duplicates the run's handles, to write a
    byte no line names, nor opens its memory, a thread of it to set its
    context, or its token to reset the default DACL of its threads."""
    return probed_mid_run(exe, probe, work, "reach", b"refused refused refused refused")


def check_serial_port_not_opened(exe, probe, work):
    """COM1 is refused before it is opened: Wine's COM1 is pointed at a
    FIFO, and a reader waiting on it is never let go."""
    fifo = os.path.join(work, "serial")
    os.mkfifo(fifo)
    com1 = os.path.join(WINE_ENV["WINEPREFIX"], "dosdevices", "com1")
    saved = os.readlink(com1) if os.path.islink(com1) else None
    if saved is not None:
        os.remove(com1)
    os.symlink(fifo, com1)
    faults = []
    try:
        with fifo_waiter(fifo) as released:
            out = wine(exe, "COM1", "0", "1", "00").communicate(timeout=300)[0]
        if not out.endswith(b"\r\nCan't Open COM1!\r\n"):
            faults.append("COM1 not refused: %r" % out[-60:])
        if released:
            faults.append("COM1 was opened before it was refused")
    finally:
        os.remove(com1)
        if saved is not None:
            os.symlink(saved, com1)
    return faults


def check_block_device(exe, probe, work):
    """A loop device reached through a symlink is refused and not written."""
    need_root("sets up a loop device")
    image = os.path.join(work, "disk.img")
    pattern = bytes(range(256)) * 256
    with open(image, "wb") as f:
        f.write(pattern)
    setup = subprocess.run(["losetup", "--find", "--show", image],
                           capture_output=True, text=True)
    if setup.returncode != 0:
        raise Skip("no loop device: %s" % setup.stderr.strip())
    device = setup.stdout.strip()
    faults = []
    try:
        os.symlink(device, os.path.join(work, "disk.bin"))
        out = wine(exe, "disk.bin", "0", "4", "deadbeef",
                   cwd=work).communicate(timeout=300)[0]
        if not out.endswith(b"\r\nCan't Open disk.bin!\r\n"):
            faults.append("loop device not refused: %r" % out[-60:])
        with open(device, "rb") as disk:
            if disk.read(len(pattern)) != pattern:
                faults.append("the loop device was written")
    finally:
        subprocess.run(["losetup", "--detach", device])
    return faults


def check_name_table(exe, probe, work):
    """The file layer's decisions on names, as a table of its own."""
    table = os.path.join(os.path.dirname(probe), "win32_names.exe")
    run = subprocess.run(["wine", table], env=WINE_ENV, capture_output=True,
                         text=True, timeout=300)
    lines = run.stdout.splitlines()
    if run.returncode != 0 or not lines or not lines[-1].endswith(" 0 failed"):
        return lines or ["win32_names.exe: status %d" % run.returncode]
    return []


def main():
    build = os.path.abspath(sys.argv[1])
    exe = os.path.join(build, "bitmend.exe")
    probe = os.path.join(build, "tests", "share_probe.exe")
    alone = [check_header, check_imports, check_version, check_manifest,
             check_image]
    with_files = [check_held_elsewhere, check_held_by_tool, check_reached_into,
                  check_serial_port_not_opened, check_block_device,
                  check_name_table]

    def run(check):
        if check in alone:
            return check(exe)
        with tempfile.TemporaryDirectory() as work:
            return check(exe, probe, work)

    if not shutil.which("wineserver"):
        return wine_missing()
    with wine_server(build):
        return report_results((check.__name__, lambda check=check: run(check))
                              for check in alone + with_files)


if __name__ == "__main__":
    sys.exit(main())
